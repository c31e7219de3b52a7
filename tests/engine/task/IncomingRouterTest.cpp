#include "engine/task/TIncomingRouter.h"

#include "engine/task/QTaskRegistry.h"

#include "engine/api/BrisklaneEngine.h"
#include "engine/net/QNetworkState.h"
#include "engine/net/QSocket.h"
#include "engine/net/TIncomingUdp.h"
#include "engine/task/TActiveTorrents.h"
#include "engine/task/TIncomingHost.h"
#include "engine/task/TWorkThread.h"
#include "platform/Clock.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

uint32_t Loopback(uint8_t b, uint8_t c, uint8_t d) {
    return htonl((127u << 24) | (uint32_t(b) << 16) | (uint32_t(c) << 8) | d);
}
const uint32_t kListenAt = Loopback(0, 0, 1);

std::atomic<uint64_t> g_nowMs{1000000};
std::atomic<uint32_t> g_localAddress{0};

bool WaitFor(const std::function<bool()>& condition, int milliseconds = 3000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        platform::SleepMs(2);
    }
    return condition();
}

InfoHash HashOf(uint8_t seed) {
    InfoHash h;
    for (size_t i = 0; i < h.size(); ++i)
        h[i] = static_cast<uint8_t>(seed + i);
    return h;
}

std::string Handshake(const InfoHash& hash) {
    std::string s;
    s += '\x13';
    s += "BitTorrent protocol";
    s += std::string(8, '\0');
    s.append(reinterpret_cast<const char*>(hash.data()), hash.size());
    s += std::string(20, 'p'); // peer id
    return s;
}

// A task with one torrent; it takes the offered connection or leaves it.
class FakeTask : public TIncomingHost {
public:
    bool MatchHandshake(const uint8_t* received, size_t length) const override {
        const std::string own = Handshake(hash);
        return length >= TIncomingRouter::kHandshakeBytes && std::memcmp(received, own.data(), 48) == 0;
    }
    bool AcceptIncoming(std::unique_ptr<QSocket>& connection) override {
        ++offers;
        if (!takes)
            return false;
        taken.push_back(std::move(connection));
        return true;
    }

    InfoHash hash = HashOf(1);
    bool takes = false;
    int offers = 0;
    std::vector<std::unique_ptr<QSocket>> taken;
};

// Records what the listener asks of its UDP side.
class RecordingUdp : public TIncomingUdp {
public:
    std::unique_ptr<QSocket> AcceptStream() override { return nullptr; }
    void EnsureStreamListener(uint32_t address, uint16_t port) override {
        log += "stream " + std::to_string(port == expectedPort && address == kListenAt) + ";";
    }
    void CloseStreamListener() override { log += "close-stream;"; }
    void ReleaseStreams() override { log += "release;"; }
    void SetServerAddress(uint32_t address, uint16_t port) override {
        log += "server " + std::to_string(port == expectedPort && address == kListenAt) + ";";
    }
    LanSocket EnsureLanSocket() override {
        log += "lan;";
        return lan;
    }
    void CloseLanSocket() override { log += "close-lan;"; }

    std::string log;
    uint16_t expectedPort = 0;
    LanSocket lan = LanSocket::Open;
};

class IncomingRouterTest : public ::testing::Test {
protected:
    void SetUp() override {
        TIncomingRouter::Environment e;
        e.tickMs = [] { return g_nowMs.load(); };
        e.localAddress = [] { return g_localAddress.load(); };
        e.anyAddress = kListenAt;
        g_localAddress = kListenAt;
        saved_ = router().SetEnvironment(e);
        router().CloseListener();
        QNetworkState::SetDirectlyReachable(false);
        QNetworkState::SetUdpStreamsOff(false);
        port_ = FreePort();
        ASSERT_NE(port_, 0);
        EngineSetListenPort(port_);
        EngineSetP2PEnabled(1);
        ASSERT_TRUE(router().ListenerUpkeep());
        ASSERT_TRUE(router().Listening());
    }
    void TearDown() override {
        router().CloseListener();
        EngineSetP2PEnabled(0);
        EngineSetListenPort(0);
        router().SetUdpParts(nullptr);
        router().SetEnvironment(saved_);
        QNetworkState::SetDirectlyReachable(false);
        QNetworkState::SetUdpStreamsOff(false);
    }

