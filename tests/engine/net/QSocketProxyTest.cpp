// Connections through real proxy programs and through scripted, misbehaving ones, all on
// loopback.
#include "engine/net/QSocket.h"
#include "support/LoopbackListener.h"
#include "support/ManualEngineClock.h"
#include "support/ProxyServer.h"
#include "support/ScriptedServer.h"
#include "support/Socks4aServer.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::string_literals;
using testsupport::ProxyServer;
using testsupport::ScriptedServer;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

QProxyInfo Proxy(uint32_t kind, uint16_t port, const std::string& user = "",
                 const std::string& password = "") {
    QProxyInfo p;
    p.kind = kind;
    p.address = kLoopback;
    p.port = port;
    p.user = user;
    p.password = password;
    return p;
}

// Sends message (queued until the proxy is done) and reads until as many bytes came back
// (or expect bytes, when given). Returns what came back, or "<failed>" when the connection
// broke first.
std::string RoundTrip(QSocket& s, const std::string& message, int milliseconds = 8000, size_t expect = 0) {
    if (expect == 0)
        expect = message.size();
    if (s.Send(message.data(), static_cast<int>(message.size())) < 0)
        return "<failed>";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < deadline) {
        const int rc = s.Receive();
        if (s.ReceiveLength() >= expect)
            return std::string(s.ReceiveData(), s.ReceiveLength());
        if (rc < 0)
            return "<failed>";
        s.Flush();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return "<timed out>";
}

// Reads until the connection fails; returns how long that took, or -1 when it did not.
int MillisecondsUntilFailure(QSocket& s, int limit) {
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(limit)) {
        if (s.Receive() < 0)
            return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - start)
                                        .count());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

// The refusal may already show inside Connect, when the proxy answers that fast.
bool RefusedThrough(const QProxyInfo& proxy, uint16_t targetPort, QSocket& s) {
    if (s.Connect(kLoopback, targetPort, &proxy) && RoundTrip(s, "data", 5000) != "<failed>")
        return false;
    return !s.IsOpen() && !s.IsNegotiated() && s.ReceiveLength() == 0;
}

class RealProxy : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(echo.port(), 0); }

    testsupport::TempDir dir;
    ScriptedServer echo{{}, ScriptedServer::After::Echo};
    std::string why;
    bool missing = false;
};

#define SKIP_IF_MISSING(server)                                                                              \
    do {                                                                                                     \
        if (!(server) && missing)                                                                            \
            GTEST_SKIP() << why << " (apt-get install tinyproxy microsocks dante-server)";                   \
        ASSERT_TRUE(server) << why;                                                                          \
    } while (0)

