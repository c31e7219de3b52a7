#include "engine/net/QHostResolver.h"

#include "engine/core/EngineClock.h"
#include "engine/core/EngineLog.h"
#include "engine/core/StatisticsRecord.h"
#include "platform/AsciiText.h"

#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <ifaddrs.h>
#include <map>
#include <mutex>
#include <net/if.h>
#include <netinet/in.h>
#include <sstream>
#include <unistd.h>

namespace {

constexpr size_t kMaxHostLength = 255;
constexpr size_t kMaxAddresses = 32;
constexpr size_t kMaxNegativeEntries = 1024;
constexpr size_t kMaxReportServers = 8;
constexpr unsigned long kErrorTimedOut = 10060;
constexpr unsigned long kErrorHostNotFound = 11001;
constexpr unsigned long kErrorNoData = 11004;

// "无效 IP: %s" in the program's code page.
constexpr const char* kInvalidIpFormat = "%s\xce\xde\xd0\xa7 IP: %s";
// "备用" (alternate) in the program's code page.
constexpr const char* kAlternate = "\xb1\xb8\xd3\xc3";

struct State {
    std::mutex lock;
    std::map<std::string, uint64_t> negative; // lower-case name -> tick when it expires
    std::string resolvConf = "/etc/resolv.conf";
    QHostResolver::ReportSink sink;
    HostResolver direct;
    std::atomic<bool> reportArmed{true};
    std::atomic<uint32_t> limitMs{QHostResolver::kTimeLimitMs};
};

// Leaked, like the look-up table: late resolver threads may outlive static destruction.
State& Shared() {
    static State* state = new State;
    return *state;
}

bool AllDigitsAndDots(const char* host) {
    for (const char* p = host; *p; ++p)
        if (!((*p >= '0' && *p <= '9') || *p == '.'))
            return false;
    return true;
}

// The host as it may appear in a report that travels inside a JSON text unescaped.
std::string Printable(const std::string& host) {
    std::string out;
    for (char c : host.substr(0, kMaxHostLength)) {
        const unsigned char u = static_cast<unsigned char>(c);
        out.push_back(u < 0x20 || u >= 0x7f || c == '"' || c == '\\' ? '?' : c);
    }
    return out;
}

void AddNegative(const std::string& host) {
    State& s = Shared();
    const uint64_t now = EngineTickMs();
    std::lock_guard<std::mutex> hold(s.lock);
    if (s.negative.size() >= kMaxNegativeEntries) {
        for (auto it = s.negative.begin(); it != s.negative.end();)
            it = it->second <= now ? s.negative.erase(it) : std::next(it);
        if (s.negative.size() >= kMaxNegativeEntries)
            s.negative.erase(s.negative.begin());
    }
    s.negative[platform::AsciiLowered(host)] = now + uint64_t{QHostResolver::kNegativeSeconds} * 1000;
}

void Report(unsigned long error, const std::string& host) {
    State& s = Shared();
    const std::string text = QHostResolver::DnsReportText(error, host, QHostResolver::DnsServers());
    QHostResolver::ReportSink sink;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        sink = s.sink;
    }
    if (sink) {
        sink(QHostResolver::kReportCode, text);
        return;
    }
    StatisticsRecord r;
    r.code = QHostResolver::kReportCode;
    r.errorMsg = text;
    ReportStatistics(r);
}

bool ParseNumber(std::string_view digits, uint64_t& value) {
    if (digits.empty() || digits.size() > 10)
        return false;
    value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

bool SplitParts(std::string_view text, std::vector<uint64_t>& parts) {
    parts.clear();
    size_t start = 0;
    for (;;) {
        const size_t dot = text.find('.', start);
        uint64_t v = 0;
        if (!ParseNumber(text.substr(start, dot == std::string_view::npos ? dot : dot - start), v))
            return false;
        parts.push_back(v);
        if (dot == std::string_view::npos)
            return true;
        if (parts.size() == 4)
            return false;
        start = dot + 1;
    }
}

uint32_t ToNetwork(uint32_t hostOrder) {
    return htonl(hostOrder);
}

} // namespace

