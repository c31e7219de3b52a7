#pragma once
// Host-name resolution for connections: time-limited look-ups, a negative cache, the
// DNS failure report, and the classification of addresses. Addresses are IPv4 in
// network byte order throughout.
#include "engine/core/EngineEvents.h"
#include "engine/core/HostLookup.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

constexpr uint32_t kAddressNone = 0xFFFFFFFFu;

// A name made of digits and dots read the way the classic address functions read it: up
// to four decimal numbers, most significant first, the last one filling the bytes that
// remain ("10.1" is 10.0.0.1). False for empty parts, overlong numbers and values that do
// not fit.
bool ParseDottedAddress(std::string_view text, uint32_t& address);
// Exactly four numbers of 0 to 255.
bool ParseDottedQuad(std::string_view text, uint32_t& address);
std::string DottedText(uint32_t address);

// Appends every address of host and returns how many; 0 for a dotted name that is not a
// usable address (no look-up is made); -1 when the name does not resolve within the time
// limit.
int ResolveHostList(const char* host, std::vector<uint32_t>& addresses);
// One address or kAddressNone, without a time limit; names that recently failed to
// resolve fail at once.
uint32_t ResolveHost(const char* host);

// First octet 0 to 6, 10 or 127; 192.168/16; 169.254/16; 172.16/12.
bool IsPrivateAddress(uint32_t address);
// The address this machine is best reached at: the last public address of an interface
// that is up, else the last private one; 0 when there is none.
uint32_t GetLocalAddress();
// The preference rule of GetLocalAddress over a list of candidates.
uint32_t ChooseLocalAddress(const std::vector<uint32_t>& candidates);

// The shared state behind the functions above, and the seams tests use.
class QHostResolver {
public:
    static constexpr uint32_t kTimeLimitMs = 3000;
    // A name that does not exist is retried after this long, so that a host that was
    // briefly missing (or a network that came up late) is not given up on for good.
    static constexpr uint32_t kNegativeSeconds = 300;
    static constexpr const char* kReportCode = kEventHostLookupFailed;

    using ReportSink = std::function<void(const char* code, const std::string& text)>;

    // Each returns the previous value.
    static uint32_t SetTimeLimit(uint32_t milliseconds);
    static std::string SetResolvConfPath(std::string path);
    // The default sink hands the report to the statistics upload.
    static ReportSink SetReportSink(ReportSink sink);
    // The resolver ResolveHost calls directly; an empty function restores the system one.
    static HostResolver SetDirectResolver(HostResolver resolver);

    // Forgets the negative cache and re-arms the failure report.
    static void Reset();
    static bool InNegativeCache(const std::string& host);

    // The name servers listed in the resolver configuration, in order.
    static std::vector<std::string> DnsServers();
    static std::string DnsReportText(unsigned long error, const std::string& host,
                                     const std::vector<std::string>& servers);
};