// A proxy that is handed "localhost" resolves it itself, and where the hosts file names
// [::1] too (Debian's does) it connects there first: the target must answer on both.
TEST_F(RealProxy, TargetAnswersOnTheIpv6LoopbackToo) {
    uint16_t any = 0;
    const int probe = testsupport::BindLoopback(AF_INET6, any, 0);
    if (probe < 0)
        GTEST_SKIP() << "no IPv6 loopback here, so no name resolves to it";
    close(probe);
    const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_addr = in6addr_loopback;
    to.sin6_port = htons(echo.port());
    const bool connected = connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
    EXPECT_TRUE(connected) << std::strerror(errno);
    const std::string message = "over [::1]";
    std::string back;
    const std::atomic<bool> stop{false};
    if (connected && testsupport::WriteAll(fd, message)) {
        char buffer[64];
        ssize_t n = 0;
        while (back.size() < message.size() && testsupport::WaitReadableOrStop(fd, stop, 5000) &&
               (n = recv(fd, buffer, sizeof buffer, 0)) > 0)
            back.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    EXPECT_EQ(back, message);
}

TEST_F(RealProxy, TinyproxyTunnelsWithoutAuthorisation) {
    auto proxy = ProxyServer::StartTinyproxy(dir, {echo.port()}, "", "", why, missing);
    SKIP_IF_MISSING(proxy);
    const QProxyInfo p = Proxy(QProxyInfo::kHttp, proxy->port());
    QSocket s;
    ASSERT_TRUE(s.Connect(kLoopback, echo.port(), &p));
    EXPECT_FALSE(s.IsNegotiated()) << "the tunnel needs the proxy's answer first";
    EXPECT_EQ(RoundTrip(s, "through tinyproxy"), "through tinyproxy") << proxy->Log();
    EXPECT_TRUE(s.IsNegotiated());
    EXPECT_EQ(s.RemotePort(), echo.port()) << "the remote side is the target, not the proxy";
}

TEST_F(RealProxy, TinyproxyWithBasicAuthorisation) {
    auto proxy = ProxyServer::StartTinyproxy(dir, {echo.port()}, "alice", "s3cret", why, missing);
    SKIP_IF_MISSING(proxy);

    const QProxyInfo good = Proxy(QProxyInfo::kHttp, proxy->port(), "alice", "s3cret");
    QSocket s;
    ASSERT_TRUE(s.Connect(kLoopback, echo.port(), &good));
    EXPECT_EQ(RoundTrip(s, "with credentials"), "with credentials") << proxy->Log();

    // 407 ends the connection as a refusal, and none of its page reaches the caller.
    const QProxyInfo bad = Proxy(QProxyInfo::kHttp, proxy->port(), "alice", "wrong");
    QSocket refused;
    EXPECT_TRUE(RefusedThrough(bad, echo.port(), refused));
    EXPECT_EQ(refused.LastError(), ECONNREFUSED);

    const QProxyInfo none = Proxy(QProxyInfo::kHttp, proxy->port());
    QSocket anonymous;
    EXPECT_TRUE(RefusedThrough(none, echo.port(), anonymous));
}

TEST_F(RealProxy, MicrosocksWithoutAndWithPassword) {
    auto open = ProxyServer::StartMicrosocks(dir, "", "", why, missing);
    SKIP_IF_MISSING(open);
    const QProxyInfo p = Proxy(QProxyInfo::kSocks5, open->port());
    QSocket byAddress;
    ASSERT_TRUE(byAddress.Connect(kLoopback, echo.port(), &p));
    EXPECT_EQ(RoundTrip(byAddress, "socks5 by address"), "socks5 by address");

    QProxyInfo names = p;
    names.remoteNames = true;
    QSocket byName;
    ASSERT_TRUE(byName.ConnectToHost("localhost", echo.port(), &names));
    EXPECT_EQ(byName.RemoteText(), "localhost");
    EXPECT_EQ(RoundTrip(byName, "socks5 by name"), "socks5 by name");

    testsupport::TempDir other;
    auto guarded = ProxyServer::StartMicrosocks(other, "bob", "pw", why, missing);
    ASSERT_TRUE(guarded) << why;
    const QProxyInfo good = Proxy(QProxyInfo::kSocks5, guarded->port(), "bob", "pw");
    QSocket s;
    ASSERT_TRUE(s.Connect(kLoopback, echo.port(), &good));
    EXPECT_EQ(RoundTrip(s, "socks5 with password"), "socks5 with password");

    const QProxyInfo bad = Proxy(QProxyInfo::kSocks5, guarded->port(), "bob", "nope");
    QSocket refused;
    EXPECT_TRUE(RefusedThrough(bad, echo.port(), refused));

    // Offering no authentication to a server that wants a password is refused too.
    const QProxyInfo without = Proxy(QProxyInfo::kSocks5, guarded->port());
    QSocket unasked;
    EXPECT_TRUE(RefusedThrough(without, echo.port(), unasked));
}

TEST_F(RealProxy, MicrosocksInBlockingModeIsNegotiatedOnReturn) {
    auto proxy = ProxyServer::StartMicrosocks(dir, "", "", why, missing);
    SKIP_IF_MISSING(proxy);
    const QProxyInfo p = Proxy(QProxyInfo::kSocks5, proxy->port());
    QSocket s;
    ASSERT_TRUE(s.Connect(kLoopback, echo.port(), &p, nullptr, nullptr, 0, true));
    EXPECT_TRUE(s.IsNegotiated());
    EXPECT_EQ(RoundTrip(s, "blocking"), "blocking");
}

TEST_F(RealProxy, DanteSocks4AndSocks5) {
    auto proxy = ProxyServer::StartDante(dir, why, missing);
    SKIP_IF_MISSING(proxy);
    struct Case {
        const char* what;
        uint32_t kind;
        bool names;
    };
    const Case cases[] = {
        {"SOCKS4", QProxyInfo::kSocks4, false},
        {"SOCKS5 by address", QProxyInfo::kSocks5, false},
        {"SOCKS5 by name", QProxyInfo::kSocks5, true},
    };
    for (const Case& c : cases) {
        QProxyInfo p = Proxy(c.kind, proxy->port());
        p.remoteNames = c.names;
        QSocket s;
        ASSERT_TRUE(s.Connect(kLoopback, echo.port(), &p, "localhost")) << c.what;
        EXPECT_EQ(RoundTrip(s, c.what), c.what) << proxy->Log();
    }
}

TEST(Socks4a, NameGoesToTheProxy) {
    ScriptedServer echo({}, ScriptedServer::After::Echo);
    testsupport::Socks4aServer proxy;
    ASSERT_NE(proxy.port(), 0);
    QProxyInfo p = Proxy(QProxyInfo::kSocks4a, proxy.port());
    p.remoteNames = true;
    QSocket s;
    ASSERT_TRUE(s.ConnectToHost("localhost", echo.port(), &p));
    EXPECT_EQ(RoundTrip(s, "socks4a"), "socks4a");
    EXPECT_EQ(proxy.LastName(), "localhost");
    EXPECT_EQ(proxy.LastPort(), echo.port());

    // Without the remote-name flag the address is resolved here and sent instead.
    QProxyInfo local = Proxy(QProxyInfo::kSocks4a, proxy.port());
    QSocket byAddress;
    ASSERT_TRUE(byAddress.ConnectToHost("127.0.0.1", echo.port(), &local));
    EXPECT_EQ(RoundTrip(byAddress, "socks4a by address"), "socks4a by address");
    EXPECT_EQ(proxy.LastName(), "");
    EXPECT_EQ(proxy.Requests(), 2);
}

// ---- scripted proxies ----

const std::string kConnectTo = "CONNECT 127.0.0.1:4000 HTTP/1.1\r\n\r\n";

TEST(ScriptedProxy, TunnelBytesRightBehindTheReplyAreKept) {
    // The reply has a body the tunnel must skip, and the proxy sends the first tunnel
    // bytes in the same write.
    ScriptedServer proxy({{kConnectTo.size(), "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbodyEARLY"}},
                         ScriptedServer::After::Echo);
    const QProxyInfo p = Proxy(QProxyInfo::kHttp, proxy.port());
    QSocket s;
    ASSERT_TRUE(s.Connect(kLoopback, 4000, &p));
    EXPECT_EQ(RoundTrip(s, "ping", 8000, 9), "EARLYping");
    EXPECT_EQ(proxy.Received(), kConnectTo + "ping");
}

TEST(ScriptedProxy, DataQueuedDuringTheHandshakeFollowsIt) {
    const std::string greeting = "\x05\x01\x00"s;
    const std::string request = "\x05\x01\x00\x01\x7f\x00\x00\x01\x0f\xa0"s;
    ScriptedServer proxy({{greeting.size(), "\x05\x00"s},
                          {greeting.size() + request.size(), "\x05\x00\x00\x01\x7f\x00\x00\x01\x0f\xa0"s}},
                         ScriptedServer::After::Echo);
    const QProxyInfo p = Proxy(QProxyInfo::kSocks5, proxy.port());
    QSocket s;
    ASSERT_TRUE(s.Connect(kLoopback, 4000, &p));
    ASSERT_EQ(s.Send("early", 5), 5);
    EXPECT_EQ(RoundTrip(s, "late", 8000, 9), "earlylate");
    EXPECT_EQ(proxy.Received(), greeting + request + "earlylate");
}

TEST(ScriptedProxy, MalformedRepliesFailTheConnection) {
    struct Case {
        const char* what;
        uint32_t kind;
        std::vector<ScriptedServer::Step> script;
        ScriptedServer::After after;
    };
    const std::string big = "HTTP/1.1 200 OK\r\nX: " + std::string(QProxyHandshake::kMaxHttpHeader, 'x');
    const Case cases[] = {
        {"HTTP 407",
         QProxyInfo::kHttp,
         {{1, "HTTP/1.1 407 Proxy Authentication Required\r\n\r\n"}},
         ScriptedServer::After::Hold},
        {"HTTP header without end", QProxyInfo::kHttp, {{1, big}}, ScriptedServer::After::Hold},
        {"not HTTP at all", QProxyInfo::kHttp, {{1, "SSH-2.0-x\r\n"}}, ScriptedServer::After::Hold},
        {"huge body length",
         QProxyInfo::kHttp,
         {{1, "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\n"}},
         ScriptedServer::After::Hold},
        {"proxy hangs up mid-reply",
         QProxyInfo::kHttp,
         {{1, "HTTP/1.1 200 OK\r\n"}},
         ScriptedServer::After::Close},
        {"SOCKS4 refusal",
         QProxyInfo::kSocks4,
         {{9, "\x00\x5b\x00\x00\x00\x00\x00\x00"s}},
         ScriptedServer::After::Hold},
        {"SOCKS5 wrong version", QProxyInfo::kSocks5, {{3, "\x04\x00"s}}, ScriptedServer::After::Hold},
        {"SOCKS5 host unreachable",
         QProxyInfo::kSocks5,
         {{3, "\x05\x00"s}, {13, "\x05\x04\x00\x01\x00\x00\x00\x00\x00\x00"s}},
         ScriptedServer::After::Hold},
        {"SOCKS5 short reply then hang-up",
         QProxyInfo::kSocks5,
         {{3, "\x05\x00"s}, {13, "\x05\x00\x00\x01"s}},
         ScriptedServer::After::Close},
    };
    for (const Case& c : cases) {
        ScriptedServer proxy(c.script, c.after);
        const QProxyInfo p = Proxy(c.kind, proxy.port());
        QSocket s;
        EXPECT_TRUE(RefusedThrough(p, 4000, s)) << c.what << " (proxy bytes must not reach the caller)";
    }
}

TEST(ScriptedProxy, SilentProxyTimesOutAfterItsStepLimit) {
    // On the test's clock: an HTTP proxy gets the whole limit for its answer, a SOCKS
    // proxy half of it; the default limit is twelve seconds.
    struct Case {
        uint32_t kind;
        int seconds;  // 0: the default
        int expectMs; // when the step is over
    };
    const Case cases[] = {{QProxyInfo::kHttp, 0, 12000},
                          {QProxyInfo::kSocks5, 0, 6000},
                          {QProxyInfo::kSocks4, 0, 6000},
                          {QProxyInfo::kHttp, 3, 3000}};
    for (const Case& c : cases) {
        ScriptedServer proxy({}, ScriptedServer::After::Hold);
        QProxyInfo p = Proxy(c.kind, proxy.port());
        p.timeoutSeconds = c.seconds;
        testsupport::ManualEngineClock clock;
        QSocket s;
        ASSERT_TRUE(s.Connect(kLoopback, 4000, &p));
        // The proxy has the request before its time starts to run out.
        ASSERT_EQ(MillisecondsUntilFailure(s, 200), -1) << c.kind;
        clock.Advance(static_cast<uint64_t>(c.expectMs - 100));
        EXPECT_EQ(MillisecondsUntilFailure(s, 100), -1) << c.kind << ": gave up too soon";
        clock.Advance(200);
        EXPECT_GE(MillisecondsUntilFailure(s, 1000), 0) << c.kind << ": still waiting";
        EXPECT_EQ(s.LastError(), ETIMEDOUT) << c.kind;
    }
}

TEST(ScriptedProxy, ProcessWideSettingsAreUsedAndBypassed) {
    ScriptedServer proxy({{kConnectTo.size(), "HTTP/1.1 200 OK\r\n\r\n"}}, ScriptedServer::After::Echo);
    ScriptedServer target({}, ScriptedServer::After::Echo);
    const QProxyInfo saved = QProxyInfo::Global();

    QProxyInfo global = Proxy(QProxyInfo::kHttp, proxy.port());
    QProxyInfo::SetGlobal(global);
    QSocket viaGlobal;
    ASSERT_TRUE(viaGlobal.Connect(kLoopback, 4000));
    EXPECT_EQ(RoundTrip(viaGlobal, "global"), "global");
    EXPECT_EQ(proxy.Connections(), 1u);

    // A settings change does not reach a connection that already copied them, and a
    // bypassed target is connected directly.
    global.bypass = {"127.0.0.0/8"};
    QProxyInfo::SetGlobal(global);
    QSocket direct;
    ASSERT_TRUE(direct.Connect(kLoopback, target.port()));
    EXPECT_EQ(RoundTrip(direct, "direct"), "direct");
    EXPECT_EQ(target.Connections(), 1u);
    EXPECT_EQ(proxy.Connections(), 1u);
    QProxyInfo::SetGlobal(saved);
}

} // namespace
