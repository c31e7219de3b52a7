#include "engine/net/QProxyHandshake.h"

#include "engine/net/QHostResolver.h"
#include "platform/AsciiText.h"

#include <cstring>

namespace {

constexpr size_t kMaxTargetLine = 8192;
constexpr size_t kMaxMethod = 16;

bool HasLineBreakOrNul(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// Names travel inside a request line or a length-prefixed field; anything that is not a
// plain printable character has no business in one.
bool IsSendableName(const std::string& host) {
    if (host.empty() || host.size() > QProxyHandshake::kMaxName)
        return false;
    for (char c : host) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7f)
            return false;
    }
    return true;
}

bool IsUsableAddress(uint32_t address) {
    return address != 0 && address != kAddressNone;
}

void AppendPort(std::string& out, uint16_t port) {
    out.push_back(static_cast<char>(port >> 8));
    out.push_back(static_cast<char>(port & 0xff));
}

void AppendAddress(std::string& out, uint32_t address) {
    char bytes[4];
    std::memcpy(bytes, &address, 4); // already in network order
    out.append(bytes, 4);
}

uint8_t Byte(const char* data, size_t i) {
    return static_cast<uint8_t>(data[i]);
}

// Offset of needle (lower-case) in the first length bytes, compared without case.
size_t FindNoCase(const char* data, size_t length, std::string_view needle) {
    if (needle.size() > length)
        return std::string_view::npos;
    for (size_t i = 0; i + needle.size() <= length; ++i) {
        size_t k = 0;
        while (k < needle.size() && platform::AsciiLower(data[i + k]) == needle[k])
            ++k;
        if (k == needle.size())
            return i;
    }
    return std::string_view::npos;
}

} // namespace

bool QProxyHandshake::Fail() {
    stage_ = kBroken;
    pending_.clear();
    return false;
}

bool QProxyHandshake::Begin(const QProxyInfo& proxy, uint32_t address, uint16_t port,
                            const std::string& host) {
    stage_ = kIdle;
    pending_.clear();
    logged_.clear();
    socks5Auth_.clear();
    socks5Request_.clear();
    dropReply_ = true;
    if (port == 0)
        return Fail();
    if (!host.empty() && !IsSendableName(host))
        return Fail();

    switch (proxy.kind) {
    case QProxyInfo::kHttp: {
        if (proxy.tunnelOpen) {
            stage_ = kFinished;
            return true;
        }
        const std::string method = proxy.method.empty() ? "CONNECT" : proxy.method;
        if (method.size() > kMaxMethod)
            return Fail();
        for (char c : method)
            if (c < 'A' || c > 'Z')
                return Fail();
        dropReply_ = method == "CONNECT";

        std::string target = proxy.targetLine;
        if (target.empty()) {
            if (host.empty() && !IsUsableAddress(address))
                return Fail();
            target =
                (host.empty() ? DottedText(address) : host) + ":" + std::to_string(port) + " HTTP/1.1\r\n";
        }
        // The line must end the request line and nothing else: a break inside it would let
        // its text add headers of its own.
        if (target.size() > kMaxTargetLine || target.size() < 3 ||
            target.compare(target.size() - 2, 2, "\r\n") != 0 ||
            HasLineBreakOrNul(std::string_view(target).substr(0, target.size() - 2)))
            return Fail();
        if (HasLineBreakOrNul(proxy.domain))
            return Fail();

        std::string request = method + " " + target;
        logged_ = request;
        if (!proxy.user.empty()) {
            request += "Proxy-Authorization: Basic " + Base64(proxy.user + ":" + proxy.password) + "\r\n";
            logged_ += "Proxy-Authorization: Basic ******\r\n";
        }
        if (!proxy.domain.empty()) {
            request += "Domain: " + proxy.domain + "\r\n";
            logged_ += "Domain: " + proxy.domain + "\r\n";
        }
        request += "\r\n";
        logged_ += "\r\n";
        pending_ = request;
        stage_ = kHttpReply;
        return true;
    }
    case QProxyInfo::kSocks4:
    case QProxyInfo::kSocks4a: {
        const bool byName = proxy.kind == QProxyInfo::kSocks4a && !host.empty();
        if (!byName && !IsUsableAddress(address))
            return Fail();
        pending_.push_back(4);
        pending_.push_back(1);
        AppendPort(pending_, port);
        if (byName)
            pending_.append("\0\0\0\1", 4); // 0.0.0.1: "the name follows"
        else
            AppendAddress(pending_, address);
        pending_.push_back('\0'); // empty user id
        if (byName) {
            pending_ += host;
            pending_.push_back('\0');
        }
        stage_ = kSocks4Reply;
        return true;
    }
    case QProxyInfo::kSocks5: {
        if (proxy.user.size() > kMaxName || proxy.password.size() > kMaxName)
            return Fail();
        if (host.empty() && !IsUsableAddress(address))
            return Fail();
        socks5Method_ = proxy.user.empty() && proxy.password.empty() ? 0 : 2;
        pending_ = std::string("\5\1", 2);
        pending_.push_back(static_cast<char>(socks5Method_));
        if (socks5Method_ == 2) {
            socks5Auth_.push_back(1);
            socks5Auth_.push_back(static_cast<char>(proxy.user.size()));
            socks5Auth_ += proxy.user;
            socks5Auth_.push_back(static_cast<char>(proxy.password.size()));
            socks5Auth_ += proxy.password;
        }
        socks5Request_ = std::string("\5\1\0", 3);
        if (!host.empty()) {
            socks5Request_.push_back(3);
            socks5Request_.push_back(static_cast<char>(host.size()));
            socks5Request_ += host;
        } else {
            socks5Request_.push_back(1);
            AppendAddress(socks5Request_, address);
        }
        AppendPort(socks5Request_, port);
        stage_ = kSocks5Choice;
        return true;
    }
    default:
        return Fail();
    }
}

