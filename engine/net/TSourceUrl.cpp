#include "engine/net/TSourceUrl.h"

#include "engine/net/QHostResolver.h"
#include "platform/AsciiText.h"
#include "platform/TextEncoding.h"

namespace {

constexpr std::string_view kHttp = "http://";
constexpr std::string_view kFtp = "ftp://";
constexpr std::string_view kTracker = "tracker://";
constexpr std::string_view kBtNode = "btnode://";

using platform::StartsWithNoCase;

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = platform::AsciiLower(c);
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// "%" and two hex digits become that byte; a "%" without them stays as it is.
std::string PercentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int hi = HexValue(text[i + 1]);
            const int lo = HexValue(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

// Blanks, control bytes and every byte of a multi-byte character as %xx; "%" itself
// stays, so a line that was already encoded is not encoded twice.
std::string PercentEncodeHttp(std::string_view bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x80) {
            out.push_back('%');
            out.push_back(kHex[u >> 4]);
            out.push_back(kHex[u & 15]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

bool IsAscii(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

// Text in encoding from as encoding to; bytes that do not convert are kept unchanged,
// which beats inventing characters in the middle of a URL.
std::string Recode(std::string_view text, const char* from, const char* to) {
    if (IsAscii(text))
        return std::string(text);
    std::string out;
    if (platform::ConvertEncoding(text, from, to, out))
        return out;
    return std::string(text);
}

bool HasControl(std::string_view text, bool allowBlank) {
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f || (!allowBlank && u == 0x20))
            return true;
    }
    return false;
}

bool IsHostChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

// Host names end up in request lines, headers and reports: only the characters of DNS
// names are let through.
bool IsValidHost(std::string_view host) {
    if (host.empty() || host.size() > TSourceUrl::kMaxHost)
        return false;
    const char first = host.front();
    if (!((first >= 'a' && first <= 'z') || (first >= 'A' && first <= 'Z') || (first >= '0' && first <= '9')))
        return false;
    for (char c : host)
        if (!IsHostChar(c))
            return false;
    return true;
}

// "host" or "host:port".
bool SplitAuthority(std::string_view authority, uint16_t defaultPort, TSourceUrl& out) {
    const size_t colon = authority.find(':');
    std::string_view host = authority.substr(0, colon);
    if (!IsValidHost(host))
        return false;
    uint16_t port = defaultPort;
    if (colon != std::string_view::npos && !ParseSourcePort(authority.substr(colon + 1), port))
        return false;
    out.host = std::string(host);
    out.port = port;
    return true;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= 0x20)
        text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= 0x20)
        text.remove_suffix(1);
    return text;
}

bool ParseHttp(const std::string& line, TSourceUrl& out) {
    std::string url = PercentEncodeHttp(Recode(line, "GBK", "UTF-8"));
    if (url.size() > TSourceUrl::kMaxUrl)
        return false;
    const std::string_view rest = std::string_view(url).substr(kHttp.size());
    const size_t end = rest.find_first_of("/?#");
    if (!SplitAuthority(rest.substr(0, end), 80, out))
        return false;
    std::string path = end == std::string_view::npos ? "/" : std::string(rest.substr(end));
    if (path[0] != '/')
        path.insert(0, 1, '/');
    const std::string_view segment = std::string_view(path).substr(0, path.find_first_of("?#"));
    const std::string_view last = segment.substr(segment.rfind('/') + 1);
    out.fileName = SafeFileName(Recode(PercentDecode(last), "UTF-8", "GBK"));
    out.path = std::move(path);
    out.url = std::move(url);
    out.kind = kPeerHttp;
    return true;
}

bool ParseFtp(const std::string& line, TSourceUrl& out) {
    const std::string_view rest = std::string_view(line).substr(kFtp.size());
    const size_t slash = rest.find('/');
    const std::string_view authority = rest.substr(0, slash);
    const std::string_view rawPath =
        slash == std::string_view::npos ? std::string_view("/") : rest.substr(slash);

    // The parts are split before decoding, so that an encoded "@", ":" or "/" inside a
    // password stays part of the password.
    std::string_view hostPort = authority;
    out.ftpUser = TSourceUrl::kGuestUser;
    out.ftpPassword = TSourceUrl::kGuestPassword;
    const size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        const std::string_view userInfo = authority.substr(0, at);
        hostPort = authority.substr(at + 1);
        const size_t colon = userInfo.find(':');
        std::string user = PercentDecode(userInfo.substr(0, colon));
        std::string password =
            colon == std::string_view::npos ? "" : PercentDecode(userInfo.substr(colon + 1));
        // USER and PASS carry these on a command line of their own.
        if (HasControl(user, true) || HasControl(password, true))
            return false;
        if (!user.empty()) {
            out.ftpUser = std::move(user);
            out.ftpPassword = std::move(password);
        }
    }
    if (!SplitAuthority(PercentDecode(hostPort), 21, out))
        return false;
    std::string path = PercentDecode(rawPath);
    if (HasControl(path, true))
        return false;
    out.fileName = SafeFileName(path.substr(path.rfind('/') + 1));
    out.path = std::move(path);
    out.url = PercentDecode(line);
    out.kind = kPeerFtp;
    return true;
}