    static TIncomingRouter& router() { return TIncomingRouter::Instance(); }

    static uint16_t FreePort() {
        QSocket probe;
        if (!probe.Listen(kListenAt, 0))
            return 0;
        return probe.LocalPort();
    }

    // A client connected to the router's listener from the given loopback address,
    // already sitting in the router's pending list.
    std::unique_ptr<QSocket> Connect(uint32_t from = Loopback(0, 0, 1), const std::string& send = "") {
        const QProxyInfo direct;
        auto c = std::make_unique<QSocket>();
        EXPECT_TRUE(c->Connect(kListenAt, port_, &direct, nullptr, nullptr, from));
        EXPECT_TRUE(WaitFor([&] { return c->IsConnected(); }));
        // Once the list is full, the connection shows only in the oldest one leaving.
        const size_t before = router().PendingCount();
        if (before < TIncomingRouter::kMaxPending) {
            EXPECT_TRUE(WaitFor([&] {
                router().RouteIncoming(task_);
                return router().PendingCount() > before;
            }));
        }
        if (!send.empty()) {
            EXPECT_EQ(c->Send(send.data(), static_cast<int>(send.size())), static_cast<int>(send.size()));
        }
        return c;
    }

    // The router closed the client's connection (checked for up to milliseconds while
    // routing, without moving the test clock).
    bool Closed(QSocket& client, int milliseconds = 1000) {
        return WaitFor(
            [&] {
                router().RouteIncoming(task_);
                return client.Receive() < 0;
            },
            milliseconds);
    }
    bool StillOpen(QSocket& client) { return !Closed(client, 50); }

    uint16_t port_ = 0;
    FakeTask task_;
    RecordingUdp udp_;
    TIncomingRouter::Environment saved_;
};

// The handshake decides at once; anything else waits its few seconds.
TEST_F(IncomingRouterTest, HandshakesAreDecidedAtOnceOtherConnectionsAgeOut) {
    auto unknown = Connect(kListenAt, Handshake(HashOf(99)));
    EXPECT_TRUE(Closed(*unknown)) << "a torrent no task runs";

    auto refused = Connect(kListenAt, Handshake(task_.hash));
    EXPECT_TRUE(Closed(*refused));
    EXPECT_EQ(task_.offers, 1);
    task_.takes = true;
    auto taken = Connect(kListenAt, Handshake(task_.hash));
    EXPECT_TRUE(WaitFor([&] {
        router().RouteIncoming(task_);
        return task_.taken.size() == 1;
    }));
    EXPECT_TRUE(StillOpen(*taken));
    EXPECT_EQ(router().PendingCount(), 0u);

    // Another task's torrent waits for that task's turn, like any talkative connection.
    const InfoHash other = HashOf(50);
    int anchor = 0;
    TBaseWork* otherTask = reinterpret_cast<TBaseWork*>(&anchor); // stored, never used
    ASSERT_TRUE(TActiveTorrents::Register(otherTask, other));
    struct Case {
        std::string sent;
        uint64_t closesAtMs;
    };
    const std::vector<Case> cases = {
        {"", 3000},
        {std::string(67, 'x'), 3000},
        {Handshake(other).substr(0, 40), 3000}, // incomplete: not judged by its hash
        {std::string(68, 'x'), 5000},
        {Handshake(other), 5000},
    };
    const uint64_t start = g_nowMs;
    std::vector<std::unique_ptr<QSocket>> clients;
    for (const Case& c : cases)
        clients.push_back(Connect(kListenAt, c.sent));
    for (uint64_t at : {uint64_t{2999}, uint64_t{3000}, uint64_t{4999}, uint64_t{5000}}) {
        g_nowMs = start + at;
        for (size_t i = 0; i < cases.size(); ++i) {
            if (at < cases[i].closesAtMs) {
                EXPECT_TRUE(StillOpen(*clients[i])) << "case " << i << " at " << at;
            } else {
                EXPECT_TRUE(Closed(*clients[i])) << "case " << i << " at " << at;
            }
        }
    }
    EXPECT_EQ(router().PendingCount(), 0u);
    TActiveTorrents::Unregister(otherTask);
}

