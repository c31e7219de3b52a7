#include "engine/net/QSocket.h"
#include "engine/net/QHostResolver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <thread>

namespace {

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

bool WaitFor(const std::function<bool()>& condition, int milliseconds = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return condition();
}

std::string Pattern(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return s;
}

std::unique_ptr<QSocket> AcceptWithin(QSocket& listener, int milliseconds = 5000) {
    std::unique_ptr<QSocket> accepted;
    WaitFor(
        [&] {
            accepted.reset(listener.Accept());
            return accepted != nullptr;
        },
        milliseconds);
    return accepted;
}

// A connected pair over loopback: a client and the socket the listener accepted for it.
class SocketPair : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(listener.Listen(kLoopback, 0));
        ASSERT_TRUE(listener.IsListening());
        ASSERT_NE(listener.LocalPort(), 0);
        ASSERT_TRUE(client.Connect(kLoopback, listener.LocalPort(), &direct));
        ASSERT_TRUE(WaitFor([&] {
            if (!server)
                server.reset(listener.Accept());
            return server && client.IsConnected();
        }));
    }

    // Reads on s until it holds at least n bytes.
    static bool ReceiveAtLeast(QSocket& s, size_t n, int chunk = QSocket::kDefaultReceiveChunk) {
        return WaitFor([&] {
            s.Receive(chunk);
            return s.ReceiveLength() >= n;
        });
    }

    QProxyInfo direct;
    QSocket listener;
    QSocket client;
    std::unique_ptr<QSocket> server;
};

TEST_F(SocketPair, SendReceiveAndConsumeKeepTheBufferTextual) {
    EXPECT_EQ(server->RemoteAddress(), kLoopback);
    EXPECT_EQ(server->RemotePort(), client.LocalPort());
    EXPECT_EQ(server->RemoteText(), "127.0.0.1");
    EXPECT_EQ(client.RemotePort(), listener.LocalPort());
    EXPECT_EQ(listener.Accept(), nullptr) << "nothing else is waiting";

    ASSERT_EQ(client.Send("hello world", 11), 11);
    ASSERT_TRUE(ReceiveAtLeast(*server, 11));
    EXPECT_EQ(std::string(server->ReceiveData(), server->ReceiveLength()), "hello world");
    EXPECT_EQ(server->ReceiveData()[11], '\0');
    server->Consume(6);
    EXPECT_EQ(std::string(server->ReceiveData()), "world");
    EXPECT_EQ(server->ReceiveData()[5], '\0');
    EXPECT_EQ(client.BytesSent(), 11u);
    EXPECT_EQ(server->BytesReceived(), 11u);
    EXPECT_EQ(server->Receive(), 0) << "nothing new";
}

TEST_F(SocketPair, ReceiveNeverReadsMoreThanAsked) {
    const std::string data = Pattern(10000);
    ASSERT_EQ(client.Send(data.data(), static_cast<int>(data.size())), 10000);
    ASSERT_TRUE(WaitFor([&] { return server->Receive(100) > 0; }));
    EXPECT_EQ(server->ReceiveLength(), 100u);
    while (server->ReceiveLength() < data.size()) {
        const size_t before = server->ReceiveLength();
        const int got = server->Receive(777);
        ASSERT_GE(got, 0);
        ASSERT_LE(got, 777);
        ASSERT_EQ(server->ReceiveLength(), before + static_cast<size_t>(got));
        if (got == 0) {
            ASSERT_EQ(server->WaitReadable(2000), 1);
        }
    }
    EXPECT_EQ(std::string(server->ReceiveData(), server->ReceiveLength()), data);
}

