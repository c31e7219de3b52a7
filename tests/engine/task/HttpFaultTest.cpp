// Whole downloads through the engine interface when servers lie, throttle, stop halfway
// or sit behind a proxy; every server is a real process on loopback.
#include "PieceFixture.h"
#include "engine/core/BrisklaneEngine.h"
#include "engine/peer/QProxyInfo.h"
#include "engine/task/TTorrentWriter.h"
#include "platform/Clock.h"
#include "support/NginxServer.h"
#include "support/ProxyServer.h"
#include "support/ServerProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <sstream>

namespace {

using testsupport::FileExists;
using testsupport::NginxServer;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

constexpr int32_t kPiece = 64 * 1024;

std::string Bytes(size_t n, uint32_t seed) {
    const auto v = piecetest::RandomBytes(n, seed);
    return std::string(v.begin(), v.end());
}

// Sum of $bytes_sent (the last field of NginxServer's log format) over the log's lines
// from offset on.
uint64_t BytesSent(const std::string& log, size_t offset, int* requests = nullptr) {
    std::istringstream in(log.substr(std::min(offset, log.size())));
    std::string line;
    uint64_t sum = 0;
    int n = 0;
    while (std::getline(in, line)) {
        const size_t space = line.rfind(' ');
        if (space == std::string::npos)
            continue;
        sum += std::stoull(line.substr(space + 1));
        ++n;
    }
    if (requests)
        *requests = n;
    return sum;
}

class HttpFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (NginxServer::Program().empty())
            GTEST_SKIP() << "nginx is not installed";
        ASSERT_EQ(EngineInitialize(nullptr), kEngineOk);
        std::filesystem::create_directories(dir_.path() + "/www");
        std::filesystem::create_directories(dir_.path() + "/save");
    }
    void TearDown() override { EngineCleanup(); }

    void Serve(const std::string& content) {
        content_ = content;
        WriteFile(dir_.path() + "/www/game.bin", content_);
    }
    bool StartServer(NginxServer& server, const std::string& name, const std::string& root = "",
                     const std::string& extra = "") {
        std::filesystem::create_directories(dir_.path() + "/" + name);
        return server.Start(root.empty() ? dir_.path() + "/www" : root, dir_.path() + "/" + name, extra);
    }
    static std::string Url(uint16_t port, const std::string& path = "/game.bin") {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }
    std::string Target() const { return dir_.path() + "/save/game.bin"; }

    // A torrent of the served content; its tracker is a closed loopback port so nothing
    // leaves the machine.
    std::string WriteTorrent(int32_t pieceLength) {
        TTorrentWriter writer;
        writer.SetName("game.bin");
        writer.SetPieceLength(pieceLength);
        writer.SetTrackers({"http://127.0.0.1:1/announce"});
        std::string torrent;
        EXPECT_TRUE(writer.Build(content_, torrent));
        const std::string path = dir_.path() + "/save/1784ecb276cd2548c312097dcf60127e";
        WriteFile(path, torrent);
        return "file://" + path;
    }

    TaskDescriptor Describe(const std::string& sources, uint32_t flags, const std::string& resourceId) {
        sources_ = sources;
        TaskDescriptor d;
        std::memset(&d, 0, sizeof d);
        std::strncpy(d.targetPath, Target().c_str(), sizeof d.targetPath - 1);
        std::strncpy(d.resumeInfoPath, (dir_.path() + "/save/game.resume").c_str(),
                     sizeof d.resumeInfoPath - 1);
        std::strncpy(d.resourceId, resourceId.c_str(), sizeof d.resourceId - 1);
        d.sources = sources_.c_str();
        d.flags = kTaskFlagAccepted | kTaskFlagFullPath | flags;
        return d;
    }
    EngineTask Create(const std::string& sources, uint32_t flags = 0, const std::string& resourceId = "") {
        TaskDescriptor d = Describe(sources, flags, resourceId);
        EXPECT_EQ(EngineCreateTask(&d), kEngineOk);
        return d.task;
    }

    // False on time-out or an error state.
    bool WaitComplete(EngineTask t, int seconds, TaskStatus& s) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < end) {
            if (EngineGetTaskStatus(t, &s) != kEngineOk)
                return false;
            if (s.state == 20206)
                return true;
            if (s.state != 0 && s.state != 20210)
                return false;
            platform::SleepMs(50);
        }
        return false;
    }

    void ExpectFinalFile() {
        // The complete state is reported from the progress figure, a tick before the
        // files get their final names; only the bytes are checked here.
        for (int i = 0; i < 100 && !FileExists(Target()); ++i)
            platform::SleepMs(50);
        ASSERT_TRUE(FileExists(Target()));
        const std::string got = ReadFile(Target());
        ASSERT_EQ(got.size(), content_.size());
        EXPECT_TRUE(got == content_) << "downloaded bytes differ from the good server's file";
    }

    TempDir dir_;
    std::string content_;
    std::string sources_;
};

// ---- a mirror that serves other bytes ----

struct CorruptCase {
    const char* name;
    bool wholeFileDiffers; // otherwise one byte in every 512 KiB is flipped
};

class CorruptMirrorTest : public HttpFaultTest, public ::testing::WithParamInterface<CorruptCase> {};