void QProxyHandshake::Written(size_t count) {
    pending_.erase(0, count < pending_.size() ? count : pending_.size());
}

QProxyHandshake::Result QProxyHandshake::Examine(const char* data, size_t length, size_t& consumed) {
    consumed = 0;
    for (;;) {
        const char* at = data + consumed;
        const size_t left = length - consumed;
        Result r = kFailed;
        size_t replyLength = 0;
        switch (stage_) {
        case kHttpReply:
            r = ParseHttpReply(at, left, replyLength);
            if (r == kDone) {
                if (dropReply_)
                    consumed += replyLength;
                stage_ = kFinished;
            }
            break;
        case kSocks4Reply:
            r = ParseSocks4Reply(at, left);
            if (r == kDone) {
                consumed += 8;
                stage_ = kFinished;
            }
            break;
        case kSocks5Choice:
            r = ParseSocks5Choice(at, left, socks5Method_);
            if (r == kDone) {
                consumed += 2;
                if (socks5Method_ == 2) {
                    pending_ += socks5Auth_;
                    stage_ = kSocks5Auth;
                } else {
                    pending_ += socks5Request_;
                    stage_ = kSocks5Reply;
                }
                continue;
            }
            break;
        case kSocks5Auth:
            r = ParseSocks5AuthReply(at, left);
            if (r == kDone) {
                consumed += 2;
                pending_ += socks5Request_;
                stage_ = kSocks5Reply;
                continue;
            }
            break;
        case kSocks5Reply:
            r = ParseSocks5Reply(at, left, replyLength);
            if (r == kDone) {
                consumed += replyLength;
                stage_ = kFinished;
            }
            break;
        case kFinished:
            return kDone;
        default:
            break;
        }
        if (r == kFailed) {
            consumed = 0;
            Fail();
        }
        return r;
    }
}

