// THttpPeer against scripted loopback servers: the exact requests, what each kind of
// answer does to the connection and its source, and answers that try to put wrong bytes
// into the piece map.
#include "engine/peer/THttpPeer.h"
#include "engine/core/EngineTypes.h"

#include "engine/core/HostLookup.h"
#include "engine/net/QHostResolver.h"
#include "engine/net/QProxyInfo.h"
#include "engine/peer/FakePeerTask.h"
#include "engine/piece/TPiece.h"
#include "support/RandomBytes.h"
#include "support/ScriptedServer.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using peertest::Drive;
using peertest::FakePeerTask;
using peertest::MakeSource;
using peertest::Outcome;
using testsupport::ScriptedServer;
using testsupport::TempDir;

constexpr int32_t kTenBlocks = 10 * kBlockSize; // piece length that puts piece 1 at block 10

std::string Url(uint16_t port, const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

std::string Text(const std::vector<uint8_t>& data, size_t from = 0, size_t n = std::string::npos) {
    const std::string all(data.begin(), data.end());
    return all.substr(from, n);
}

// A server that answers every connection with reply as soon as it hears anything, then
// keeps the connection open.
ScriptedServer Answering(const std::string& reply) {
    return ScriptedServer({{1, reply}}, ScriptedServer::After::Hold);
}

class HttpPeerTest : public ::testing::Test {
protected:
    void SetUp() override {
        proxy_ = QProxyInfo::Global();
        QProxyInfo::SetGlobal(QProxyInfo{});
    }
    void TearDown() override { QProxyInfo::SetGlobal(proxy_); }

    // A known layout of `pieces` pieces of kTenBlocks with piece 0 already present, and a
    // source that knows the size: the first connection asks from block 10 on.
    TRef<TPeerId> AtBlockTen(FakePeerTask& task, const std::vector<uint8_t>& data, uint16_t port) {
        EXPECT_TRUE(task.Commit(data.size(), kTenBlocks));
        task.Preload(data, 0, 0);
        TRef<TPeerId> source = MakeSource(Url(port, "/dir/file.bin"), 1);
        source->fileSize = static_cast<int64_t>(data.size());
        task.AddShare(source.get(), 1);
        return source;
    }

    TempDir dir_;
    FakePeerTask task_{dir_.path()};

private:
    QProxyInfo proxy_;
};

TEST_F(HttpPeerTest, SendsTheRequestByteForByte) {
    const std::vector<uint8_t> data = testsupport::RandomByteVector(3 * kTenBlocks, 1);
    struct Case {
        const char* what;
        bool atBlockTen;
        std::string hostOverride;
        std::string rangeLine;
        std::string host;
    };
    const std::vector<Case> cases = {
        {"a first request from the start has no range", false, "", "", "127.0.0.1"},
        {"block 10 asks from 163840 on", true, "", "Range: bytes=163840-\r\n", "127.0.0.1"},
        {"a mirror sends the name it is known by", true, "mirror.example", "Range: bytes=163840-\r\n",
         "mirror.example"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        FakePeerTask task(dir.path());
        ScriptedServer server({}, ScriptedServer::After::Hold);
        ASSERT_NE(server.port(), 0);
        TRef<TPeerId> source = c.atBlockTen ? AtBlockTen(task, data, server.port())
                                            : MakeSource(Url(server.port(), "/dir/file.bin"));
        source->hostOverride = c.hostOverride;
        THttpPeer peer(&task);
        ASSERT_TRUE(peer.ConnectTo(source.get())) << c.what;

        const std::string expected =
            "GET /dir/file.bin HTTP/1.1\r\n"
            "Host:" +
            c.host +
            "\r\n"
            "Accept:*/*\r\n"
            "Referer: http://127.0.0.1:" +
            std::to_string(server.port()) +
            "/dir\r\n"
            "User-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98) Brisklane/1.0.3\r\n"
            "Connection:Keep-Alive\r\n" +
            c.rangeLine +
            "Pragma: no-cache\r\n"
            "Cache-Control: no-cache\r\n"
            "\r\n";
        Drive(
            peer, [&] { return server.Received().size() >= expected.size(); }, 5000);
        EXPECT_EQ(server.Received(), expected) << c.what;
        EXPECT_EQ(peer.LinkState(), TPeerObject::kLinkConnecting) << c.what;
        EXPECT_EQ(source->openConnections, 1) << c.what;
    }
}

TEST_F(HttpPeerTest, RefusesToPutControlCharactersIntoTheRequest) {
    ScriptedServer server({}, ScriptedServer::After::Hold);
    TRef<TPeerId> source = MakeSource(Url(server.port(), "/file.bin"));
    source->hostOverride = "mirror.example\r\nX-Injected: 1";
    THttpPeer peer(&task_);
    EXPECT_FALSE(peer.ConnectTo(source.get()));
    EXPECT_EQ(server.Connections(), 0u);
}

TEST_F(HttpPeerTest, OneResponseCarriesASequentialDownloadThroughAndTeachesSizeAndName) {
    const std::vector<uint8_t> data = testsupport::RandomByteVector(300000, 2);
    ScriptedServer server = Answering("HTTP/1.1 200 OK\r\nContent-Length: 300000\r\n"
                                      "Content-Disposition: attachment; filename=\"pkg.bin\"\r\n\r\n" +
                                      Text(data));
    task_.learnPieceLength = 4 * kBlockSize;
    TRef<TPeerId> source = MakeSource(Url(server.port(), "/get?id=7"), 1);
    task_.AddShare(source.get(), 1);
    THttpPeer peer(&task_);
    ASSERT_TRUE(peer.ConnectTo(source.get()));

    const Outcome outcome = Drive(peer, [&] { return task_.HasAllPieces(); });
    ASSERT_TRUE(task_.HasAllPieces());
    if (outcome == Outcome::Done) {
        EXPECT_FALSE(peer.OnDownloadTick()) << "nothing is left to do";
    }
    EXPECT_EQ(peer.PeerState(), TPeerObject::kPeerFinished);

    EXPECT_EQ(task_.Content(), Text(data));
    ASSERT_EQ(task_.learnt.size(), 1u);
    EXPECT_EQ(task_.learnt[0].first, 300000u);
    EXPECT_EQ(task_.learnt[0].second, "pkg.bin");
    EXPECT_EQ(source->fileSize, 300000);
    EXPECT_EQ(server.Connections(), 1u) << "a sequential range costs one request";
    EXPECT_EQ(task_.payload, 300000u);
    EXPECT_GE(task_.received, 300000u);
    EXPECT_TRUE(task_.failures.empty());
}

TEST_F(HttpPeerTest, LearnsTheFileNameFromTheResponseOrTheUrl) {
    struct Case {
        std::string path;
        std::string disposition; // empty: no such field
        std::string name;
    };
    const std::vector<Case> cases = {
        {"/a/b.bin", "attachment; filename=\"quoted name.zip\"", "quoted name.zip"},
        {"/a/b.bin", "attachment; filename=plain.bin; size=10", "plain.bin"},
        {"/a/b.bin", "attachment; FILENAME=\"x.bin\"", "x.bin"},
        {"/a/b.bin", "attachment; filename=\"../../etc/passwd\"", ".._.._etc_passwd"},
        {"/a/b.bin", "attachment; filename=\"..\"", "b.bin"},
        {"/a/b.bin", "", "b.bin"},
        {"/a/", "", "index.htm"},
        {"/a/", "inline", "index.htm"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        FakePeerTask task(dir.path());
        task.learnPieceLength = kBlockSize;
        const std::string field =
            c.disposition.empty() ? "" : "Content-Disposition: " + c.disposition + "\r\n";
        ScriptedServer server =
            Answering("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n" + field + "\r\n0123456789");
        TRef<TPeerId> source = MakeSource(Url(server.port(), c.path));
        THttpPeer peer(&task);
        ASSERT_TRUE(peer.ConnectTo(source.get()));
        Drive(
            peer, [&] { return peer.HeaderReceived(); }, 5000);
        EXPECT_EQ(source->fileName, c.name) << c.disposition;
        ASSERT_EQ(task.learnt.size(), 1u) << c.disposition;
        EXPECT_EQ(task.learnt[0].second, c.name) << c.disposition;
    }
}

TEST_F(HttpPeerTest, ErrorStatusesEndTheConnectionAndChargeTheSourceByClass) {
    struct Case {
        std::string reply;
        bool charged;
        bool retry;
        int backoff;
    };
    const std::vector<Case> cases = {
        {"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", true, false, 0},
        {"HTTP/1.1 403 Forbidden\r\n\r\n", true, false, 0},
        {"HTTP/1.1 503 Service Unavailable\r\n\r\n", true, true, 60},
        {"HTTP/1.0 500 Internal Server Error\r\n\r\n", true, true, 60},
        {"HTTP/1.1 101 Switching Protocols\r\n\r\n", false, false, 0},
        {"NOT HTTP AT ALL\r\n\r\n", false, false, 0},
    };
    for (const Case& c : cases) {
        TempDir dir;
        FakePeerTask task(dir.path());
        ScriptedServer server = Answering(c.reply);
        TRef<TPeerId> source = MakeSource(Url(server.port(), "/file.bin"));
        THttpPeer peer(&task);
        ASSERT_TRUE(peer.ConnectTo(source.get()));
        EXPECT_EQ(Drive(
                      peer, [] { return false; }, 5000),
                  Outcome::Ended)
            << c.reply;
        ASSERT_EQ(task.failures.size(), c.charged ? 1u : 0u) << c.reply;
        if (c.charged) {
            EXPECT_EQ(task.failures[0].source.get(), source.get());
            EXPECT_EQ(task.failures[0].retry, c.retry) << c.reply;
            EXPECT_EQ(task.failures[0].backoff, c.backoff) << c.reply;
        }
        // Not an ordinary end: the task charges the connection too.
        EXPECT_NE(peer.PeerState(), TPeerObject::kPeerFinished) << c.reply;
        EXPECT_NE(peer.PeerState(), TPeerObject::kPeerTimedOut) << c.reply;
        EXPECT_TRUE(task.added.empty());
    }
}

TEST_F(HttpPeerTest, ARedirectBecomesANewSourceAndEndsTheConnection) {
    struct Case {
        std::string location;
        std::string target; // {port} stands for the server's port; empty: nothing to follow
    };
    const std::vector<Case> cases = {
        {"/new.bin", "http://127.0.0.1:{port}/new.bin"},
        {"other.bin", "http://127.0.0.1:{port}/dir/other.bin"},
        {"sub/other.bin?x=1", "http://127.0.0.1:{port}/dir/sub/other.bin?x=1"},
        {"//127.0.0.1:9/n.bin", "http://127.0.0.1:9/n.bin"},
        {"http://127.0.0.2:8080/x.bin", "http://127.0.0.2:8080/x.bin"},
        {"ftp://127.0.0.3/pub/x.bin", "ftp://127.0.0.3/pub/x.bin"},
        {"https://secure.example/x.bin", ""},
    };
    for (const Case& c : cases) {
        TempDir dir;
        FakePeerTask task(dir.path());
        ScriptedServer server = Answering("HTTP/1.1 302 Found\r\nLocation: " + c.location + "\r\n\r\n");
        TRef<TPeerId> source = MakeSource(Url(server.port(), "/dir/a.bin?q=1"));
        source->wholeBody = true;
        source->fetchPurpose = 3;
        source->hostOverride = "mirror.example";
        THttpPeer peer(&task);
        ASSERT_TRUE(peer.ConnectTo(source.get()));
        EXPECT_EQ(Drive(
                      peer, [] { return false; }, 5000),
                  Outcome::Ended)
            << c.location;
        EXPECT_EQ(peer.PeerState(), TPeerObject::kPeerFinished) << c.location;
        EXPECT_TRUE(source->redirected);
        EXPECT_EQ(source->redirectCount, 1);
        EXPECT_TRUE(task.failures.empty()) << c.location;
        if (c.target.empty()) {
            EXPECT_TRUE(task.added.empty()) << c.location;
            continue;
        }
        std::string target = c.target;
        if (const size_t at = target.find("{port}"); at != std::string::npos)
            target.replace(at, 6, std::to_string(server.port()));
        EXPECT_EQ(source->lastRedirect, target);
        ASSERT_EQ(task.added.size(), 1u) << c.location;
        const TPeerId& next = *task.added[0];
        EXPECT_EQ(next.url.url, target);
        EXPECT_EQ(next.referer, target);
        EXPECT_EQ(next.originCode, TPeerId::kOriginRedirect);
        EXPECT_TRUE(next.wholeBody);
        EXPECT_EQ(next.fetchPurpose, 3);
        // A relative target is the same server: the mirror's name goes with it.
        EXPECT_EQ(next.hostOverride, c.target.find("{port}") != std::string::npos ? "mirror.example" : "")
            << c.location;
        EXPECT_FALSE(task.dnsFailed);
    }
}

TEST_F(HttpPeerTest, TheSameRedirectOverAndOverRemovesTheSource) {
    ScriptedServer server = Answering("HTTP/1.1 301 Moved\r\nLocation: /loop.bin\r\n\r\n");
    TRef<TPeerId> source = MakeSource(Url(server.port(), "/file.bin"));
    for (int round = 1; round <= 3; ++round) {
        THttpPeer peer(&task_);
        ASSERT_TRUE(peer.ConnectTo(source.get()));
        EXPECT_EQ(Drive(
                      peer, [] { return false; }, 5000),
                  Outcome::Ended);
        EXPECT_EQ(source->redirectCount, round);
        EXPECT_EQ(task_.failures.size(), round < 3 ? 0u : 1u) << "round " << round;
    }
    EXPECT_FALSE(task_.failures[0].retry);
    EXPECT_EQ(source->openConnections, 0);
}

TEST_F(HttpPeerTest, ARedirectToAHostThatDoesNotResolveIsReported) {
    const HostResolver old = SetHostResolver([](const std::string& host, std::vector<HostAddress>& out) {
        if (host != "known.example")
            return 11001;
        out.push_back({127, 0, 0, 1});
        return 0;
    });
    const QHostResolver::ReportSink oldSink =
        QHostResolver::SetReportSink([](const char*, const std::string&) {});
    const uint32_t oldLimit = QHostResolver::SetTimeLimit(200);
    QHostResolver::Reset();
    struct Case {
        std::string location;
        bool dnsFailed;
    };
    for (const Case& c :
         std::vector<Case>{{"http://nohost.example/x.bin", true}, {"http://known.example/x.bin", false}}) {
        TempDir dir;
        FakePeerTask task(dir.path());
        task.dnsFailed = !c.dnsFailed;
        ScriptedServer server = Answering("HTTP/1.1 302 Found\r\nLocation: " + c.location + "\r\n\r\n");
        TRef<TPeerId> source = MakeSource(Url(server.port(), "/file.bin"));
        THttpPeer peer(&task);
        ASSERT_TRUE(peer.ConnectTo(source.get()));
        EXPECT_EQ(Drive(
                      peer, [] { return false; }, 5000),
                  Outcome::Ended);
        EXPECT_EQ(task.dnsFailed, c.dnsFailed) << c.location;
        EXPECT_EQ(task.stateCode, c.dnsFailed ? kTaskStateBadHost : 0) << c.location;
        EXPECT_EQ(task.added.size(), c.dnsFailed ? 0u : 1u) << c.location;
    }
    SetHostResolver(old);
    QHostResolver::SetReportSink(oldSink);
    QHostResolver::SetTimeLimit(oldLimit);
    QHostResolver::Reset();
}

TEST_F(HttpPeerTest, SilenceEndsTheConnectionAfterItsTimeLimit) {
    const std::vector<uint8_t> data = testsupport::RandomByteVector(3 * kTenBlocks, 3);
    struct Case {
        const char* what;
        std::string reply; // empty: the server says nothing
        uint64_t limit;
    };
    const std::vector<Case> cases = {
        {"no header", "", 15},
        {"a header and then nothing",
         "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 163840-491519/491520\r\n\r\n", 30},
    };
    for (const Case& c : cases) {
        TempDir dir;
        FakePeerTask task(dir.path());
        ScriptedServer server(c.reply.empty() ? std::vector<ScriptedServer::Step>{}
                                              : std::vector<ScriptedServer::Step>{{1, c.reply}},
                              ScriptedServer::After::Hold);
        TRef<TPeerId> source = AtBlockTen(task, data, server.port());
        THttpPeer peer(&task);
        ASSERT_TRUE(peer.ConnectTo(source.get()));
        Drive(
            peer, [&] { return c.reply.empty() ? server.Received().size() > 0 : peer.HeaderReceived(); },
            5000);
        ASSERT_NE(peer.Range(), nullptr);

        task.now += c.limit;
        EXPECT_TRUE(peer.OnDownloadTick()) << c.what << ": at the limit it still waits";
        task.now += 1;
        EXPECT_FALSE(peer.OnDownloadTick()) << c.what;
        EXPECT_EQ(peer.PeerState(), TPeerObject::kPeerTimedOut);
        EXPECT_EQ(peer.Range(), nullptr) << "the range is free for others";
        ASSERT_EQ(task.failures.size(), 1u) << c.what;
        EXPECT_TRUE(task.failures[0].retry);
        EXPECT_EQ(task.failures[0].backoff, 15);
    }
}

// Answers that would put other bytes than the ones asked for into the blocks. The
// connection asks from block 10 (byte 163840) of a 491 520-byte download.
TEST_F(HttpPeerTest, AnswersThatDoNotMatchTheRequestAreRefused) {
    const std::vector<uint8_t> data = testsupport::RandomByteVector(3 * kTenBlocks, 4);
    const std::string rest = Text(data, kTenBlocks);
    struct Case {
        const char* what;
        std::string reply;
        bool charged;
    };
    const std::vector<Case> cases = {
        {"a range that starts elsewhere",
         "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-491519/491520\r\n\r\n" + Text(data), true},
        {"the whole file instead of the range",
         "HTTP/1.1 200 OK\r\nContent-Length: 491520\r\n\r\n" + Text(data), true},
        {"partial content that does not say which part", "HTTP/1.1 206 Partial Content\r\n\r\n" + rest, true},
        {"a chunked body",
         "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 163840-491519/491520\r\n"
         "Transfer-Encoding: chunked\r\n\r\n4000\r\n" +
             rest.substr(0, 16384) + "\r\n",
         true},
        {"a compressed body",
         "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 163840-491519/491520\r\n"
         "Content-Encoding: gzip\r\n\r\n" +
             rest,
         true},
        {"a coding list that ends in chunked",
         "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 163840-491519/491520\r\n"
         "Transfer-Encoding: identity, chunked\r\n\r\n" +
             rest,
         true},
        {"another total than the source's",
         "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 163840-491520/491521\r\n\r\n" + rest, true},
        {"a length that contradicts the range",
         "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 163840-491519/491520\r\nContent-Length: "
         "5\r\n\r\n" +
             rest,
         true},
        {"an unreadable length",
         "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 163840-491519/491520\r\n"
         "Content-Length: 12abc\r\n\r\n" +
             rest,
         true},
        {"a header that never ends", "HTTP/1.1 206 Partial Content\r\n" + std::string(70000, 'x'), false},
    };
    for (const Case& c : cases) {
        TempDir dir;
        FakePeerTask task(dir.path());
        ScriptedServer server = Answering(c.reply);
        TRef<TPeerId> source = AtBlockTen(task, data, server.port());
        THttpPeer peer(&task);
        ASSERT_TRUE(peer.ConnectTo(source.get()));
        EXPECT_EQ(Drive(
                      peer, [] { return false; }, 5000),
                  Outcome::Ended)
            << c.what;
        EXPECT_EQ(task.writes, 0) << c.what << ": no bytes of the answer reached the piece map";
        EXPECT_EQ(task.payload, 0u) << c.what;
        ASSERT_EQ(task.failures.size(), c.charged ? 1u : 0u) << c.what;
        if (c.charged) {
            EXPECT_TRUE(task.failures[0].retry);
            EXPECT_EQ(task.failures[0].backoff, 60);
        }
    }
}

TEST_F(HttpPeerTest, BytesBeyondTheAnnouncedBodyAreNotDelivered) {
    const std::vector<uint8_t> data = testsupport::RandomByteVector(3 * kTenBlocks, 5);
    // One block announced, two sent.
    ScriptedServer server =
        Answering("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 163840-180223/491520\r\n"
                  "Content-Length: 16384\r\n\r\n" +
                  Text(data, kTenBlocks, 2 * kBlockSize));
    TRef<TPeerId> source = AtBlockTen(task_, data, server.port());
    THttpPeer peer(&task_);
    ASSERT_TRUE(peer.ConnectTo(source.get()));
    EXPECT_EQ(Drive(
                  peer, [] { return false; }, 5000),
              Outcome::Ended);
    EXPECT_FALSE(task_.PieceMap()->HasBlock(11));
}

TEST_F(HttpPeerTest, AMatchingPartialAnswerFillsTheRestOfTheDownload) {
    const std::vector<uint8_t> data = testsupport::RandomByteVector(3 * kTenBlocks, 6);
    ScriptedServer server =
        Answering("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 163840-491519/491520\r\n"
                  "Content-Length: 327680\r\n\r\n" +
                  Text(data, kTenBlocks));
    TRef<TPeerId> source = AtBlockTen(task_, data, server.port());
    THttpPeer peer(&task_);
    ASSERT_TRUE(peer.ConnectTo(source.get()));
    Drive(peer, [&] { return task_.HasAllPieces(); });
    EXPECT_EQ(task_.Content(), Text(data));
    EXPECT_EQ(task_.payload, 2u * kTenBlocks);
}

TEST_F(HttpPeerTest, InEndGameTheBytesOfAPieceFinishedElsewhereArePassedOver) {
    const std::vector<uint8_t> data = testsupport::RandomByteVector(8 * kBlockSize, 9);
    ASSERT_TRUE(task_.Commit(data.size(), 4 * kBlockSize));
    task_.Work()->MarkInProgress(0, true, false);
    task_.Work()->MarkInProgress(1, true, false);
    ASSERT_TRUE(task_.Work()->EndGame());
    ScriptedServer server = Answering("HTTP/1.1 200 OK\r\nContent-Length: 131072\r\n\r\n" + Text(data));
    TRef<TPeerId> source = MakeSource(Url(server.port(), "/file.bin"), 1);
    source->fileSize = static_cast<int64_t>(data.size());
    task_.AddShare(source.get(), 1);
    THttpPeer peer(&task_);
    ASSERT_TRUE(peer.ConnectTo(source.get()));
    ASSERT_EQ(peer.Requests().size(), 4u);
    // Another connection brings blocks 1 to 3 before this one has read anything; its own
    // block 0 then completes the piece and the rest of its queue there goes away.
    for (uint32_t k = 1; k < 4; ++k)
        piecetest::Deliver(*task_.PieceMap(), data, k);

    Drive(peer, [&] { return task_.HasAllPieces(); });
    EXPECT_EQ(task_.Content(), Text(data));
    EXPECT_EQ(task_.payload, 5u * kBlockSize) << "block 0 and piece 1";
    EXPECT_EQ(server.Connections(), 1u);
}

TEST_F(HttpPeerTest, TheFirstAnswerSetsTheSizeFromContentRange) {
    struct Case {
        std::string range;
        int64_t size;
        bool goesOn;
    };
    const std::vector<Case> cases = {
        {"bytes 0-99/1000000", 1000000, true},
        {"bytes 0-99", -1, false},
        {"bytes 0-99/*", -1, false},
    };
    for (const Case& c : cases) {
        TempDir dir;
        FakePeerTask task(dir.path());
        task.learnPieceLength = 0;
        ScriptedServer server = Answering("HTTP/1.1 206 Partial Content\r\nContent-Range: " + c.range +
                                          "\r\nContent-Length: 100\r\n\r\n" + std::string(100, 'z'));
        TRef<TPeerId> source = MakeSource(Url(server.port(), "/file.bin"));
        THttpPeer peer(&task);
        ASSERT_TRUE(peer.ConnectTo(source.get()));
        const Outcome outcome = Drive(
            peer, [&] { return peer.HeaderReceived(); }, 5000);
        EXPECT_EQ(outcome, c.goesOn ? Outcome::Done : Outcome::Ended) << c.range;
        EXPECT_EQ(source->fileSize, c.size) << c.range;
        EXPECT_EQ(task.learnt.size(), c.goesOn ? 1u : 0u) << c.range;
    }
}

TEST_F(HttpPeerTest, OnlyTheFirstConnectionToASourceLearnsSizeAndName) {
    ScriptedServer server = Answering("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n"
                                      "Content-Disposition: attachment; filename=second.bin\r\n\r\n");
    task_.learnPieceLength = 0;
    TRef<TPeerId> source = MakeSource(Url(server.port(), "/file.bin"));
    THttpPeer first(&task_);
    THttpPeer second(&task_);
    ASSERT_TRUE(first.ConnectTo(source.get()));
    ASSERT_TRUE(second.ConnectTo(source.get()));
    EXPECT_EQ(source->openConnections, 2);
    EXPECT_EQ(Drive(
                  second, [&] { return second.HeaderReceived(); }, 5000),
              Outcome::Done);
    EXPECT_EQ(source->fileSize, 0);
    EXPECT_TRUE(source->fileName.empty());
    EXPECT_TRUE(task_.learnt.empty());
}

TEST_F(HttpPeerTest, AWantedBlockFarAheadOfTheStreamCostsANewRequest) {
    // Pieces of one block; the source's size is unknown, so the first request asks for
    // everything and the connection then decides whether to read on to its first block.
    struct Case {
        int present;        // pieces 0 .. present - 1 are there already
        size_t connections; // requests the download took
    };
    const std::vector<uint8_t> data = testsupport::RandomByteVector(20 * kBlockSize, 7);
    for (const Case& c : std::vector<Case>{{8, 1}, {9, 2}}) {
        TempDir dir;
        FakePeerTask task(dir.path());
        ASSERT_TRUE(task.Commit(data.size(), kBlockSize));
        task.Preload(data, 0, c.present - 1);
        ScriptedServer server = Answering("HTTP/1.1 200 OK\r\nContent-Length: 327680\r\n\r\n" + Text(data));
        TRef<TPeerId> source = MakeSource(Url(server.port(), "/file.bin"), 1);
        task.AddShare(source.get(), 1);
        THttpPeer peer(&task);
        ASSERT_TRUE(peer.ConnectTo(source.get()));
        Drive(peer, [&] { return task.HasAllPieces() || server.Connections() > 1; });
        EXPECT_EQ(server.Connections(), c.connections) << c.present << " pieces present";
        if (c.connections == 1) {
            EXPECT_EQ(task.Content(), Text(data)) << "131 072 bytes ahead are read and passed over";
        } else {
            peertest::WaitFor([&] { return server.Received(1).find("\r\n\r\n") != std::string::npos; });
            EXPECT_NE(server.Received(1).find("Range: bytes=147456-\r\n"), std::string::npos)
                << server.Received(1);
        }
    }
}

TEST_F(HttpPeerTest, APieceThatFailsItsCheckCostsTheConnection) {
    std::vector<uint8_t> data = testsupport::RandomByteVector(4 * kBlockSize * 2, 8);
    ASSERT_TRUE(task_.Commit(data.size(), 4 * kBlockSize, &data));
    std::vector<uint8_t> served = data;
    served[100] ^= 0x55;
    ScriptedServer server = Answering("HTTP/1.1 200 OK\r\nContent-Length: 131072\r\n\r\n" + Text(served));
    TRef<TPeerId> source = MakeSource(Url(server.port(), "/file.bin"), 1);
    task_.AddShare(source.get(), 1);
    THttpPeer peer(&task_);
    ASSERT_TRUE(peer.ConnectTo(source.get()));
    EXPECT_EQ(Drive(peer, [] { return false; }), Outcome::Ended);
    EXPECT_TRUE(task_.PieceMap()->PieceNeeded(0));
    EXPECT_EQ(task_.wasted, 4u * kBlockSize);
    EXPECT_EQ(peer.Stats().failures, 1);
    EXPECT_EQ(task_.payload, 3u * kBlockSize) << "the blocks before the failing one were accepted";
}

TEST_F(HttpPeerTest, AWholeBodyFetchEndsWhenTheDocumentIsComplete) {
    const std::string document = "<list>" + std::string(50000, 'd') + "</list>";
    struct Case {
        const char* what;
        bool withLength;
        int64_t size;
    };
    const std::vector<Case> cases = {
        {"with a length", true, static_cast<int64_t>(document.size())},
        {"without a length, ended by the server", false, THttpPeer::kUnknownBodySize},
    };
    for (const Case& c : cases) {
        TempDir dir;
        FakePeerTask task(dir.path());
        const std::string reply =
            std::string("HTTP/1.1 200 OK\r\n") +
            (c.withLength ? "Content-Length: " + std::to_string(document.size()) + "\r\n" : "") + "\r\n" +
            document;
        ScriptedServer server({{1, reply}},
                              c.withLength ? ScriptedServer::After::Hold : ScriptedServer::After::Close);
        TRef<TPeerId> source = MakeSource(Url(server.port(), "/list.xml"));
        source->wholeBody = true;
        source->fetchPurpose = 1;
        THttpPeer peer(&task);
        ASSERT_TRUE(peer.ConnectTo(source.get()));
        EXPECT_EQ(task.fetchState, 2);
        EXPECT_EQ(Drive(peer, [] { return false; }), Outcome::Ended) << c.what;
        EXPECT_TRUE(source->done) << c.what;
        EXPECT_EQ(source->body, document) << c.what;
        EXPECT_EQ(source->fileSize, c.size) << c.what;
        EXPECT_EQ(peer.PeerState(), TPeerObject::kPeerFinished) << c.what;
        EXPECT_EQ(task.PieceMap(), nullptr) << "a document is not the download";
        EXPECT_TRUE(task.failures.empty());
    }
}

} // namespace
