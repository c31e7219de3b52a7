#include "engine/net/QProxyHandshake.h"
#include "engine/net/QHostResolver.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <memory>
#include <string>

namespace {

using namespace std::string_literals;
using R = QProxyHandshake::Result;

uint32_t Addr(const char* dotted) {
    return inet_addr(dotted);
}

QProxyInfo Proxy(uint32_t kind) {
    QProxyInfo p;
    p.kind = kind;
    p.address = Addr("127.0.0.1");
    p.port = 1080;
    return p;
}

// The bytes in an allocation of exactly their size, so that a read past the end is caught.
struct Exact {
    explicit Exact(const std::string& s) : size(s.size()), data(new char[s.size() ? s.size() : 1]) {
        std::memcpy(data.get(), s.data(), s.size());
    }
    size_t size;
    std::unique_ptr<char[]> data;
};

TEST(QProxyHandshake, HttpRequestCarriesTargetAuthorisationAndDomainAndLogsNoSecret) {
    QProxyInfo p = Proxy(QProxyInfo::kHttp);
    p.user = "alice";
    p.password = "s3cret";
    p.domain = "corp";
    QProxyHandshake h;
    ASSERT_TRUE(h.Begin(p, Addr("10.1.2.3"), 8080, ""));
    EXPECT_EQ(h.Pending(), "CONNECT 10.1.2.3:8080 HTTP/1.1\r\n"
                           "Proxy-Authorization: Basic YWxpY2U6czNjcmV0\r\n"
                           "Domain: corp\r\n\r\n");
    EXPECT_EQ(h.LoggedRequest().find("YWxp"), std::string::npos);
    EXPECT_NE(h.LoggedRequest().find("Proxy-Authorization: Basic ******\r\n"), std::string::npos);

    // A host name goes into the target line when the caller hands one over.
    QProxyHandshake named;
    ASSERT_TRUE(named.Begin(Proxy(QProxyInfo::kHttp), 0, 443, "files.example"));
    EXPECT_EQ(named.Pending(), "CONNECT files.example:443 HTTP/1.1\r\n\r\n");

    // A tunnel that is already open needs no request at all.
    QProxyInfo open = Proxy(QProxyInfo::kHttp);
    open.tunnelOpen = true;
    QProxyHandshake none;
    ASSERT_TRUE(none.Begin(open, Addr("10.1.2.3"), 80, ""));
    EXPECT_TRUE(none.Finished());
    EXPECT_TRUE(none.Pending().empty());
}

TEST(QProxyHandshake, Base64OfEveryTailLength) {
    EXPECT_EQ(QProxyHandshake::Base64(""), "");
    EXPECT_EQ(QProxyHandshake::Base64("f"), "Zg==");
    EXPECT_EQ(QProxyHandshake::Base64("fo"), "Zm8=");
    EXPECT_EQ(QProxyHandshake::Base64("foo"), "Zm9v");
    EXPECT_EQ(QProxyHandshake::Base64("\xff\xfe\x00"s), "//4A");
}

TEST(QProxyHandshake, SocksRequestsByteForByte) {
    QProxyHandshake s4;
    ASSERT_TRUE(s4.Begin(Proxy(QProxyInfo::kSocks4), Addr("10.1.2.3"), 0x1f90, ""));
    EXPECT_EQ(s4.Pending(), "\x04\x01\x1f\x90\x0a\x01\x02\x03\x00"s);

    // SOCKS4 proper cannot carry a name; the address goes out even when one is given.
    QProxyHandshake s4name;
    ASSERT_TRUE(s4name.Begin(Proxy(QProxyInfo::kSocks4), Addr("10.1.2.3"), 80, "files.example"));
    EXPECT_EQ(s4name.Pending(), "\x04\x01\x00\x50\x0a\x01\x02\x03\x00"s);

    QProxyHandshake s4a;
    ASSERT_TRUE(s4a.Begin(Proxy(QProxyInfo::kSocks4a), 0, 80, "files.example"));
    EXPECT_EQ(s4a.Pending(), "\x04\x01\x00\x50\x00\x00\x00\x01\x00"s
                             "files.example\x00"s);

    // SOCKS5: greeting first; the request follows the method choice.
    QProxyHandshake s5;
    ASSERT_TRUE(s5.Begin(Proxy(QProxyInfo::kSocks5), Addr("10.1.2.3"), 443, ""));
    EXPECT_EQ(s5.Pending(), "\x05\x01\x00"s);
    s5.Written(3);
    size_t consumed = 0;
    EXPECT_EQ(s5.Examine("\x05\x00", 2, consumed), R::kWait);
    EXPECT_EQ(consumed, 2u);
    EXPECT_EQ(s5.Pending(), "\x05\x01\x00\x01\x0a\x01\x02\x03\x01\xbb"s);

    QProxyInfo auth = Proxy(QProxyInfo::kSocks5);
    auth.user = "bob";
    auth.password = "pw";
    QProxyHandshake s5auth;
    ASSERT_TRUE(s5auth.Begin(auth, 0, 80, "files.example"));
    EXPECT_EQ(s5auth.Pending(), "\x05\x01\x02"s);
    s5auth.Written(3);
    EXPECT_EQ(s5auth.Examine("\x05\x02", 2, consumed), R::kWait);
    EXPECT_EQ(s5auth.Pending(), "\x01\x03"
                                "bob"
                                "\x02"
                                "pw"s);
    s5auth.Written(s5auth.Pending().size());
    EXPECT_EQ(s5auth.Examine("\x01\x00", 2, consumed), R::kWait);
    EXPECT_EQ(s5auth.Pending(), "\x05\x01\x00\x03\x0d"
                                "files.example"
                                "\x00\x50"s);
    s5auth.Written(s5auth.Pending().size());
    // The final reply, followed by the first tunnel bytes, which stay for the caller.
    const std::string reply = "\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x50"
                              "DATA"s;
    EXPECT_EQ(s5auth.Examine(reply.data(), reply.size(), consumed), R::kDone);
    EXPECT_EQ(consumed, 10u);
    EXPECT_TRUE(s5auth.Finished());
}

TEST(QProxyHandshake, RequestsThatCannotBeWrittenSafelyAreRefused) {
    struct Case {
        const char* what;
        QProxyInfo proxy;
        uint32_t address;
        std::string host;
    };
    QProxyInfo crlfDomain = Proxy(QProxyInfo::kHttp);
    crlfDomain.domain = "corp\r\nX-Injected: 1";
    QProxyInfo crlfTarget = Proxy(QProxyInfo::kHttp);
    crlfTarget.targetLine = "a:1 HTTP/1.1\r\nX-Injected: 1\r\n";
    QProxyInfo badMethod = Proxy(QProxyInfo::kHttp);
    badMethod.method = "GET /";
    QProxyInfo longUser = Proxy(QProxyInfo::kSocks5);
    longUser.user = std::string(256, 'u');
    const Case cases[] = {
        {"header break in the domain", crlfDomain, Addr("10.0.0.1"), ""},
        {"header break in a prepared target line", crlfTarget, Addr("10.0.0.1"), ""},
        {"method that is not a token", badMethod, Addr("10.0.0.1"), ""},
        {"SOCKS5 user longer than its length byte", longUser, Addr("10.0.0.1"), ""},
        {"SOCKS5 name longer than its length byte", Proxy(QProxyInfo::kSocks5), 0, std::string(256, 'a')},
        {"SOCKS4a name with a 0 byte", Proxy(QProxyInfo::kSocks4a), 0, "a\0b"s},
        {"name with a line break", Proxy(QProxyInfo::kHttp), 0, "a\r\nb"},
        {"no address and no name", Proxy(QProxyInfo::kSocks4), 0, ""},
        {"unknown kind", Proxy(9), Addr("10.0.0.1"), ""},
    };
    for (const Case& c : cases) {
        QProxyHandshake h;
        EXPECT_FALSE(h.Begin(c.proxy, c.address, 80, c.host)) << c.what;
        EXPECT_EQ(h.GetStage(), QProxyHandshake::kBroken) << c.what;
        EXPECT_TRUE(h.Pending().empty()) << c.what;
    }
}

TEST(QProxyHandshake, HttpReplies) {
    const std::string big(QProxyHandshake::kMaxHttpHeader, 'x');
    struct Case {
        std::string reply;
        R result;
        size_t length; // full reply length when done
    };
    const Case cases[] = {
        {"HTTP/1.1 200 Connection established\r\n\r\n", R::kDone, 39},
        {"HTTP/1.0 200 OK\n\n", R::kDone, 17},
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", R::kDone, 43},
        {"HTTP/1.1 200 OK\r\ncontent-length:5\r\n\r\nhelloTUNNEL", R::kDone, 42},
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhel", R::kWait, 0},
        {"HTTP/1.1 204 No Content\r\n\r\n", R::kDone, 27},
        {"HTTP/1.1 200 OK\r\nProxy-agent: x\r\n", R::kWait, 0},
        {"HTT", R::kWait, 0},
        {"", R::kWait, 0},
        {"HTTP/1.1 407 Proxy Authentication Required\r\n\r\n", R::kFailed, 0},
        {"HTTP/1.1 210 Odd\r\n\r\n", R::kFailed, 0},
        {"HTTP/1.1 2000 Long\r\n\r\n", R::kFailed, 0},
        {"HTTP/1.1 20\r\n\r\n", R::kFailed, 0},
        {"HTTP/1.1\r\n\r\n", R::kFailed, 0},
        {"SSH-2.0-OpenSSH\r\n\r\n", R::kFailed, 0},
        {"\x05\x00"s, R::kFailed, 0},
        {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n", R::kFailed, 0},
        {"HTTP/1.1 200 OK\r\nContent-Length: 65537\r\n\r\n", R::kFailed, 0},
        {"HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", R::kFailed, 0},
        {"HTTP/1.1 200 OK\r\nContent-Length: 5x\r\n\r\n", R::kFailed, 0},
        {"HTTP/1.1 200 OK\r\nX: " + big, R::kFailed, 0},
    };
    for (const Case& c : cases) {
        Exact in(c.reply);
        size_t length = 12345;
        EXPECT_EQ(QProxyHandshake::ParseHttpReply(in.data.get(), in.size, length), c.result)
            << c.reply.substr(0, 60);
        if (c.result == R::kDone) {
            EXPECT_EQ(length, c.length) << c.reply.substr(0, 60);
        }
    }
}

TEST(QProxyHandshake, SocksReplies) {
    struct Case {
        const char* what;
        int parser; // 4: SOCKS4 reply, 50: SOCKS5 choice (method 0), 51: password reply, 5: SOCKS5 reply
        std::string reply;
        R result;
        size_t length;
    };
    const Case cases[] = {
        {"SOCKS4 granted", 4, "\x00\x5a\x00\x50\x7f\x00\x00\x01"s, R::kDone, 8},
        {"SOCKS4 short", 4, "\x00\x5a\x00"s, R::kWait, 0},
        {"SOCKS4 refused", 4, "\x00\x5b\x00\x50\x7f\x00\x00\x01"s, R::kFailed, 0},
        {"SOCKS4 refused, seen early", 4, "\x00\x5b"s, R::kFailed, 0},
        {"SOCKS4 wrong version byte", 4, "\x04\x5a\x00\x50\x7f\x00\x00\x01"s, R::kFailed, 0},
        {"SOCKS5 method echoed", 50, "\x05\x00"s, R::kDone, 2},
        {"SOCKS5 no acceptable method", 50, "\x05\xff"s, R::kFailed, 0},
        {"SOCKS5 choice from a SOCKS4 server", 50, "\x04\x00"s, R::kFailed, 0},
        {"SOCKS5 choice short", 50, "\x05"s, R::kWait, 0},
        {"password accepted", 51, "\x01\x00"s, R::kDone, 2},
        {"password refused", 51, "\x01\x01"s, R::kFailed, 0},
        {"password reply of the wrong version", 51, "\x05\x00"s, R::kFailed, 0},
        {"SOCKS5 IPv4 reply", 5, "\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x50"s, R::kDone, 10},
        {"SOCKS5 IPv4 reply short", 5, "\x05\x00\x00\x01\x7f\x00\x00"s, R::kWait, 0},
        {"SOCKS5 name reply", 5,
         "\x05\x00\x00\x03\x03"
         "abc"
         "\x00\x50"s,
         R::kDone, 10},
        {"SOCKS5 name reply short", 5,
         "\x05\x00\x00\x03\x03"
         "ab"s,
         R::kWait, 0},
        {"SOCKS5 name reply without its length", 5, "\x05\x00\x00\x03"s, R::kWait, 0},
        {"SOCKS5 IPv6 reply", 5, "\x05\x00\x00\x04"s + std::string(16, '\0') + "\x00\x50"s, R::kDone, 22},
        {"SOCKS5 connection refused", 5, "\x05\x05\x00\x01\x00\x00\x00\x00\x00\x00"s, R::kFailed, 0},
        {"SOCKS5 unknown address type", 5, "\x05\x00\x00\x09\x00\x00\x00\x00\x00\x00"s, R::kFailed, 0},
        {"SOCKS5 reply of the wrong version", 5, "\x04\x00\x00\x01\x00\x00\x00\x00\x00\x00"s, R::kFailed, 0},
    };
    for (const Case& c : cases) {
        Exact in(c.reply);
        size_t length = 0;
        R r = R::kFailed;
        switch (c.parser) {
        case 4:
            r = QProxyHandshake::ParseSocks4Reply(in.data.get(), in.size);
            length = 8;
            break;
        case 50:
            r = QProxyHandshake::ParseSocks5Choice(in.data.get(), in.size, 0);
            length = 2;
            break;
        case 51:
            r = QProxyHandshake::ParseSocks5AuthReply(in.data.get(), in.size);
            length = 2;
            break;
        default:
            r = QProxyHandshake::ParseSocks5Reply(in.data.get(), in.size, length);
        }
        EXPECT_EQ(r, c.result) << c.what;
        if (r == R::kDone) {
            EXPECT_EQ(length, c.length) << c.what;
        }
    }
}

TEST(QProxyHandshake, ReplyArrivingByteByByteEndsExactlyAtItsLastByte) {
    // A CONNECT reply with a body, then tunnel data: every prefix but the whole reply
    // waits, and the caller keeps the tunnel bytes.
    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc";
    const std::string stream = reply + "TUNNEL";
    QProxyHandshake h;
    ASSERT_TRUE(h.Begin(Proxy(QProxyInfo::kHttp), Addr("10.0.0.1"), 80, ""));
    h.Written(h.Pending().size());
    size_t consumed = 0;
    for (size_t n = 0; n < reply.size(); ++n) {
        Exact in(stream.substr(0, n));
        ASSERT_EQ(h.Examine(in.data.get(), in.size, consumed), R::kWait) << n;
    }
    Exact in(stream);
    EXPECT_EQ(h.Examine(in.data.get(), in.size, consumed), R::kDone);
    EXPECT_EQ(consumed, reply.size());

    // With a method other than CONNECT the reply is the caller's data and is left alone.
    QProxyInfo get = Proxy(QProxyInfo::kHttp);
    get.method = "GET";
    get.targetLine = "http://files.example/a HTTP/1.1\r\n";
    QProxyHandshake g;
    ASSERT_TRUE(g.Begin(get, Addr("10.0.0.1"), 80, ""));
    EXPECT_EQ(g.Pending(), "GET http://files.example/a HTTP/1.1\r\n\r\n");
    EXPECT_EQ(g.Examine(in.data.get(), in.size, consumed), R::kDone);
    EXPECT_EQ(consumed, 0u);
}

TEST(QProxyHandshake, RefusalLeavesNothingToSend) {
    QProxyHandshake h;
    ASSERT_TRUE(h.Begin(Proxy(QProxyInfo::kSocks5), Addr("10.0.0.1"), 80, ""));
    size_t consumed = 7;
    EXPECT_EQ(h.Examine("\x05\xff", 2, consumed), R::kFailed);
    EXPECT_EQ(consumed, 0u);
    EXPECT_TRUE(h.Pending().empty());
    EXPECT_EQ(h.Examine("\x05\x00", 2, consumed), R::kFailed); // stays broken
}

} // namespace
