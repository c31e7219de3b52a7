#pragma once
#include "engine/net/QProxyInfo.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The conversation with a proxy before the tunnel carries data: the requests to write and
// the checks on every reply. It does no I/O; the socket writes Pending() and shows it what
// arrived, so the same code runs over any transport and can be fed hostile bytes directly.
class QProxyHandshake {
public:
    enum Result { kFailed = -1, kWait = 0, kDone = 1 };
    enum Stage {
        kIdle,
        kHttpReply,
        kSocks4Reply,
        kSocks5Choice,
        kSocks5Auth,
        kSocks5Reply,
        kFinished,
        kBroken
    };

    // Replies longer than these are refused instead of being buffered without end.
    static constexpr size_t kMaxHttpHeader = 16384;
    static constexpr uint64_t kMaxHttpBody = 65536;
    static constexpr size_t kMaxName = 255;

    // Prepares the first request to a proxy of proxy.kind for the target address and
    // port (host byte order). A non-empty host is sent instead of the address where the
    // protocol can carry one (SOCKS4a, SOCKS5; for HTTP it goes into the target line).
    // False, in stage kBroken, when the request cannot be written safely: a name or
    // credential too long for its length byte, a line break inside a header value, an
    // unknown kind.
    bool Begin(const QProxyInfo& proxy, uint32_t address, uint16_t port, const std::string& host);

    // Bytes still to be written to the proxy, and how many of them went out.
    const std::string& Pending() const { return pending_; }
    void Written(size_t count);

    // Looks at everything received so far (from the start of the receive buffer).
    // consumed says how many leading bytes the caller drops now: intermediate replies,
    // and the final reply unless the HTTP method is not CONNECT, whose reply is the
    // caller's data. A reply may be followed by tunnel data, which is never consumed.
    Result Examine(const char* data, size_t length, size_t& consumed);

    Stage GetStage() const { return stage_; }
    bool Finished() const { return stage_ == kFinished; }
    // The HTTP request as it may be logged: the credentials replaced by "******".
    const std::string& LoggedRequest() const { return logged_; }

    // The reply checks on their own. replyLength is the reply's full size once complete.
    static Result ParseHttpReply(const char* data, size_t length, size_t& replyLength);
    static Result ParseSocks4Reply(const char* data, size_t length);
    static Result ParseSocks5Choice(const char* data, size_t length, uint8_t method);
    static Result ParseSocks5AuthReply(const char* data, size_t length);
    static Result ParseSocks5Reply(const char* data, size_t length, size_t& replyLength);

    static std::string Base64(std::string_view bytes);

private:
    bool Fail();
    void QueueSocks5Request();

    Stage stage_ = kIdle;
    std::string pending_;
    std::string logged_;
    bool dropReply_ = true;
    uint8_t socks5Method_ = 0;
    std::string socks5Auth_;
    std::string socks5Request_;
};