TEST_F(IncomingRouterTest, OnlyAConnectionFromOutsideTheListenersSlash24MarksReachable) {
    auto neighbour = Connect(Loopback(0, 0, 77));
    EXPECT_FALSE(QNetworkState::DirectlyReachable());
    EXPECT_FALSE(QNetworkState::UdpStreamsOff());
    auto outsider = Connect(Loopback(1, 0, 1));
    EXPECT_TRUE(QNetworkState::DirectlyReachable());
    EXPECT_TRUE(QNetworkState::UdpStreamsOff());
}

TEST_F(IncomingRouterTest, MoreThan32PendingKeepsTheNewest) {
    std::vector<std::unique_ptr<QSocket>> clients;
    for (int i = 0; i < 40; ++i)
        clients.push_back(Connect());
    EXPECT_EQ(router().PendingCount(), TIncomingRouter::kMaxPending);
    for (size_t i = 0; i < clients.size(); ++i) {
        if (i < 8) {
            EXPECT_TRUE(Closed(*clients[i])) << i;
        } else {
            EXPECT_TRUE(StillOpen(*clients[i])) << i;
        }
    }
}

TEST_F(IncomingRouterTest, ListenerClosesWithPeerToPeerOffAndWithTheLastTask) {
    auto client = Connect();
    EngineSetP2PEnabled(0);
    router().RouteIncoming(task_);
    EXPECT_FALSE(router().Listening());
    EXPECT_EQ(router().ListenPort(), 0);
    EXPECT_EQ(router().PendingCount(), 0u);
    EXPECT_TRUE(Closed(*client));
    QSocket late;
    const QProxyInfo direct;
    late.Connect(kListenAt, port_, &direct);
    EXPECT_TRUE(WaitFor([&] { return !late.IsOpen() || late.Receive() < 0; })) << "nobody listens";

    EngineSetP2PEnabled(1);
    router().RouteIncoming(task_);
    ASSERT_TRUE(router().Listening());
    EXPECT_EQ(router().ListenPort(), port_);
    auto again = Connect();
    QNetworkState::SetDirectlyReachable(true);
    QTaskRegistry::OnLastTask();
    EXPECT_FALSE(router().Listening());
    EXPECT_TRUE(Closed(*again));
    EXPECT_FALSE(QNetworkState::DirectlyReachable());
}

TEST_F(IncomingRouterTest, PortInUseFailsTheUpkeepUntilItIsFree) {
    router().CloseListener();
    auto blocker = std::make_unique<QSocket>();
    ASSERT_TRUE(blocker->Listen(kListenAt, port_));
    EXPECT_FALSE(router().ListenerUpkeep());
    router().RouteIncoming(task_); // goes on without a listener
    EXPECT_FALSE(router().Listening());
    blocker.reset();
    EXPECT_TRUE(router().ListenerUpkeep());
    EXPECT_TRUE(router().Listening());
    EXPECT_EQ(router().ListenPort(), port_);
}

TEST_F(IncomingRouterTest, ListenerMovesWhenTheLocalAddressChanged) {
    auto client = Connect();
    const uint32_t moved = Loopback(0, 0, 2);
    g_localAddress = moved;
    g_nowMs += TIncomingRouter::kAddressCheckMs;
    router().RouteIncoming(task_);
    EXPECT_EQ(router().ListenAddress(), kListenAt) << "checked only after 180 s";
    g_nowMs += 1;
    router().RouteIncoming(task_);
    EXPECT_TRUE(router().Listening());
    EXPECT_EQ(router().ListenAddress(), moved);
    EXPECT_EQ(router().ListenPort(), port_);
    EXPECT_TRUE(Closed(*client));
}

