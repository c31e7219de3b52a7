// Plays a hostile proxy: the first byte picks the proxy kind and options, the rest is what
// the proxy sends, cut into pieces the way a network would deliver it. The handshake must
// never consume more than it was shown, must give up instead of buffering without end,
// and must hand over a tunnel only after a complete, well-formed reply.
#include "engine/net/QHostResolver.h"
#include "engine/net/QProxyHandshake.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_proxy_reply: %s\n", what);
    std::abort();
}

// The most a handshake of this kind may hold back while waiting.
size_t MaxWaiting(uint32_t kind) {
    switch (kind) {
    case QProxyInfo::kHttp:
        return QProxyHandshake::kMaxHttpHeader + QProxyHandshake::kMaxHttpBody;
    case QProxyInfo::kSocks5:
        return 2 + 2 + 7 + 255;
    default:
        return 8;
    }
}

// Each parser over an allocation of exactly the input's size.
void ParseAlone(const uint8_t* data, size_t size) {
    std::unique_ptr<char[]> copy(new char[size ? size : 1]);
    if (size)
        std::memcpy(copy.get(), data, size);
    size_t length = 0;
    if (QProxyHandshake::ParseHttpReply(copy.get(), size, length) == QProxyHandshake::kDone && length > size)
        Fail("HTTP reply longer than the input");
    if (QProxyHandshake::ParseSocks5Reply(copy.get(), size, length) == QProxyHandshake::kDone &&
        length > size)
        Fail("SOCKS5 reply longer than the input");
    if (QProxyHandshake::ParseSocks4Reply(copy.get(), size) == QProxyHandshake::kDone && size < 8)
        Fail("SOCKS4 reply shorter than 8 bytes accepted");
    QProxyHandshake::ParseSocks5Choice(copy.get(), size, 2);
    QProxyHandshake::ParseSocks5AuthReply(copy.get(), size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    ParseAlone(data + 1, size - 1);

    const uint8_t options = data[0];
    QProxyInfo proxy;
    proxy.kind = 1 + (options & 3);
    proxy.address = 0x0100007f;
    proxy.port = 1080;
    if (options & 4) {
        proxy.user = "user";
        proxy.password = "password";
    }
    if (options & 8)
        proxy.method = "GET";
    const std::string host = (options & 16) ? "files.example" : "";
    const uint32_t target = 0x0302010a;

    QProxyHandshake h;
    if (!h.Begin(proxy, target, 80, host))
        Fail("a well-formed request was refused");
    h.Written(h.Pending().size());

    // The stream arrives in pieces whose sizes come from the input itself.
    std::string buffer;
    size_t at = 2;
    size_t piece = 1 + (data[1] & 31);
    while (at <= size) {
        const size_t take = at + piece <= size ? piece : size - at;
        buffer.append(reinterpret_cast<const char*>(data) + at, take);
        at += take;
        size_t consumed = 0;
        const QProxyHandshake::Result r = h.Examine(buffer.data(), buffer.size(), consumed);
        if (consumed > buffer.size())
            Fail("consumed more than was received");
        if (r == QProxyHandshake::kFailed) {
            if (consumed != 0 || !h.Pending().empty())
                Fail("a failed handshake still consumes or sends");
            return 0;
        }
        buffer.erase(0, consumed);
        h.Written(h.Pending().size());
        if (r == QProxyHandshake::kDone) {
            if (!h.Finished())
                Fail("done but not finished");
            return 0;
        }
        if (buffer.size() > MaxWaiting(proxy.kind))
            Fail("waiting on more bytes than any reply may have");
        if (take == 0)
            break;
        piece = 1 + (static_cast<unsigned char>(buffer.empty() ? 0 : buffer.back()) & 63);
    }
    return 0;
}