bool ParseTracker(const std::string& line, TSourceUrl& out) {
    const std::string_view inner = std::string_view(line).substr(kTracker.size());
    const size_t separator = inner.find("://");
    if (separator == std::string_view::npos)
        return false;
    std::string scheme(inner.substr(0, separator));
    for (char& c : scheme)
        c = platform::AsciiLower(c);
    if (scheme == "http" || scheme == "tcp")
        out.trackerHttp = 1;
    else if (scheme == "udp")
        out.trackerHttp = 0;
    else
        return false;
    const std::string_view rest = inner.substr(separator + 3);
    const size_t end = rest.find_first_of("/?");
    if (!SplitAuthority(PercentDecode(rest.substr(0, end)), 80, out))
        return false;
    const std::string_view tail = end == std::string_view::npos ? std::string_view() : rest.substr(end);
    const size_t question = tail.find('?');
    std::string path = PercentDecode(tail.substr(0, question));
    std::string query = question == std::string_view::npos ? "" : PercentDecode(tail.substr(question + 1));
    // The path goes into an HTTP request line: a blank or a line break would end it.
    if (HasControl(path, false) || HasControl(query, false))
        return false;
    if (path.empty() || path[0] != '/')
        path.insert(0, 1, '/');
    out.path = std::move(path);
    out.query = std::move(query);
    out.url = PercentDecode(line);
    out.kind = kPeerTracker;
    return true;
}

bool ParseBtNode(const std::string& line, TSourceUrl& out) {
    std::string decoded = PercentDecode(line);
    std::string_view rest = std::string_view(decoded).substr(kBtNode.size());
    if (!rest.empty() && rest.back() == '/')
        rest.remove_suffix(1);
    const size_t colon = rest.find(':');
    if (colon == std::string_view::npos)
        return false;
    uint32_t address = 0;
    uint16_t port = 0;
    if (!ParseDottedQuad(rest.substr(0, colon), address) || !ParseSourcePort(rest.substr(colon + 1), port))
        return false;
    if (address == 0 || address == kAddressNone)
        return false;
    out.host = DottedText(address);
    out.address = address;
    out.port = port;
    out.url = std::move(decoded);
    out.kind = kPeerBitTorrent;
    out.parsed = true;
    return true;
}

} // namespace

bool ParseSourceFields(std::string_view line, TSourceUrl& out) {
    out = TSourceUrl{};
    if (line.size() > TSourceUrl::kMaxLine)
        return false;
    std::string text(Trim(line));
    for (char& c : text)
        if (c == '\\')
            c = '/';
    bool ok = false;
    if (StartsWithNoCase(text, kHttp))
        ok = ParseHttp(text, out);
    else if (StartsWithNoCase(text, kFtp))
        ok = ParseFtp(text, out);
    else if (StartsWithNoCase(text, kTracker))
        ok = ParseTracker(text, out);
    else if (StartsWithNoCase(text, kBtNode))
        ok = ParseBtNode(text, out);
    if (!ok || out.url.size() > TSourceUrl::kMaxUrl) {
        out = TSourceUrl{};
        return false;
    }
    return true;
}

bool ParseSourceUrl(std::string_view line, TSourceUrl& out) {
    if (!ParseSourceFields(line, out))
        return false;
    if (out.kind == kPeerBitTorrent)
        return true;
    std::vector<uint32_t> addresses;
    const int count = ResolveHostList(out.host.c_str(), addresses);
    if (count < 0) {
        out.dnsFailed = true;
        out.address = kAddressNone;
        return false;
    }
    if (count == 0 || addresses.empty())
        return false;
    out.address = addresses.front();
    out.moreAddresses.assign(addresses.begin() + 1, addresses.end());
    out.parsed = true;
    return true;
}

bool ParseSourcePort(std::string_view text, uint16_t& port) {
    if (text.empty() || text.size() > 5)
        return false;
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value == 0 || value > 65535)
        return false;
    port = static_cast<uint16_t>(value);
    return true;
}

// The last path segment as a name to save under: no separators, no control bytes, and
// never "." or "..".
std::string SafeFileName(std::string name) {
    for (char& c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f || c == '/' || c == '\\')
            c = '_';
    }
    if (name == "." || name == "..")
        name.clear();
    return name;
}