QProxyHandshake::Result QProxyHandshake::ParseHttpReply(const char* data, size_t length,
                                                        size_t& replyLength) {
    replyLength = 0;
    if (length == 0)
        return kWait;
    const size_t prefix = length < 5 ? length : 5;
    if (std::memcmp(data, "HTTP/", prefix) != 0)
        return kFailed;
    const size_t scan = length < kMaxHttpHeader ? length : kMaxHttpHeader;
    size_t end = 0;
    for (size_t i = 0; i < scan && end == 0; ++i) {
        if (data[i] != '\n')
            continue;
        if (i + 1 < scan && data[i + 1] == '\n')
            end = i + 2;
        else if (i + 2 < scan && data[i + 1] == '\r' && data[i + 2] == '\n')
            end = i + 3;
    }
    if (end == 0)
        return length >= kMaxHttpHeader ? kFailed : kWait;

    // Status line: "HTTP/x.y" blanks, three digits, then a blank or the line end.
    size_t i = 5;
    while (i < end && data[i] != ' ' && data[i] != '\r' && data[i] != '\n')
        ++i;
    while (i < end && data[i] == ' ')
        ++i;
    if (i + 3 >= end)
        return kFailed;
    for (size_t k = 0; k < 3; ++k)
        if (data[i + k] < '0' || data[i + k] > '9')
            return kFailed;
    const char after = data[i + 3];
    if (after != ' ' && after != '\r' && after != '\n')
        return kFailed;
    if (data[i] != '2' || data[i + 1] != '0')
        return kFailed;

    uint64_t body = 0;
    const size_t field = FindNoCase(data, end, "\ncontent-length:");
    if (field != std::string_view::npos) {
        size_t p = field + 16;
        while (p < end && (data[p] == ' ' || data[p] == '\t'))
            ++p;
        const size_t digits = p;
        while (p < end && data[p] >= '0' && data[p] <= '9') {
            body = body * 10 + static_cast<uint64_t>(data[p] - '0');
            if (body > kMaxHttpBody)
                return kFailed;
            ++p;
        }
        if (p == digits || p >= end ||
            (data[p] != '\r' && data[p] != '\n' && data[p] != ' ' && data[p] != '\t'))
            return kFailed;
    }
    if (length - end < body)
        return kWait;
    replyLength = end + static_cast<size_t>(body);
    return kDone;
}

QProxyHandshake::Result QProxyHandshake::ParseSocks4Reply(const char* data, size_t length) {
    if (length >= 1 && Byte(data, 0) != 0)
        return kFailed;
    if (length >= 2 && Byte(data, 1) != 90)
        return kFailed;
    return length < 8 ? kWait : kDone;
}

QProxyHandshake::Result QProxyHandshake::ParseSocks5Choice(const char* data, size_t length, uint8_t method) {
    if (length >= 1 && Byte(data, 0) != 5)
        return kFailed;
    if (length >= 2 && Byte(data, 1) != method)
        return kFailed;
    return length < 2 ? kWait : kDone;
}

QProxyHandshake::Result QProxyHandshake::ParseSocks5AuthReply(const char* data, size_t length) {
    if (length >= 1 && Byte(data, 0) != 1)
        return kFailed;
    if (length >= 2 && Byte(data, 1) != 0)
        return kFailed;
    return length < 2 ? kWait : kDone;
}

QProxyHandshake::Result QProxyHandshake::ParseSocks5Reply(const char* data, size_t length,
                                                          size_t& replyLength) {
    replyLength = 0;
    if (length >= 1 && Byte(data, 0) != 5)
        return kFailed;
    if (length >= 2 && Byte(data, 1) != 0)
        return kFailed;
    if (length < 4)
        return kWait;
    size_t need = 0;
    switch (Byte(data, 3)) {
    case 1:
        need = 10;
        break;
    case 4:
        need = 22;
        break;
    case 3:
        if (length < 5)
            return kWait;
        need = 7 + Byte(data, 4);
        break;
    default:
        return kFailed;
    }
    if (length < need)
        return kWait;
    replyLength = need;
    return kDone;
}

std::string QProxyHandshake::Base64(std::string_view bytes) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t v = (uint32_t{static_cast<uint8_t>(bytes[i])} << 16) |
                           (uint32_t{static_cast<uint8_t>(bytes[i + 1])} << 8) |
                           static_cast<uint8_t>(bytes[i + 2]);
        out.push_back(kAlphabet[v >> 18]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(kAlphabet[(v >> 6) & 63]);
        out.push_back(kAlphabet[v & 63]);
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t v = uint32_t{static_cast<uint8_t>(bytes[i])} << 16;
        if (rest == 2)
            v |= uint32_t{static_cast<uint8_t>(bytes[i + 1])} << 8;
        out.push_back(kAlphabet[v >> 18]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(rest == 2 ? kAlphabet[(v >> 6) & 63] : '=');
        out.push_back('=');
    }
    return out;
}
