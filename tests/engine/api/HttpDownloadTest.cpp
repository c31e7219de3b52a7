// Whole downloads through the engine interface from real web servers on loopback.
#include "HttpTaskFixture.h"
#include "engine/api/TaskClock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using httptest::FileExists;
using httptest::NginxServer;
using httptest::RangedRequests;
using httptest::WriteFile;

class HttpDownloadTest : public httptest::HttpTaskFixture {
protected:
    void SetUp() override {
        HttpTaskFixture::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        Serve(testsupport::RandomBytes(12 * 1024 * 1024 + 777, 99));
    }
};

// Pseudo-random bytes (xorshift64) written a few megabytes at a time, for files too big
// to build in memory first.
void WriteLargeFile(const std::string& path, uint64_t size, uint64_t seed) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<uint64_t> chunk(512 * 1024);
    uint64_t x = seed;
    for (uint64_t left = size; left > 0;) {
        for (uint64_t& w : chunk) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            w = x;
        }
        const uint64_t n = std::min<uint64_t>(left, chunk.size() * sizeof(uint64_t));
        out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(n));
        left -= n;
    }
    ASSERT_TRUE(out.good()) << path;
}

TEST_F(HttpDownloadTest, PlainTaskDownloadsWholeFileOverSeveralConnections) {
    NginxServer server;
    ASSERT_TRUE(StartServer(server, "n1"));
    const EngineTask t = Create(Url(server.port()));
    TaskStatus s{};
    ASSERT_TRUE(WaitComplete(t, 120, s)) << "state " << s.state << " progress " << s.progress;
    EXPECT_EQ(s.progress, 10000u);
    EXPECT_EQ(s.downloadedBytes, content_.size());
    EXPECT_GE(s.httpBytes, content_.size());
    EXPECT_STREQ(s.name, "game.bin");
    ExpectNoLeftovers();
    ExpectFinalFile();
    EXPECT_GE(RangedRequests(server.AccessLog()), 2) << server.AccessLog();
}

TEST_F(HttpDownloadTest, TorrentTaskTakesFromServersAndMirrorsIntoOneVerifiedMap) {
    // Throttled per connection, so the download lasts long enough for the mirror to join.
    NginxServer a, b;
    ASSERT_TRUE(StartServer(a, "na", "", Throttled("1m")));
    ASSERT_TRUE(StartServer(b, "nb", "", Throttled("1m")));
    const std::string resource = WriteTorrent(262144, "http://tracker.example/announce");
    const EngineTask t = Create(Url(a.port(), "/slow/game.bin"), kTaskFlagP2SP, resource);
    ASSERT_EQ(EngineAddTaskMirror(t, Url(b.port(), "/slow/game.bin").c_str(), "null"), kEngineOk);
    TaskStatus s{};
    ASSERT_TRUE(WaitComplete(t, 120, s)) << "state " << s.state << " progress " << s.progress;
    // A torrent task keeps seeding after completion; the file already has its name.
    ExpectNoLeftovers();
    ExpectFinalFile();
    EXPECT_GE(RangedRequests(a.AccessLog()), 1);
    EXPECT_GE(RangedRequests(b.AccessLog()), 1) << "the mirror served nothing";
}

TEST_F(HttpDownloadTest, TwoMirrorsEachCarryARealShareOfTheTraffic) {
    Serve(testsupport::RandomBytes(40 * 1024 * 1024 + 4321, 57));
    // Throttled per connection, so the mirrors join while most of the file is still to come.
    NginxServer servers[3];
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(StartServer(servers[i], "m" + std::to_string(i), "", Throttled("256k")));
    const EngineTask t =
        Create(Url(servers[0].port(), "/slow/game.bin"), kTaskFlagP2SP, WriteTorrent(262144));
    for (int i = 1; i < 3; ++i)
        ASSERT_EQ(EngineAddTaskMirror(t, Url(servers[i].port(), "/slow/game.bin").c_str(), "null"),
                  kEngineOk);
    TaskStatus s{};
    ASSERT_TRUE(WaitComplete(t, 180, s)) << "state " << s.state << " progress " << s.progress;
    ExpectFinalFile();
    // nginx logs a request once it ends; after the stop none is left open.
    ASSERT_EQ(EngineStopTask(t, 0), kEngineOk);
    platform::SleepMs(1000);
    uint64_t total = 0;
    std::string shares;
    for (int i = 0; i < 3; ++i) {
        const uint64_t sent = httptest::BytesSent(servers[i].AccessLog());
        total += sent;
        shares += " " + std::to_string(sent);
    }
    for (int i = 0; i < 3; ++i)
        EXPECT_GE(httptest::BytesSent(servers[i].AccessLog()), content_.size() / 10)
            << "server " << i << " carried less than a tenth; bytes sent:" << shares;
    EXPECT_GE(total, content_.size()) << shares;
}

// Generous, since a gigabyte is hashed twice and compared once in a sanitizer build too.
TEST_F(HttpDownloadTest, GigabyteTorrentTaskEndsWithTheServersBytes) {
    const uint64_t size = (uint64_t{1} << 30) + 4321;
    ASSERT_NO_FATAL_FAILURE(WriteLargeFile(Served(), size, 0x9e3779b97f4a7c15ull));
    NginxServer server;
    ASSERT_TRUE(StartServer(server, "n1"));
    const EngineTask t = Create(Url(server.port()), kTaskFlagP2SP, WriteTorrent(1 << 20));
    TaskStatus s{};
    ASSERT_TRUE(WaitComplete(t, 240, s)) << "state " << s.state << " progress " << s.progress;
    EXPECT_EQ(s.progress, 10000u);
    EXPECT_GE(s.httpBytes, size);
    ExpectNoLeftovers();
    ASSERT_TRUE(FileExists(Target()));
    ASSERT_EQ(std::filesystem::file_size(Target()), size);
    EXPECT_EQ(httptest::FirstDifference(Target(), Served()), -1) << "first byte that differs";
}

TEST_F(HttpDownloadTest, SpeedLimitHoldsTheDownloadBack) {
    NginxServer server;
    ASSERT_TRUE(StartServer(server, "n1"));
    content_.resize(3 * 1024 * 1024);
    WriteFile(dir_.path() + "/www/game.bin", content_);
    const auto start = std::chrono::steady_clock::now();
    const EngineTask t = Create(Url(server.port()));
    ASSERT_EQ(EngineSetTaskSpeedLimit(t, kSpeedLimitDownload, 512), kEngineOk);
    TaskStatus s{};
    ASSERT_TRUE(WaitComplete(t, 120, s)) << "state " << s.state;
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // 3 MiB at 512 KiB/s cannot arrive in much less than six seconds.
    EXPECT_GE(took, 4.0);
    ExpectNoLeftovers();
    ExpectFinalFile();
}

TEST_F(HttpDownloadTest, MissingFileEndsWithTheGiveUpState) {
    NginxServer server;
    ASSERT_TRUE(StartServer(server, "n1"));
    enginetest::ManualEngineClock clock;
    const EngineTask t = Create("http://127.0.0.1:" + std::to_string(server.port()) + "/absent.bin");
    ASSERT_TRUE(enginetest::WaitUntilRunning(t));
    const auto gaveUp = [](const TaskStatus& s) { return s.state == kTaskStateGaveUp; };
    EXPECT_TRUE(enginetest::AdvanceUntil(clock, t, gaveUp, 20000, 3000));
    EXPECT_NE(server.AccessLog().find(" 404 "), std::string::npos) << "the server was asked";
    EXPECT_FALSE(FileExists(Target()));
}

} // namespace
