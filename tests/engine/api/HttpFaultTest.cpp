// Whole downloads through the engine interface when servers lie, throttle, stop halfway
// or sit behind a proxy; every server is a real process on loopback.
#include "HttpTaskFixture.h"
#include "engine/net/QProxyInfo.h"
#include "support/ProxyServer.h"
#include "support/ServerProcess.h"
#include "support/Socks4aServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <filesystem>
#include <memory>
#include <vector>

namespace {

using httptest::BytesSent;
using httptest::FileExists;
using httptest::NginxServer;
using httptest::ReadFile;
using httptest::TempDir;
using httptest::WriteFile;
using testsupport::RandomBytes;

constexpr int32_t kPiece = 64 * 1024;

class HttpFaultTest : public httptest::HttpTaskFixture {};

// ---- a mirror that serves other bytes ----

struct CorruptCase {
    const char* name;
    bool wholeFileDiffers; // otherwise one byte in every 512 KiB is flipped
};

class CorruptMirrorTest : public HttpFaultTest, public ::testing::WithParamInterface<CorruptCase> {};

TEST_P(CorruptMirrorTest, HashCheckKeepsOnlyTheGoodServersBytes) {
    Serve(RandomBytes(8 * 1024 * 1024 + 3333, 7));
    std::string bad = GetParam().wholeFileDiffers ? RandomBytes(content_.size(), 8) : content_;
    if (!GetParam().wholeFileDiffers)
        for (size_t at = 1000; at < bad.size(); at += 512 * 1024)
            bad[at] = static_cast<char>(bad[at] ^ 0x5a);
    std::filesystem::create_directories(dir_.path() + "/wwwbad");
    WriteFile(dir_.path() + "/wwwbad/game.bin", bad);

    NginxServer good, liar;
    ASSERT_TRUE(StartServer(good, "ngood"));
    ASSERT_TRUE(StartServer(liar, "nbad", dir_.path() + "/wwwbad"));
    // The liar is a source from the start as well as a mirror: on a fast machine the good
    // server alone would finish before a mirror added afterwards is ever asked.
    const EngineTask t =
        Create(Url(good.port()) + "\n" + Url(liar.port()), kTaskFlagP2SP, WriteTorrent(kPiece));
    ASSERT_EQ(EngineAddTaskMirror(t, Url(liar.port()).c_str(), "null"), kEngineOk);
    TaskStatus s{};
    ASSERT_TRUE(WaitComplete(t, 180, s)) << "state " << s.state << " progress " << s.progress;
    ExpectFinalFile();
    int asked = 0;
    BytesSent(liar.AccessLog(), 0, &asked);
    EXPECT_GE(asked, 1) << "the corrupt mirror was never asked";
}

INSTANTIATE_TEST_SUITE_P(Mirrors, CorruptMirrorTest,
                         ::testing::Values(CorruptCase{"WholeFile", true}, CorruptCase{"SparseFlips", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A source whose pieces keep failing is dropped once its run of failures reaches 32 and
// half of what it delivered; the liar here only ever sends other bytes. The good pair is
// throttled and the pieces are small, so that run is over long before the file is.
TEST_F(HttpFaultTest, MirrorWhosePiecesAllFailIsDroppedAndTheOthersFinish) {
    Serve(RandomBytes(64 * 1024 * 1024 + 2222, 61));
    std::filesystem::create_directories(dir_.path() + "/wwwbad");
    WriteFile(dir_.path() + "/wwwbad/game.bin", RandomBytes(content_.size(), 62));
    NginxServer good, goodMirror, liar;
    ASSERT_TRUE(StartServer(good, "ngood", "", Throttled("256k")));
    ASSERT_TRUE(StartServer(goodMirror, "nmirror", "", Throttled("256k")));
    ASSERT_TRUE(StartServer(liar, "nbad", dir_.path() + "/wwwbad"));
    const EngineTask t = Create(Url(good.port(), "/slow/game.bin"), kTaskFlagP2SP, WriteTorrent(kPiece));
    ASSERT_EQ(EngineAddTaskMirror(t, Url(goodMirror.port(), "/slow/game.bin").c_str(), "null"), kEngineOk);
    ASSERT_EQ(EngineAddTaskMirror(t, Url(liar.port()).c_str(), "null"), kEngineOk);

    // The liar's log shows when it was last asked: a request is logged as its connection
    // ends, and a failed piece ends the connection at once.
    int liarRequests = 0;
    uint32_t progressAtLastLiarRequest = 0;
    auto lastLiarRequest = std::chrono::steady_clock::now();
    TaskStatus s{};
    const auto end = lastLiarRequest + std::chrono::seconds(180);
    bool complete = false;
    while (!complete && std::chrono::steady_clock::now() < end) {
        ASSERT_EQ(EngineGetTaskStatus(t, &s), kEngineOk);
        ASSERT_TRUE(s.state == 0 || s.state == kTaskStateDiskFull || s.state == kTaskStateComplete)
            << "state " << s.state;
        complete = s.state == kTaskStateComplete;
        int n = 0;
        BytesSent(liar.AccessLog(), 0, &n);
        if (n != liarRequests) {
            liarRequests = n;
            progressAtLastLiarRequest = s.progress;
            lastLiarRequest = std::chrono::steady_clock::now();
        }
        if (!complete)
            platform::SleepMs(50);
    }
    ASSERT_TRUE(complete) << "progress " << s.progress;
    const double quiet =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - lastLiarRequest).count();
    ExpectFinalFile();
    EXPECT_GE(liarRequests, 32) << "the liar cannot have failed enough pieces to be dropped";
    // Kept as a source, it would be asked again every second until the end.
    EXPECT_LE(progressAtLastLiarRequest, 8000u) << "the liar was still asked near the end";
    EXPECT_GE(quiet, 5.0) << "the liar was asked until " << quiet << " s before the end";
}

// A mirror without the file fails for good at its first answer; the mirror list does not
// bring it back every second for the rest of the download.
TEST_F(HttpFaultTest, MirrorWithoutTheFileIsAskedOnce) {
    Serve(RandomBytes(12 * 1024 * 1024 + 99, 63));
    NginxServer good, empty;
    ASSERT_TRUE(StartServer(good, "ngood", "", Throttled("256k")));
    std::filesystem::create_directories(dir_.path() + "/wwwempty");
    ASSERT_TRUE(StartServer(empty, "nempty", dir_.path() + "/wwwempty"));
    const EngineTask t = Create(Url(good.port(), "/slow/game.bin"), kTaskFlagP2SP, WriteTorrent(kPiece));
    ASSERT_EQ(EngineAddTaskMirror(t, Url(empty.port()).c_str(), "null"), kEngineOk);
    TaskStatus s{};
    ASSERT_TRUE(WaitComplete(t, 180, s)) << "state " << s.state << " progress " << s.progress;
    ExpectFinalFile();
    int asked = 0;
    BytesSent(empty.AccessLog(), 0, &asked);
    EXPECT_GE(asked, 1) << "the mirror was never asked";
    EXPECT_LE(asked, 2) << empty.AccessLog();
}

// ---- stop halfway, restart the engine, recover ----

TEST_F(HttpFaultTest, RecoveredTaskFetchesOnlyWhatWasMissing) {
    Serve(RandomBytes(64 * 1024 * 1024 + 12345, 11));
    constexpr int32_t piece = 256 * 1024;
    NginxServer server;
    // Per-connection throttle, so the halfway point lasts long enough to be caught.
    ASSERT_TRUE(StartServer(server, "n1", "", Throttled("1m")));
    const std::string url = Url(server.port(), "/slow/game.bin");
    const std::string resource = WriteTorrent(piece);
    TaskDescriptor d = Describe(url, kTaskFlagP2SP, resource);
    ASSERT_EQ(EngineCreateTask(&d), kEngineOk);
    TaskStatus s{};
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (std::chrono::steady_clock::now() < end) {
        ASSERT_EQ(EngineGetTaskStatus(d.task, &s), kEngineOk);
        ASSERT_NE(s.state, kTaskStateComplete) << "finished before the halfway point could be caught";
        if (s.progress >= 4500)
            break;
        platform::SleepMs(20);
    }
    ASSERT_GE(s.progress, 4500u) << "state " << s.state;
    ASSERT_LE(s.progress, 8000u);
    ASSERT_EQ(EngineStopTask(d.task, 0), kEngineOk);
    ASSERT_EQ(EngineCleanup(), kEngineOk);
    // nginx logs a request when its connection ends; give the cut ones time to land.
    platform::SleepMs(1000);
    const size_t logMark = server.AccessLog().size();

    ASSERT_EQ(EngineInitialize(nullptr), kEngineOk);
    TaskDescriptor again = Describe(url, kTaskFlagP2SP, resource);
    ASSERT_EQ(EngineRecoverTask(&again, false), kEngineOk);
    TaskStatus first{};
    ASSERT_EQ(EngineGetTaskStatus(again.task, &first), kEngineOk);
    // Taken before any piece can have arrived again: a 256 KiB piece at this rate takes
    // longer than the first connection needs to be answered.
    std::vector<unsigned char> bits(static_cast<size_t>(std::max(EngineGetTaskBitfieldSize(again.task), 0)));
    ASSERT_EQ(EngineGetTaskBitfield(again.task, bits.data(), static_cast<int>(bits.size())),
              static_cast<int>(bits.size()));
    EXPECT_GE(first.progress, 4000u) << "the recovered task forgot the pieces it had";
    int keptPieces = 0;
    for (unsigned char b : bits)
        keptPieces += __builtin_popcount(b);
    ASSERT_GE(static_cast<uint64_t>(keptPieces + 1) * piece, content_.size() * first.progress / 10000)
        << "the bitfield does not show the pieces the progress counts";
    ASSERT_TRUE(WaitComplete(again.task, 180, s)) << "state " << s.state << " progress " << s.progress;
    ExpectFinalFile();

    const uint64_t kept = content_.size() * first.progress / 10000;
    const uint64_t remaining = content_.size() - kept;
    const uint64_t rounding = content_.size() / 10000 + 1;
    // What the engine itself took: the missing pieces, plus at most a piece on each
    // connection where two of them met.
    const uint64_t taken = s.httpBytes - first.httpBytes;
    EXPECT_LE(taken, remaining + rounding + 16 * uint64_t{piece});
    EXPECT_GE(taken + rounding, remaining);

    // Closed connections are logged only once they end.
    ASSERT_EQ(EngineStopTask(again.task, 0), kEngineOk);
    platform::SleepMs(1000);
    int requests = 0;
    const uint64_t served = BytesSent(server.AccessLog(), logMark, &requests);
    // No request after the restart starts in a piece the task already had (the one
    // without a range is the first answer, which gives the size).
    for (int64_t start : httptest::RangeStarts(server.AccessLog(), logMark)) {
        if (start < 0)
            continue;
        const int64_t i = start / piece;
        ASSERT_LT(static_cast<size_t>(i / 8), bits.size());
        EXPECT_FALSE(bits[static_cast<size_t>(i / 8)] & (0x80 >> (i % 8)))
            << "asked again for kept piece " << i << " at " << start;
    }
    // The ranges are open-ended, so nginx keeps writing into the socket buffers until
    // the engine hangs up at the end of its span: those bytes count as sent though nobody
    // read them. The throttle lets an answer run a second ahead, more after the reader
    // fell behind on a busy machine: two megabytes a request cover that at this rate,
    // and a second fetch of the pieces already on disk would still be outside the bound.
    const uint64_t slack = rounding + static_cast<uint64_t>(requests) * (piece + 2 * 1024 * 1024 + 1024);
    EXPECT_LE(served, remaining + slack) << requests << " requests after the restart\n" << server.AccessLog();
    EXPECT_GE(served, remaining);
}

// ---- speed limit ----

TEST_F(HttpFaultTest, SpeedLimitHoldsTheRateAndLiftingItLetsTheRestThrough) {
    // 22 MiB pass at the limit while the rate is watched; the rest shows the lifted one.
    Serve(RandomBytes(40 * 1024 * 1024, 21));
    NginxServer server;
    ASSERT_TRUE(StartServer(server, "n1"));
    const EngineTask t = Create(Url(server.port()));
    ASSERT_EQ(EngineSetTaskSpeedLimit(t, kSpeedLimitDownload, 1024), kEngineOk);
    TaskStatus s{};
    // Past the first second, so the connection set-up and any initial burst are over.
    platform::SleepMs(2000);
    // The HTTP byte count moves a block at a time; the downloaded figure moves a whole
    // piece at a time, too coarse for a tenth over twenty seconds.
    ASSERT_EQ(EngineGetTaskStatus(t, &s), kEngineOk);
    const uint64_t d0 = s.httpBytes;
    const auto t0 = std::chrono::steady_clock::now();
    platform::SleepMs(20000);
    ASSERT_EQ(EngineGetTaskStatus(t, &s), kEngineOk);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double rate = static_cast<double>(s.httpBytes - d0) / seconds;
    ASSERT_NE(s.state, kTaskStateComplete);
    EXPECT_GE(rate, 0.9 * 1024 * 1024) << rate;
    EXPECT_LE(rate, 1.1 * 1024 * 1024) << rate;

    const uint64_t left = content_.size() - s.downloadedBytes;
    ASSERT_EQ(EngineSetTaskSpeedLimit(t, kSpeedLimitDownload, 0), kEngineOk);
    const auto t1 = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitComplete(t, 120, s)) << "state " << s.state;
    const double rest = std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count();
    // At the old limit the rest would take left / 1 MiB seconds; a third of that is loose.
    EXPECT_LT(rest, static_cast<double>(left) / (1024 * 1024) / 3) << left << " bytes took " << rest << " s";
    ExpectFinalFile();
}

// ---- a mirror that mishandles ranges ----

constexpr const char* kLyingServer = R"PY(
import sys, threading, http.server, socketserver
port, path, mode = int(sys.argv[1]), sys.argv[2], sys.argv[3]
data = open(path, 'rb').read()
class H(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'
    def log_message(self, *a):
        pass
    def do_HEAD(self):
        self.send_response(200)
        self.send_header('Content-Length', str(len(data)))
        self.end_headers()
    def do_GET(self):
        r = self.headers.get('Range', '')
        sys.stderr.write('GET %s\n' % r)
        sys.stderr.flush()
        try:
            if mode == 'full' or not r.startswith('bytes='):
                self.send_response(200)
                self.send_header('Content-Length', str(len(data)))
                self.end_headers()
                self.wfile.write(data)
                return
            a, b = r[6:].split(',')[0].split('-')
            a = int(a)
            b = int(b) if b else len(data) - 1
            b = min(b, len(data) - 1)
            shift = 4096 if a + 4096 <= b else -min(a, 4096)
            s, e = a + shift, b + shift
            e = min(e, len(data) - 1)
            head = (s, e) if mode == 'shifted' else (a, b)
            body = data[s:e + 1]
            if mode == 'lying':
                body = body[:b - a + 1].ljust(b - a + 1, b'\0')
            self.send_response(206)
            self.send_header('Content-Range', 'bytes %d-%d/%d' % (head[0], head[1], len(data)))
            self.send_header('Content-Length', str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        except (BrokenPipeError, ConnectionResetError):
            pass
class S(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True
S(('127.0.0.1', port), H).serve_forever()
)PY";

struct RangeCase {
    const char* name;
    const char* mode;
};

class BadRangeMirrorTest : public HttpFaultTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(BadRangeMirrorTest, DownloadStillEndsWithTheRightBytes) {
    if (!FileExists("/usr/bin/python3"))
        GTEST_SKIP() << "/usr/bin/python3 is missing";
    Serve(RandomBytes(8 * 1024 * 1024 + 999, 31));
    NginxServer good;
    ASSERT_TRUE(StartServer(good, "ngood"));
    WriteFile(dir_.path() + "/lying.py", kLyingServer);
    testsupport::ServerProcess liar;
    uint16_t port = 0;
    for (int attempt = 0; attempt < 5 && port == 0; ++attempt) {
        const uint16_t p = testsupport::FreeLoopbackPort();
        ASSERT_TRUE(liar.Start({"/usr/bin/python3", dir_.path() + "/lying.py", std::to_string(p),
                                dir_.path() + "/www/game.bin", GetParam().mode},
                               dir_.path() + "/lying.log"));
        if (liar.WaitForPort(p))
            port = p;
        else
            liar.Stop();
    }
    ASSERT_NE(port, 0) << ReadFile(dir_.path() + "/lying.log");
    const EngineTask t = Create(Url(good.port()) + "\n" + Url(port), kTaskFlagP2SP, WriteTorrent(kPiece));
    ASSERT_EQ(EngineAddTaskMirror(t, Url(port).c_str(), "null"), kEngineOk);
    TaskStatus s{};
    ASSERT_TRUE(WaitComplete(t, 180, s)) << "state " << s.state << " progress " << s.progress;
    ExpectFinalFile();
    liar.Stop();
    EXPECT_NE(ReadFile(dir_.path() + "/lying.log").find("GET "), std::string::npos)
        << "the mirror was never asked";
}

INSTANTIATE_TEST_SUITE_P(Mirrors, BadRangeMirrorTest,
                         ::testing::Values(RangeCase{"WholeFileForEveryRange", "full"},
                                           RangeCase{"ContentRangeStartsElsewhere", "shifted"},
                                           RangeCase{"ContentRangeRightBodyShifted", "lying"}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- through a proxy ----

enum class ProxyProgram { Tinyproxy, Microsocks, Dante, OwnSocks4a };

struct ProxyCase {
    const char* name;
    uint32_t kind;
    ProxyProgram program;
};

class ProxiedDownloadTest : public HttpFaultTest, public ::testing::WithParamInterface<ProxyCase> {
protected:
    void TearDown() override {
        QProxyInfo::SetGlobal(saved_);
        HttpFaultTest::TearDown();
    }
    QProxyInfo saved_ = QProxyInfo::Global();
};

TEST_P(ProxiedDownloadTest, SmallDownloadGoesThroughTheProxy) {
    Serve(RandomBytes(2 * 1024 * 1024 + 55, 41));
    NginxServer server;
    ASSERT_TRUE(StartServer(server, "n1"));
    const std::string target = std::to_string(server.port());
    std::string why;
    bool missing = false;
    TempDir proxyDir;
    std::unique_ptr<testsupport::ProxyServer> proxy;
    std::unique_ptr<testsupport::Socks4aServer> own;
    switch (GetParam().program) {
    case ProxyProgram::Tinyproxy:
        proxy = testsupport::ProxyServer::StartTinyproxy(proxyDir, {server.port()}, "", "", why, missing);
        break;
    case ProxyProgram::Microsocks:
        proxy = testsupport::ProxyServer::StartMicrosocks(proxyDir, "", "", why, missing);
        break;
    case ProxyProgram::Dante:
        proxy = testsupport::ProxyServer::StartDante(proxyDir, why, missing);
        break;
    case ProxyProgram::OwnSocks4a:
        own = std::make_unique<testsupport::Socks4aServer>();
        ASSERT_NE(own->port(), 0);
        break;
    }
    if (!own && !proxy && missing)
        GTEST_SKIP() << why;
    ASSERT_TRUE(own || proxy) << why;
    const auto log = [&] { return proxy ? proxy->Log() : std::string(); };
    // Set after EngineInitialize, which loads the environment's proxy settings.
    QProxyInfo p;
    p.kind = GetParam().kind;
    p.address = htonl(INADDR_LOOPBACK);
    p.port = proxy ? proxy->port() : own->port();
    QProxyInfo::SetGlobal(p);

    const size_t logMark = log().size();
    const EngineTask t = Create(Url(server.port()));
    TaskStatus s{};
    ASSERT_TRUE(WaitComplete(t, 120, s)) << "state " << s.state << "\n" << log();
    ExpectFinalFile();
    // nginx sees loopback either way; the proxy's own record shows it carried the traffic.
    switch (GetParam().program) {
    case ProxyProgram::Tinyproxy:
        EXPECT_NE(log().find("CONNECT 127.0.0.1:" + target, logMark), std::string::npos) << log();
        break;
    case ProxyProgram::Microsocks:
        EXPECT_NE(log().find("connected to 127.0.0.1:" + target, logMark), std::string::npos) << log();
        break;
    case ProxyProgram::Dante: // "tcp/connect [: client proxy -> proxy target", dots before ports
        EXPECT_NE(log().find("tcp/connect", logMark), std::string::npos) << log();
        EXPECT_NE(log().find(" 127.0.0.1." + target, logMark), std::string::npos) << log();
        break;
    case ProxyProgram::OwnSocks4a:
        EXPECT_GE(own->Requests(), 1);
        EXPECT_EQ(own->LastPort(), server.port());
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Proxies, ProxiedDownloadTest,
    ::testing::Values(ProxyCase{"HttpConnect", QProxyInfo::kHttp, ProxyProgram::Tinyproxy},
                      ProxyCase{"Socks5", QProxyInfo::kSocks5, ProxyProgram::Microsocks},
                      ProxyCase{"Socks4", QProxyInfo::kSocks4, ProxyProgram::Dante},
                      ProxyCase{"Socks4a", QProxyInfo::kSocks4a, ProxyProgram::OwnSocks4a}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