TEST_F(IncomingRouterTest, UdpSideFollowsTheListener) {
    udp_.expectedPort = port_;
    router().SetUdpParts(&udp_);
    EXPECT_TRUE(router().ListenerUpkeep());
    EXPECT_EQ(udp_.log, "server 1;stream 1;lan;");

    udp_.log.clear();
    QNetworkState::SetUdpStreamsOff(true);
    udp_.lan = TIncomingUdp::LanSocket::Failed;
    EXPECT_FALSE(router().ListenerUpkeep());
    EXPECT_EQ(udp_.log, "server 1;lan;");

    udp_.log.clear();
    router().CloseListener();
    EXPECT_EQ(udp_.log, "close-stream;release;close-lan;");
    QNetworkState::SetUdpStreamsOff(false);
    udp_.log.clear();
    router().CloseListener();
    EXPECT_EQ(udp_.log, "close-stream;close-lan;");

    udp_.lan = TIncomingUdp::LanSocket::Absent;
    udp_.log.clear();
    EXPECT_TRUE(router().ListenerUpkeep());
    EXPECT_EQ(udp_.log, "close-stream;server 1;stream 1;lan;") << "a new port re-opens the stream listener";
}

// A running task takes its turns: the listener opens while it runs and closes when it
// is gone.
TEST(IncomingRouterTaskTest, RunningTaskKeepsTheListenerAndTheLastOneClosesIt) {
    TIncomingRouter& router = TIncomingRouter::Instance();
    TIncomingRouter::Environment e;
    e.anyAddress = kListenAt;
    e.localAddress = [] { return kListenAt; };
    const TIncomingRouter::Environment saved = router.SetEnvironment(e);
    QSocket probe;
    ASSERT_TRUE(probe.Listen(kListenAt, 0));
    const uint16_t port = probe.LocalPort();
    probe.Close();
    EngineSetListenPort(port);
    EngineSetP2PEnabled(1);

    testsupport::TempDir dir;
    ASSERT_EQ(EngineInitialize(dir.path().c_str()), kEngineOk);
    TaskDescriptor d;
    std::memset(&d, 0, sizeof d);
    std::strncpy(d.targetPath, dir.file("t.bin").c_str(), sizeof d.targetPath - 1);
    d.sources = "http://127.0.0.1:9/t.bin";
    d.flags = kTaskFlagFullPath | kTaskFlagAccepted;
    ASSERT_EQ(EngineCreateTask(&d), kEngineOk);
    EXPECT_TRUE(WaitFor([&] { return router.Listening(); }));
    EXPECT_EQ(router.ListenPort(), port);

    QSocket client;
    const QProxyInfo direct;
    ASSERT_TRUE(client.Connect(kListenAt, port, &direct));
    const std::string hs = Handshake(HashOf(7));
    ASSERT_TRUE(WaitFor([&] { return client.IsConnected(); }));
    client.Send(hs.data(), static_cast<int>(hs.size()));
    EXPECT_TRUE(WaitFor([&] { return client.Receive() < 0; })) << "routed by the task's ticks";

    EXPECT_EQ(EngineCleanup(), kEngineOk);
    EXPECT_FALSE(router.Listening());
    EngineSetP2PEnabled(0);
    EngineSetListenPort(0);
    router.SetEnvironment(saved);
    QNetworkState::SetUdpStreamsOff(false);
}

// A task without a torrent has an all-zero info hash; a handshake naming that hash is
// not for it.
TEST(IncomingRouterTaskTest, TaskWithoutTorrentMatchesNoHandshake) {
    TWorkThread task;
    const std::string zero = Handshake(InfoHash{});
    EXPECT_FALSE(task.MatchHandshake(reinterpret_cast<const uint8_t*>(zero.data()), zero.size()));
    auto socket = std::make_unique<QSocket>();
    EXPECT_FALSE(task.AcceptIncoming(socket));
    EXPECT_NE(socket, nullptr) << "a refused connection stays with the router";
}

} // namespace