TEST_F(SocketPair, UnsentDataIsQueuedInOrderAndFlushedLater) {
    // Small kernel buffers and a peer that does not read: most of the data must wait in
    // the send queue.
    const int small = 65536;
    setsockopt(client.Handle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ASSERT_TRUE(server->SetReceiveBufferSize(small));
    const std::string first = Pattern(3 << 20);
    const std::string second = "--second part--";
    ASSERT_EQ(client.Send(first.data(), static_cast<int>(first.size())), static_cast<int>(first.size()));
    EXPECT_GT(client.SendLength(), 0u);
    ASSERT_EQ(client.Send(second.data(), static_cast<int>(second.size())), static_cast<int>(second.size()));

    const std::string all = first + second;
    std::string got;
    ASSERT_TRUE(WaitFor(
        [&] {
            EXPECT_GE(client.Flush(), 0);
            if (server->Receive(65536) > 0) {
                got.append(server->ReceiveData(), server->ReceiveLength());
                server->Consume(static_cast<int>(server->ReceiveLength()));
            }
            return got.size() >= all.size();
        },
        20000));
    EXPECT_TRUE(got == all) << "the stream arrived changed or reordered";
    EXPECT_EQ(client.SendLength(), 0u);
    EXPECT_EQ(client.SendCapacity(), 0u) << "an emptied queue is freed";
    EXPECT_EQ(client.BytesSent(), all.size());
}

TEST_F(SocketPair, FlushLimitWritesNoMoreThanAsked) {
    const int small = 65536;
    setsockopt(client.Handle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ASSERT_TRUE(server->SetReceiveBufferSize(small));
    const std::string data = Pattern(2 << 20);
    ASSERT_EQ(client.Send(data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
    const size_t queued = client.SendLength();
    ASSERT_GT(queued, 1000u);
    ASSERT_TRUE(WaitFor([&] { return server->Receive(1 << 20) > 0 && server->ReceiveLength() > 100000; }));
    const int written = client.Flush(1000);
    EXPECT_GE(written, 0);
    EXPECT_LE(written, 1000);
    EXPECT_EQ(client.SendLength(), queued - static_cast<size_t>(written));
}

TEST_F(SocketPair, RemoteCloseReportsMinusOneButKeepsWhatArrived) {
    ASSERT_EQ(server->Send("bye", 3), 3);
    server->Close();
    int last = 0;
    ASSERT_TRUE(WaitFor([&] {
        last = client.Receive();
        return last < 0;
    }));
    EXPECT_EQ(std::string(client.ReceiveData(), client.ReceiveLength()), "bye");
    EXPECT_FALSE(client.IsOpen());
    EXPECT_FALSE(client.IsConnected());
    EXPECT_EQ(client.Receive(), -1);
    EXPECT_EQ(client.Send("x", 1), -1);
    EXPECT_EQ(client.Flush(), -1);
    client.Consume(3);
    EXPECT_EQ(client.ReceiveLength(), 0u);
}

TEST_F(SocketPair, WritingToAPeerThatResetIsBroken) {
    linger hard{1, 0};
    setsockopt(server->Handle(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    server->Close(); // sends a reset
    int rc = 0;
    ASSERT_TRUE(WaitFor([&] {
        rc = client.Send("ping", 4);
        return rc < 0;
    }));
    EXPECT_FALSE(client.IsOpen());
    EXPECT_NE(client.LastError(), 0);
}

TEST_F(SocketPair, ReceiveBufferGrowsWithSlackAndShrinksOnlyWhenMostlyEmpty) {
    const std::string data = Pattern(200000);
    ASSERT_EQ(client.Send(data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
    ASSERT_TRUE(WaitFor([&] { return server->Receive(16384) > 0; }));
    // An empty buffer read with a 16 384-byte chunk: needed (16 385) + 0 + 2 048.
    EXPECT_EQ(server->ReceiveCapacity(), 16385u + 2048u);

    // Consuming everything frees the buffer.
    server->Consume(static_cast<int>(server->ReceiveLength()));
    EXPECT_EQ(server->ReceiveCapacity(), 0u);

    // Mostly empty: capacity shrinks to what is left + 1 024.
    ASSERT_TRUE(ReceiveAtLeast(*server, 60000, 65536));
    const size_t length = server->ReceiveLength();
    const size_t offset = 16384; // consumed above
    ASSERT_GE(server->ReceiveCapacity(), 6 * 100u);
    server->Consume(static_cast<int>(length - 100));
    EXPECT_EQ(server->ReceiveLength(), 100u);
    EXPECT_EQ(server->ReceiveCapacity(), 100u + 1024u);
    EXPECT_EQ(std::string(server->ReceiveData(), 100), data.substr(offset + length - 100, 100));

    // Not mostly empty: the data moves down, the capacity stays.
    ASSERT_TRUE(ReceiveAtLeast(*server, 100 + 16384, 16384));
    const size_t capacity = server->ReceiveCapacity();
    const size_t have = server->ReceiveLength();
    server->Consume(1000);
    EXPECT_EQ(server->ReceiveCapacity(), capacity);
    EXPECT_EQ(server->ReceiveLength(), have - 1000);
}

TEST_F(SocketPair, KeepBufferMovesDataDownInsteadOfShrinking) {
    server->SetKeepBuffer(true);
    const std::string data = Pattern(50000);
    ASSERT_EQ(client.Send(data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
    ASSERT_TRUE(ReceiveAtLeast(*server, data.size(), 65536));
    const size_t capacity = server->ReceiveCapacity();
    server->Consume(static_cast<int>(data.size() - 10));
    EXPECT_EQ(server->ReceiveCapacity(), capacity);
    EXPECT_EQ(std::string(server->ReceiveData()), data.substr(data.size() - 10));
    server->Consume(10);
    EXPECT_EQ(server->ReceiveLength(), 0u);
    EXPECT_EQ(server->ReceiveCapacity(), capacity) << "kept, not freed";
    EXPECT_EQ(server->ReceiveData()[0], '\0');
}

TEST(QSocket, LargeFreeCapacityShrinksToATenthAboveWhatRemains) {
    QProxyInfo direct;
    QSocket listener, client;
    ASSERT_TRUE(listener.Listen(kLoopback, 0));
    ASSERT_TRUE(client.Connect(kLoopback, listener.LocalPort(), &direct));
    std::unique_ptr<QSocket> server = AcceptWithin(listener);
    ASSERT_TRUE(server);
    ASSERT_TRUE(WaitFor([&] { return client.IsConnected(); }));
    const std::string data = Pattern(4 << 20);
    std::thread writer([&] {
        client.Send(data.data(), static_cast<int>(data.size()));
        for (int i = 0; i < 20000 && client.SendLength() > 0; ++i) {
            client.Flush();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const bool all = WaitFor(
        [&] {
            server->Receive(1 << 20);
            return server->ReceiveLength() >= data.size();
        },
        20000);
    writer.join();
    ASSERT_TRUE(all);
    // Leave r bytes with more than 2 101 248 free but capacity below 6 r.
    const size_t capacity = server->ReceiveCapacity();
    const size_t r = capacity / 5;
    ASSERT_GT(capacity - r, 2101248u);
    server->Consume(static_cast<int>(server->ReceiveLength() - r));
    EXPECT_EQ(server->ReceiveCapacity(), r + r / 10);
    EXPECT_EQ(std::string(server->ReceiveData(), r), data.substr(data.size() - r));
}

TEST(QSocket, DataSentWhileConnectingWaitsAndArrivesFirst) {
    QProxyInfo direct;
    QSocket listener, client;
    ASSERT_TRUE(listener.Listen(kLoopback, 0));
    ASSERT_TRUE(client.Connect(kLoopback, listener.LocalPort(), &direct));
    ASSERT_EQ(client.Send("first;", 6), 6);
    ASSERT_EQ(client.Send("second", 6), 6);
    std::unique_ptr<QSocket> server;
    ASSERT_TRUE(WaitFor([&] {
        if (!server)
            server.reset(listener.Accept());
        client.Flush();
        if (server)
            server->Receive();
        return server && server->ReceiveLength() >= 12;
    }));
    EXPECT_EQ(std::string(server->ReceiveData()), "first;second");
}

TEST(QSocket, ConnectionRefusedClosesTheHandle) {
    QSocket probe;
    ASSERT_TRUE(probe.Listen(kLoopback, 0));
    const uint16_t port = probe.LocalPort();
    probe.Close(); // nothing listens there any more

    QProxyInfo direct;
    QSocket client;
    if (client.Connect(kLoopback, port, &direct)) {
        EXPECT_TRUE(WaitFor([&] { return !client.IsConnected() && !client.IsOpen(); }));
    }
    EXPECT_FALSE(client.IsOpen());
    EXPECT_EQ(client.LastError(), ECONNREFUSED);
    EXPECT_EQ(client.Receive(), -1);
}

TEST(QSocket, RefusesWhatCannotBeConnected) {
    QProxyInfo direct;
    QSocket s;
    EXPECT_FALSE(s.Connect(kLoopback, 0, &direct)) << "port 0";
    EXPECT_FALSE(s.Connect(0, 80, &direct)) << "address 0";
    EXPECT_FALSE(s.Connect(kAddressNone, 80, &direct)) << "all ones";
    const uint8_t key[QSocket::kUdpKeyLength] = {1, 2, 3, 4, 5, 6, 7, 8, 'U', 'D', 'P', 0, 0};
    EXPECT_FALSE(s.Connect(kLoopback, 80, &direct, nullptr, key)) << "UDP streams are not available";
    EXPECT_FALSE(s.Listen(kLoopback, 0, key));
    EXPECT_FALSE(s.IsOpen());
    EXPECT_EQ(s.Send("x", 1), -1);
    EXPECT_EQ(s.Receive(), -1);
    EXPECT_EQ(s.WaitReadable(0), -1);
}

TEST(QSocket, BlockingModeConnectsAndWritesEverything) {
    QProxyInfo direct;
    QSocket listener, client;
    ASSERT_TRUE(listener.Listen(kLoopback, 0));
    ASSERT_TRUE(client.Connect(kLoopback, listener.LocalPort(), &direct, nullptr, nullptr, 0, true));
    EXPECT_TRUE(client.IsConnected()) << "blocking connect returns connected";
    std::unique_ptr<QSocket> server = AcceptWithin(listener);
    ASSERT_TRUE(server);
    const std::string data = Pattern(8 << 20);
    std::string got;
    std::thread reader([&] {
        while (got.size() < data.size() && server->WaitReadable(10000) == 1) {
            if (server->Receive(1 << 20) < 0)
                break;
            got.append(server->ReceiveData(), server->ReceiveLength());
            server->Consume(static_cast<int>(server->ReceiveLength()));
        }
    });
    EXPECT_EQ(client.Send(data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
    EXPECT_EQ(client.SendLength(), 0u) << "blocking send returns with nothing queued";
    reader.join();
    EXPECT_TRUE(got == data);
}

// A stream transport in memory, standing in for a UDP stream: what one end writes the
// other reads, in pieces of at most a few bytes so the socket's loops are exercised.
struct MemoryPipe {
    std::string toServer;
    bool open = true;
};

class MemoryStream : public QTransport {
public:
    explicit MemoryStream(std::shared_ptr<MemoryPipe> pipe) : pipe_(std::move(pipe)) {}
    bool Open(uint32_t) override { return true; }
    bool StartConnect(uint32_t, uint16_t) override { return true; }
    int PollConnected() override { return pipe_->open ? 1 : -1; }
    bool Listen(uint32_t, uint16_t, int) override { return false; }
    std::unique_ptr<QTransport> Accept(uint32_t&, uint16_t&) override { return nullptr; }
    long Write(const char* data, size_t length) override {
        const size_t n = std::min<size_t>(length, 5);
        pipe_->toServer.append(data, n);
        return static_cast<long>(n);
    }
    long Read(char*, size_t, bool& ended) override {
        ended = !pipe_->open;
        return 0;
    }
    int Wait(bool, int) override { return 1; }
    void Close() override { pipe_->open = false; }
    bool IsOpen() const override { return pipe_->open; }
    bool LocalEndpoint(uint32_t& address, uint16_t& port) const override {
        address = kLoopback;
        port = 7;
        return true;
    }
    bool SetReceiveBufferSize(int) override { return false; }
    int LastError() const override { return 0; }
    bool IsUdpStream() const override { return true; }

    static std::shared_ptr<MemoryPipe> last;

private:
    std::shared_ptr<MemoryPipe> pipe_;
};
std::shared_ptr<MemoryPipe> MemoryStream::last;

std::unique_ptr<QTransport> MakeMemoryStream(const uint8_t*) {
    MemoryStream::last = std::make_shared<MemoryPipe>();
    return std::make_unique<MemoryStream>(MemoryStream::last);
}

TEST(QSocket, AUdpKeyConnectsOverTheInstalledStreamMakerAndNeverThroughAProxy) {
    const uint8_t key[QSocket::kUdpKeyLength] = {1, 2, 3, 4, 5, 6, 7, 8, 'U', 'D', 'P', 0, 0};
    QProxyInfo proxy;
    proxy.kind = QProxyInfo::kSocks5;
    proxy.address = kLoopback;
    proxy.port = 1;
    const QTransport::StreamMaker before = QTransport::SetStreamMaker(&MakeMemoryStream);
    QSocket s;
    ASSERT_TRUE(s.Connect(kLoopback, 6881, &proxy, nullptr, key));
    EXPECT_TRUE(s.IsUdpStream());
    EXPECT_TRUE(s.IsNegotiated()) << "no proxy handshake on a stream";
    EXPECT_TRUE(s.IsConnected());
    EXPECT_EQ(s.Handle(), -1);
    EXPECT_EQ(s.LocalPort(), 7);
    EXPECT_EQ(s.Send("handshake", 9), 9);
    ASSERT_EQ(s.Flush(), 4) << "what the stream took at first stays queued until flushed";
    EXPECT_EQ(MemoryStream::last->toServer, "handshake");
    s.Close();
    EXPECT_FALSE(MemoryStream::last->open);
    QTransport::SetStreamMaker(before);
    EXPECT_FALSE(s.Connect(kLoopback, 6881, &proxy, nullptr, key)) << "without a maker there is no stream";
    EXPECT_EQ(s.LastError(), EAFNOSUPPORT);
}

} // namespace
