#pragma once
// Whether a local port is taken, from the system's connection tables.
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// True when any line of the TCP tables (IPv4 and IPv6) has port as its local port, in
// any state. tables names the files to read (tests pass their own).
bool IsLocalPortInUse(uint16_t port,
                      const std::vector<std::string>& tables = {"/proc/net/tcp", "/proc/net/tcp6"});

// The first IPv4 address of this machine's host name, as dotted text; false when the
// name does not resolve to one.
bool HostAddress(std::string& address);

} // namespace platform
