#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// IPv4 addresses in network byte order.
using HostAddress = std::array<uint8_t, 4>;

// The blocking system look-up; returns 0 and fills out, or a non-zero error code.
// Replaceable so that tests control what names resolve to and how long it takes.
using HostResolver = std::function<int(const std::string& host, std::vector<HostAddress>& out)>;

HostResolver SetHostResolver(HostResolver resolver);
int SystemResolveHost(const std::string& host, std::vector<HostAddress>& out);

constexpr int kLookupInvalidParameter = 87;

// Looks a host name up on a separate thread and waits at most `milliseconds` for it.
// On success copies up to bufferSize / 4 addresses one after another into
// addressBuffer, sets addressLength (4), count and error 0, and returns true. A failed
// look-up leaves the caller waiting out its limit (the resolver thread does not
// signal); a late answer is dropped. A null host or a 0 limit fails at once with
// error 87.
bool LookupHostTimed(const char* host, uint8_t* addressBuffer, size_t bufferSize, int& addressLength,
                     int& count, int& error, uint32_t milliseconds);