TEST_P(CorruptMirrorTest, HashCheckKeepsOnlyTheGoodServersBytes) {
    Serve(Bytes(8 * 1024 * 1024 + 3333, 7));
    std::string bad = GetParam().wholeFileDiffers ? Bytes(content_.size(), 8) : content_;
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

// ---- stop halfway, restart the engine, recover ----

TEST_F(HttpFaultTest, RecoveredTaskFetchesOnlyWhatWasMissing) {
    Serve(Bytes(64 * 1024 * 1024 + 12345, 11));
    constexpr int32_t piece = 256 * 1024;
    NginxServer server;
    // Per-connection throttle, so the halfway point lasts long enough to be caught.
    ASSERT_TRUE(StartServer(server, "n1", "",
                            "    location /slow/ { alias " + dir_.path() + "/www/; limit_rate 1m; }\n"));
    const std::string url = Url(server.port(), "/slow/game.bin");
    const std::string resource = WriteTorrent(piece);
    TaskDescriptor d = Describe(url, kTaskFlagP2SP, resource);
    ASSERT_EQ(EngineCreateTask(&d), kEngineOk);
    TaskStatus s{};
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (std::chrono::steady_clock::now() < end) {
        ASSERT_EQ(EngineGetTaskStatus(d.task, &s), kEngineOk);
        ASSERT_NE(s.state, 20206u) << "finished before the halfway point could be caught";
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
    EXPECT_GE(first.progress, 4000u) << "the recovered task forgot the pieces it had";
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
    // The ranges are open-ended, so nginx keeps writing into the socket buffers until
    // the engine hangs up at the end of its span: those bytes count as sent though nobody
    // read them. A megabyte a request covers that at this rate; a second fetch of the
    // pieces already on disk would still be far outside the bound.
    const uint64_t slack = rounding + static_cast<uint64_t>(requests) * (piece + 1024 * 1024 + 1024);
    EXPECT_LE(served, remaining + slack) << requests << " requests after the restart\n" << server.AccessLog();
    EXPECT_GE(served, remaining);
}

// ---- speed limit ----

TEST_F(HttpFaultTest, SpeedLimitHoldsTheRateAndLiftingItLetsTheRestThrough) {
    Serve(Bytes(32 * 1024 * 1024, 21));
    NginxServer server;
    ASSERT_TRUE(StartServer(server, "n1"));
    const EngineTask t = Create(Url(server.port()));
    ASSERT_EQ(EngineSetTaskSpeedLimit(t, 1, 1024), kEngineOk);
    TaskStatus s{};
    // Past the first second, so the connection set-up and any initial burst are over.
    platform::SleepMs(2000);
    ASSERT_EQ(EngineGetTaskStatus(t, &s), kEngineOk);
    const uint64_t d0 = s.downloadedBytes;
    const auto t0 = std::chrono::steady_clock::now();
    platform::SleepMs(9000);
    ASSERT_EQ(EngineGetTaskStatus(t, &s), kEngineOk);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double rate = static_cast<double>(s.downloadedBytes - d0) / seconds;
    ASSERT_NE(s.state, 20206u);
    EXPECT_GE(rate, 0.8 * 1024 * 1024) << rate;
    EXPECT_LE(rate, 1.2 * 1024 * 1024) << rate;

    const uint64_t left = content_.size() - s.downloadedBytes;
    ASSERT_EQ(EngineSetTaskSpeedLimit(t, 1, 0), kEngineOk);
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
    Serve(Bytes(8 * 1024 * 1024 + 999, 31));
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

struct ProxyCase {
    const char* name;
    uint32_t kind;
    const char* logMark; // how the proxy's log records a tunnel it opened
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
    Serve(Bytes(2 * 1024 * 1024 + 55, 41));
    NginxServer server;
    ASSERT_TRUE(StartServer(server, "n1"));
    std::string why;
    bool missing = false;
    TempDir proxyDir;
    auto proxy =
        GetParam().kind == QProxyInfo::kHttp
            ? testsupport::ProxyServer::StartTinyproxy(proxyDir, {server.port()}, "", "", why, missing)
            : testsupport::ProxyServer::StartMicrosocks(proxyDir, "", "", why, missing);
    if (!proxy && missing)
        GTEST_SKIP() << why;
    ASSERT_TRUE(proxy) << why;
    // Set after EngineInitialize, which loads the environment's proxy settings.
    QProxyInfo p;
    p.kind = GetParam().kind;
    p.address = htonl(INADDR_LOOPBACK);
    p.port = proxy->port();
    QProxyInfo::SetGlobal(p);

    const size_t logMark = proxy->Log().size();
    const EngineTask t = Create(Url(server.port()));
    TaskStatus s{};
    ASSERT_TRUE(WaitComplete(t, 120, s)) << "state " << s.state << "\n" << proxy->Log();
    ExpectFinalFile();
    // nginx sees loopback either way; the proxy's own record shows it carried the traffic.
    const std::string carried = GetParam().logMark + ("127.0.0.1:" + std::to_string(server.port()));
    EXPECT_NE(proxy->Log().find(carried, logMark), std::string::npos) << proxy->Log();
}

INSTANTIATE_TEST_SUITE_P(Proxies, ProxiedDownloadTest,
                         ::testing::Values(ProxyCase{"HttpConnect", QProxyInfo::kHttp, "CONNECT "},
                                           ProxyCase{"Socks5", QProxyInfo::kSocks5, "connected to "}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
