#include "engine/net/QProxyInfo.h"

#include "engine/core/EngineLocks.h"
#include "engine/core/QScopedLock.h"
#include "engine/net/QHostResolver.h"
#include "platform/AsciiText.h"

#include <arpa/inet.h>

namespace {

// Leaked: connections may still be set up while static objects are being destroyed.
QProxyInfo& Stored() {
    static QProxyInfo* stored = new QProxyInfo;
    return *stored;
}

// A host name as bypass entries spell it: lower case, without a trailing dot.
std::string Canonical(const std::string& host) {
    std::string out = platform::AsciiLowered(host);
    while (!out.empty() && out.back() == '.')
        out.pop_back();
    return out;
}

// "a.b.c.d/n" with 0 <= n <= 32.
bool MatchesNetwork(const std::string& entry, uint32_t address) {
    const size_t slash = entry.find('/');
    uint32_t network = 0;
    if (!ParseDottedQuad(entry.substr(0, slash), network))
        return false;
    const std::string bits = entry.substr(slash + 1);
    if (bits.empty() || bits.size() > 2)
        return false;
    int n = 0;
    for (char c : bits) {
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + (c - '0');
    }
    if (n > 32)
        return false;
    const uint32_t mask = n == 0 ? 0 : ~uint32_t{0} << (32 - n);
    return (ntohl(address) & mask) == (ntohl(network) & mask);
}

} // namespace

bool QProxyInfo::IsConfigured() const {
    return kind != kNone && address != 0 && address != 0xFFFFFFFFu && port != 0;
}

int QProxyInfo::StepTimeoutMs() const {
    const int seconds = timeoutSeconds > 0 ? timeoutSeconds : kDefaultTimeoutSeconds;
    const int ms = seconds > 86400 ? 86400 * 1000 : seconds * 1000;
    return kind == kHttp ? ms : ms / 2;
}

bool QProxyInfo::SendsNames() const {
    return remoteNames && (kind == kHttp || kind == kSocks5 || kind == kSocks4a);
}

bool QProxyInfo::Bypasses(const std::string& host, uint32_t target) const {
    if (bypass.empty())
        return false;
    const std::string name = Canonical(host);
    uint32_t dotted = 0;
    if (target == 0 && ParseDottedQuad(name, dotted))
        target = dotted;
    for (const std::string& entry : bypass) {
        if (entry == "*")
            return true;
        if (entry.find('/') != std::string::npos) {
            if (target != 0 && MatchesNetwork(entry, target))
                return true;
            continue;
        }
        uint32_t single = 0;
        if (ParseDottedQuad(entry, single)) {
            if (target != 0 && target == single)
                return true;
            continue;
        }
        if (name.empty())
            continue;
        const std::string suffix = entry[0] == '.' ? entry.substr(1) : entry;
        if (suffix.empty())
            continue;
        if (name == suffix)
            return true;
        if (name.size() > suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
            name[name.size() - suffix.size() - 1] == '.')
            return true;
    }
    return false;
}

QProxyInfo QProxyInfo::Global() {
    QScopedLock hold(ProxySettingsLock());
    return Stored();
}

void QProxyInfo::SetGlobal(const QProxyInfo& proxy) {
    QScopedLock hold(ProxySettingsLock());
    Stored() = proxy;
}