bool ParseDottedAddress(std::string_view text, uint32_t& address) {
    std::vector<uint64_t> parts;
    if (!SplitParts(text, parts))
        return false;
    const size_t n = parts.size();
    uint64_t value = 0;
    for (size_t i = 0; i + 1 < n; ++i) {
        if (parts[i] > 255)
            return false;
        value |= parts[i] << (24 - 8 * i);
    }
    const uint64_t lastLimit = n == 1 ? 0xFFFFFFFFull : (1ull << (8 * (4 - (n - 1)))) - 1;
    if (parts[n - 1] > lastLimit)
        return false;
    value |= parts[n - 1];
    address = ToNetwork(static_cast<uint32_t>(value));
    return true;
}

bool ParseDottedQuad(std::string_view text, uint32_t& address) {
    std::vector<uint64_t> parts;
    if (!SplitParts(text, parts) || parts.size() != 4)
        return false;
    uint32_t value = 0;
    for (uint64_t p : parts) {
        if (p > 255)
            return false;
        value = (value << 8) | static_cast<uint32_t>(p);
    }
    address = ToNetwork(value);
    return true;
}

std::string DottedText(uint32_t address) {
    const uint32_t h = ntohl(address);
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", h >> 24, (h >> 16) & 255, (h >> 8) & 255, h & 255);
    return text;
}

int ResolveHostList(const char* host, std::vector<uint32_t>& addresses) {
    const std::string prefix = ThreadPrefix();
    if (!host || !*host || std::strlen(host) > kMaxHostLength) {
        LogFormat(kLogConnection, "%sInvalid Host: %s", prefix.c_str(), host ? "(overlong)" : "(null)");
        return -1;
    }
    if (AllDigitsAndDots(host)) {
        uint32_t address = 0;
        if (!ParseDottedAddress(host, address) || address == 0 || address == kAddressNone) {
            LogFormat(kLogConnection, kInvalidIpFormat, prefix.c_str(), host);
            return 0;
        }
        addresses.push_back(address);
        return 1;
    }

    State& s = Shared();
    uint8_t buffer[kMaxAddresses * 4];
    int addressLength = 0;
    int count = 0;
    int error = 0;
    const bool found =
        LookupHostTimed(host, buffer, sizeof buffer, addressLength, count, error, s.limitMs.load());
    if (found && addressLength == 4 && count > 0) {
        for (int i = 0; i < count; ++i) {
            uint32_t a;
            std::memcpy(&a, buffer + 4 * i, 4);
            addresses.push_back(a);
        }
        s.reportArmed.store(true);
        return count;
    }
    unsigned long code = found ? kErrorNoData : static_cast<unsigned long>(error);
    if (code == 0)
        code = kErrorTimedOut; // the look-up was still running when we stopped waiting
    if (code == kErrorHostNotFound || code == kErrorNoData)
        AddNegative(host);
    if (s.reportArmed.exchange(false))
        Report(code, host);
    LogFormat(kLogConnection, "%sInvalid Host: %s", prefix.c_str(), host);
    return -1;
}

uint32_t ResolveHost(const char* host) {
    if (!host || !*host || std::strlen(host) > kMaxHostLength)
        return kAddressNone;
    if (AllDigitsAndDots(host)) {
        uint32_t address = 0;
        return ParseDottedAddress(host, address) ? address : kAddressNone;
    }
    if (QHostResolver::InNegativeCache(host))
        return kAddressNone;
    HostResolver direct;
    {
        State& s = Shared();
        std::lock_guard<std::mutex> hold(s.lock);
        direct = s.direct;
    }
    std::vector<HostAddress> found;
    const int rc = direct ? direct(host, found) : SystemResolveHost(host, found);
    if (rc == 0 && !found.empty()) {
        uint32_t a;
        std::memcpy(&a, found.front().data(), 4);
        return a;
    }
    if (rc == static_cast<int>(kErrorHostNotFound) || rc == static_cast<int>(kErrorNoData) || rc == 0)
        AddNegative(host);
    return kAddressNone;
}

bool IsPrivateAddress(uint32_t address) {
    const uint32_t h = ntohl(address);
    const uint32_t a = h >> 24;
    const uint32_t b = (h >> 16) & 255;
    return a <= 6 || a == 10 || a == 127 || (a == 192 && b == 168) || (a == 169 && b == 254) ||
           (a == 172 && b >= 16 && b <= 31);
}

