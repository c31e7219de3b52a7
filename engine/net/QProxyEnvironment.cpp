#include "engine/net/QProxyEnvironment.h"

#include "engine/core/EngineLog.h"
#include "engine/net/QHostResolver.h"
#include "engine/net/TSourceUrl.h"
#include "platform/AsciiText.h"

#include <cstdlib>
#include <vector>

namespace {

constexpr const char* kProxyVariables[] = {"all_proxy",   "ALL_PROXY",  "https_proxy",
                                           "HTTPS_PROXY", "http_proxy", "HTTP_PROXY"};
constexpr const char* kBypassVariables[] = {"no_proxy", "NO_PROXY"};
// Loopback stays direct whatever the lists say.
constexpr const char* kLoopback[] = {"localhost", "127.0.0.0/8"};

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() &&
           (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = platform::AsciiLower(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string Decode(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
            HexValue(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

bool HasControl(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return true;
    return false;
}

bool IsHostText(std::string_view host) {
    if (host.empty() || host.size() > 255)
        return false;
    for (char c : host)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
              c == '.' || c == '_'))
            return false;
    return true;
}

// One NO_PROXY entry in the form QProxyInfo::Bypasses compares; empty when unusable.
std::string BypassEntry(std::string_view raw) {
    std::string entry = platform::AsciiLowered(Trim(raw));
    if (entry.empty() || entry == "*")
        return entry;
    if (entry.find('[') != std::string::npos || entry.find(':') != entry.rfind(':'))
        return ""; // IPv6; connections here are IPv4 only
    const size_t colon = entry.find(':');
    if (colon != std::string::npos)
        entry.erase(colon); // any port: a bypass covers the whole host
    if (!entry.empty() && entry[0] == '*')
        entry.erase(0, 1); // "*.example" means ".example"
    while (!entry.empty() && entry.back() == '.')
        entry.pop_back();
    if (entry.empty() || entry == ".")
        return "";
    const std::string_view body =
        entry[0] == '.' ? std::string_view(entry).substr(1) : std::string_view(entry);
    const size_t slash = body.find('/');
    if (slash != std::string_view::npos) {
        uint32_t network = 0;
        return ParseDottedQuad(body.substr(0, slash), network) ? std::string(body) : "";
    }
    return IsHostText(body) ? entry : "";
}

// Fills kind, port, user, password and the remote-name flag, or says what is wrong.
std::string ParseProxyUrl(std::string_view value, QProxyEnvironment& out) {
    QProxyInfo& p = out.proxy;
    std::string_view rest = value;
    std::string scheme = "http";
    const size_t separator = rest.find("://");
    if (separator != std::string_view::npos) {
        scheme = platform::AsciiLowered(rest.substr(0, separator));
        rest.remove_prefix(separator + 3);
    }
    uint16_t defaultPort = 1080;
    if (scheme == "http") {
        p.kind = QProxyInfo::kHttp;
        defaultPort = 80;
    } else if (scheme == "socks4") {
        p.kind = QProxyInfo::kSocks4;
    } else if (scheme == "socks4a") {
        p.kind = QProxyInfo::kSocks4a;
        p.remoteNames = true;
    } else if (scheme == "socks5") {
        p.kind = QProxyInfo::kSocks5;
    } else if (scheme == "socks5h") {
        p.kind = QProxyInfo::kSocks5;
        p.remoteNames = true;
    } else if (scheme == "https") {
        return "TLS to the proxy is not supported";
    } else {
        return "unknown proxy scheme";
    }

    const size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    const size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        const std::string_view userInfo = authority.substr(0, at);
        authority.remove_prefix(at + 1);
        const size_t colon = userInfo.find(':');
        p.user = Decode(userInfo.substr(0, colon));
        p.password = colon == std::string_view::npos ? "" : Decode(userInfo.substr(colon + 1));
        if (p.user.size() > 255 || p.password.size() > 255 || HasControl(p.user) || HasControl(p.password))
            return "unusable proxy user or password";
    }
    if (!authority.empty() && authority[0] == '[')
        return "IPv6 proxy addresses are not supported";
    const size_t colon = authority.find(':');
    const std::string_view host = authority.substr(0, colon);
    if (!IsHostText(host))
        return "no usable proxy host";
    p.port = defaultPort;
    if (colon != std::string_view::npos && !ParseSourcePort(authority.substr(colon + 1), p.port))
        return "bad proxy port";
    out.host = std::string(host);
    return "";
}

const std::string* Lookup(const std::map<std::string, std::string>& variables, const char* name) {
    auto it = variables.find(name);
    if (it == variables.end() || Trim(it->second).empty())
        return nullptr;
    return &it->second;
}

} // namespace

QProxyEnvironment QProxyEnvironment::Parse(const std::map<std::string, std::string>& variables) {
    QProxyEnvironment out;
    for (const char* name : kProxyVariables) {
        const std::string* value = Lookup(variables, name);
        if (!value)
            continue;
        // The first variable that is set decides: falling through to another one would
        // send traffic to a proxy the user did not pick for it.
        out.variable = name;
        out.error = ParseProxyUrl(Trim(*value), out);
        break;
    }
    if (!out.error.empty()) {
        out.host.clear();
        out.proxy = QProxyInfo{};
        return out;
    }
    if (out.variable.empty())
        return out;

    for (const char* name : kBypassVariables) {
        const std::string* value = Lookup(variables, name);
        if (!value)
            continue;
        size_t start = 0;
        while (start <= value->size()) {
            size_t end = value->find_first_of(", \t", start);
            if (end == std::string::npos)
                end = value->size();
            const std::string entry = BypassEntry(std::string_view(*value).substr(start, end - start));
            if (!entry.empty())
                out.proxy.bypass.push_back(entry);
            start = end + 1;
        }
        break;
    }
    for (const char* entry : kLoopback)
        out.proxy.bypass.push_back(entry);
    return out;
}

std::map<std::string, std::string> QProxyEnvironment::ProcessVariables() {
    std::map<std::string, std::string> variables;
    std::vector<const char*> names(std::begin(kProxyVariables), std::end(kProxyVariables));
    names.insert(names.end(), std::begin(kBypassVariables), std::end(kBypassVariables));
    for (const char* name : names)
        if (const char* value = std::getenv(name))
            variables[name] = value;
    return variables;
}

bool ApplyProxyEnvironment(const QProxyEnvironment& environment) {
    const std::string prefix = ThreadPrefix();
    QProxyInfo proxy = environment.proxy;
    if (!environment.error.empty())
        LogFormat(kLogConnection, "%sProxy setting %s ignored: %s", prefix.c_str(),
                  environment.variable.c_str(), environment.error.c_str());
    if (proxy.kind != QProxyInfo::kNone) {
        std::vector<uint32_t> addresses;
        if (ResolveHostList(environment.host.c_str(), addresses) > 0) {
            proxy.address = addresses.front();
            LogFormat(kLogConnection, "%sProxy from %s: kind %u at %s:%u", prefix.c_str(),
                      environment.variable.c_str(), proxy.kind, DottedText(proxy.address).c_str(),
                      proxy.port);
        } else {
            LogFormat(kLogConnection, "%sProxy host %s from %s does not resolve; connecting directly",
                      prefix.c_str(), environment.host.c_str(), environment.variable.c_str());
            proxy = QProxyInfo{};
        }
    }
    QProxyInfo::SetGlobal(proxy);
    return proxy.IsConfigured();
}

bool LoadProxyFromEnvironment() {
    return ApplyProxyEnvironment(QProxyEnvironment::Parse(QProxyEnvironment::ProcessVariables()));
}
