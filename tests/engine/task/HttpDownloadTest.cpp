// Whole downloads through the engine interface from real web servers on loopback.
#include "PieceFixture.h"
#include "engine/core/BrisklaneEngine.h"
#include "engine/task/TTorrentWriter.h"
#include "platform/Clock.h"
#include "support/NginxServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>

namespace {

using testsupport::FileExists;
using testsupport::NginxServer;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

class HttpDownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (NginxServer::Program().empty())
            GTEST_SKIP() << "nginx is not installed";
        ASSERT_EQ(EngineInitialize(nullptr), kEngineOk);
        std::filesystem::create_directories(dir_.path() + "/www");
        std::filesystem::create_directories(dir_.path() + "/save");
        const auto bytes = piecetest::RandomBytes(12 * 1024 * 1024 + 777, 99);
        content_.assign(bytes.begin(), bytes.end());
        WriteFile(dir_.path() + "/www/game.bin", content_);
    }
    void TearDown() override { EngineCleanup(); }

    bool StartServer(NginxServer& server, const std::string& name) {
        std::filesystem::create_directories(dir_.path() + "/" + name);
        return server.Start(dir_.path() + "/www", dir_.path() + "/" + name);
    }
    std::string Url(const NginxServer& s) const {
        return "http://127.0.0.1:" + std::to_string(s.port()) + "/game.bin";
    }
    std::string Target() const { return dir_.path() + "/save/game.bin"; }

    EngineTask Create(const std::string& sources, uint32_t flags = 0, const std::string& resourceId = "") {
        sources_ = sources;
        TaskDescriptor d;
        std::memset(&d, 0, sizeof d);
        std::strncpy(d.targetPath, Target().c_str(), sizeof d.targetPath - 1);
        std::strncpy(d.resumeInfoPath, (dir_.path() + "/save/game.resume").c_str(),
                     sizeof d.resumeInfoPath - 1);
        std::strncpy(d.resourceId, resourceId.c_str(), sizeof d.resourceId - 1);
        d.sources = sources_.c_str();
        d.flags = kTaskFlagAccepted | kTaskFlagFullPath | flags;
        EXPECT_EQ(EngineCreateTask(&d), kEngineOk);
        return d.task;
    }

    // Waits for completion; false on time-out or an error state.
    bool WaitComplete(EngineTask t, int seconds, TaskStatus& s) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < end) {
            if (EngineGetTaskStatus(t, &s) != kEngineOk)
                return false;
            if (s.state == 20206)
                return true;
            if (s.state != 0 && s.state != 20210)
                return false;
            platform::SleepMs(100);
        }
        return false;
    }

    static int RangedRequests(const std::string& log) {
        int n = 0;
        for (size_t at = log.find("game.bin HTTP"); at != std::string::npos;
             at = log.find("game.bin HTTP", at + 1))
            ++n;
        return n;
    }

    void ExpectFinalFile() {
        EXPECT_FALSE(FileExists(Target() + ".qvtmp"));
        EXPECT_FALSE(FileExists(dir_.path() + "/save/game.resume"));
        ASSERT_TRUE(FileExists(Target()));
        EXPECT_TRUE(ReadFile(Target()) == content_) << "downloaded bytes differ from the server's file";
    }

    TempDir dir_;
    std::string content_;
    std::string sources_;
};

TEST_F(HttpDownloadTest, PlainTaskDownloadsWholeFileOverSeveralConnections) {
    NginxServer server;
    ASSERT_TRUE(StartServer(server, "n1"));
    const EngineTask t = Create(Url(server));
    TaskStatus s{};
    ASSERT_TRUE(WaitComplete(t, 120, s)) << "state " << s.state << " progress " << s.progress;
    EXPECT_EQ(s.progress, 10000u);
    EXPECT_EQ(s.downloadedBytes, content_.size());
    EXPECT_GE(s.httpBytes, content_.size());
    EXPECT_STREQ(s.name, "game.bin");
    ExpectFinalFile();
    EXPECT_GE(RangedRequests(server.AccessLog()), 2) << server.AccessLog();
}

TEST_F(HttpDownloadTest, TorrentTaskTakesFromServersAndMirrorsIntoOneVerifiedMap) {
    // Throttled per connection, so the download lasts long enough for the mirror to join.
    const std::string slow = "location /slow/ { alias " + dir_.path() + "/www/; limit_rate 1m; }";
    NginxServer a, b;
    ASSERT_TRUE(a.Start(dir_.path() + "/www",
                        (std::filesystem::create_directories(dir_.path() + "/na"), dir_.path() + "/na"),
                        slow));
    ASSERT_TRUE(b.Start(dir_.path() + "/www",
                        (std::filesystem::create_directories(dir_.path() + "/nb"), dir_.path() + "/nb"),
                        slow));
    TTorrentWriter writer;
    writer.SetName("game.bin");
    writer.SetPieceLength(262144);
    writer.SetTrackers({"http://tracker.example/announce"});
    std::string torrent;
    ASSERT_TRUE(writer.Build(content_, torrent));
    const std::string torrentPath = dir_.path() + "/save/1784ecb276cd2548c312097dcf60127e";
    WriteFile(torrentPath, torrent);
    const std::string slowA = "http://127.0.0.1:" + std::to_string(a.port()) + "/slow/game.bin";
    const std::string slowB = "http://127.0.0.1:" + std::to_string(b.port()) + "/slow/game.bin";
    const EngineTask t = Create(slowA, kTaskFlagP2SP, "file://" + torrentPath);
    ASSERT_EQ(EngineAddTaskMirror(t, slowB.c_str(), "null"), kEngineOk);
    TaskStatus s{};
    ASSERT_TRUE(WaitComplete(t, 120, s)) << "state " << s.state << " progress " << s.progress;
    // A torrent task keeps seeding after completion; the file already has its name.
    ExpectFinalFile();
    EXPECT_GE(RangedRequests(a.AccessLog()), 1);
    EXPECT_GE(RangedRequests(b.AccessLog()), 1) << "the mirror served nothing";
}

TEST_F(HttpDownloadTest, SpeedLimitHoldsTheDownloadBack) {
    NginxServer server;
    ASSERT_TRUE(StartServer(server, "n1"));
    content_.resize(3 * 1024 * 1024);
    WriteFile(dir_.path() + "/www/game.bin", content_);
    const auto start = std::chrono::steady_clock::now();
    const EngineTask t = Create(Url(server));
    ASSERT_EQ(EngineSetTaskSpeedLimit(t, 1, 512), kEngineOk);
    TaskStatus s{};
    ASSERT_TRUE(WaitComplete(t, 120, s)) << "state " << s.state;
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // 3 MiB at 512 KiB/s cannot arrive in much less than six seconds.
    EXPECT_GE(took, 4.0);
    ExpectFinalFile();
}

TEST_F(HttpDownloadTest, MissingFileEndsWithTheGiveUpState) {
    NginxServer server;
    ASSERT_TRUE(StartServer(server, "n1"));
    const EngineTask t = Create("http://127.0.0.1:" + std::to_string(server.port()) + "/absent.bin");
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    TaskStatus s{};
    while (std::chrono::steady_clock::now() < end) {
        ASSERT_EQ(EngineGetTaskStatus(t, &s), kEngineOk);
        if (s.state == 20214)
            break;
        platform::SleepMs(200);
    }
    EXPECT_EQ(s.state, 20214u);
    EXPECT_FALSE(FileExists(Target()));
}

} // namespace