uint32_t ChooseLocalAddress(const std::vector<uint32_t>& candidates) {
    for (auto it = candidates.rbegin(); it != candidates.rend(); ++it)
        if (!IsPrivateAddress(*it))
            return *it;
    return candidates.empty() ? 0 : candidates.back();
}

uint32_t GetLocalAddress() {
    // The interfaces, as the machine's own name resolves to them on other systems; here
    // the own name usually maps to a loopback address only.
    std::vector<uint32_t> candidates;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* p = list; p; p = p->ifa_next) {
            if (!p->ifa_addr || p->ifa_addr->sa_family != AF_INET || !(p->ifa_flags & IFF_UP) ||
                (p->ifa_flags & IFF_LOOPBACK))
                continue;
            candidates.push_back(reinterpret_cast<const sockaddr_in*>(p->ifa_addr)->sin_addr.s_addr);
        }
        freeifaddrs(list);
    }
    if (candidates.empty()) {
        char name[256] = {};
        if (gethostname(name, sizeof name - 1) == 0 && name[0]) {
            std::vector<HostAddress> found;
            if (SystemResolveHost(name, found) == 0)
                for (const HostAddress& h : found) {
                    uint32_t a;
                    std::memcpy(&a, h.data(), 4);
                    candidates.push_back(a);
                }
        }
    }
    return ChooseLocalAddress(candidates);
}

uint32_t QHostResolver::SetTimeLimit(uint32_t milliseconds) {
    return Shared().limitMs.exchange(milliseconds);
}

std::string QHostResolver::SetResolvConfPath(std::string path) {
    State& s = Shared();
    std::lock_guard<std::mutex> hold(s.lock);
    std::swap(s.resolvConf, path);
    return path;
}

QHostResolver::ReportSink QHostResolver::SetReportSink(ReportSink sink) {
    State& s = Shared();
    std::lock_guard<std::mutex> hold(s.lock);
    std::swap(s.sink, sink);
    return sink;
}

HostResolver QHostResolver::SetDirectResolver(HostResolver resolver) {
    State& s = Shared();
    std::lock_guard<std::mutex> hold(s.lock);
    std::swap(s.direct, resolver);
    return resolver;
}

void QHostResolver::Reset() {
    State& s = Shared();
    std::lock_guard<std::mutex> hold(s.lock);
    s.negative.clear();
    s.reportArmed.store(true);
}

bool QHostResolver::InNegativeCache(const std::string& host) {
    State& s = Shared();
    const uint64_t now = EngineTickMs();
    std::lock_guard<std::mutex> hold(s.lock);
    auto it = s.negative.find(platform::AsciiLowered(host));
    if (it == s.negative.end())
        return false;
    if (it->second <= now) {
        s.negative.erase(it);
        return false;
    }
    return true;
}

std::vector<std::string> QHostResolver::DnsServers() {
    std::string path;
    {
        State& s = Shared();
        std::lock_guard<std::mutex> hold(s.lock);
        path = s.resolvConf;
    }
    std::vector<std::string> servers;
    std::ifstream in(path);
    std::string line;
    while (servers.size() < kMaxReportServers && std::getline(in, line)) {
        std::istringstream words(line);
        std::string keyword, value;
        if (!(words >> keyword >> value) || keyword != "nameserver")
            continue;
        // Only the address itself; a scope or anything odd is cut off.
        std::string clean;
        for (char c : value.substr(0, 64)) {
            if (!(std::isxdigit(static_cast<unsigned char>(c)) || c == '.' || c == ':'))
                break;
            clean.push_back(c);
        }
        if (!clean.empty())
            servers.push_back(clean);
    }
    return servers;
}

std::string QHostResolver::DnsReportText(unsigned long error, const std::string& host,
                                         const std::vector<std::string>& servers) {
    char head[512];
    std::snprintf(head, sizeof head, "ErrCode : (%lu) Host : (%s) ", error, Printable(host).c_str());
    std::string text = head;
    if (servers.empty())
        text += ", no DNS";
    for (size_t i = 0; i < servers.size(); ++i) {
        text += i == 0 ? ", DNS : (" : std::string(", ") + kAlternate + " DNS : (";
        text += servers[i];
        text += ")";
    }
    return text;
}
