#include "engine/api/BrisklaneEngine.h"
#include "engine/piece/PieceFixture.h"
#include "engine/piece/TTorrentWriter.h"
#include "platform/Clock.h"
#include "support/RandomBytes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

namespace {

using testsupport::FileExists;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

// A P2SP task of one package file whose torrent lies beside it, as the controller
// creates them.
class TaskDataTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(EngineInitialize(nullptr), kEngineOk);
        const auto bytes = testsupport::RandomByteVector(700000, 11);
        content_.assign(bytes.begin(), bytes.end());
        TTorrentWriter writer;
        writer.SetName("game.bin");
        writer.SetPieceLength(65536);
        writer.SetTrackers({"http://tracker.example/announce"});
        std::string torrent;
        ASSERT_TRUE(writer.Build(content_, torrent));
        torrentPath_ = dir_.file("4fc4be0e5a4c8af692263ae9d1c8fa46");
        WriteFile(torrentPath_, torrent);
        target_ = dir_.file("game.bin");
    }
    void TearDown() override { EngineCleanup(); }

    EngineTask Create(uint32_t extraFlags = 0) {
        TaskDescriptor d;
        std::memset(&d, 0, sizeof d);
        const std::string id = "file://" + torrentPath_;
        std::strncpy(d.resourceId, id.c_str(), sizeof d.resourceId - 1);
        std::strncpy(d.targetPath, target_.c_str(), sizeof d.targetPath - 1);
        std::strncpy(d.resumeInfoPath, dir_.file("game.resume").c_str(), sizeof d.resumeInfoPath - 1);
        d.sources = "http://127.0.0.1:9/game.bin";
        d.flags = kTaskFlagAccepted | kTaskFlagFullPath | kTaskFlagP2SP | extraFlags;
        EXPECT_EQ(EngineCreateTask(&d), kEngineOk);
        return d.task;
    }

    bool WaitComplete(EngineTask t, TaskStatus& s) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < end) {
            if (EngineGetTaskStatus(t, &s) == kEngineOk && s.state == kTaskStateComplete)
                return true;
            platform::SleepMs(50);
        }
        return false;
    }

    TempDir dir_;
    std::string content_;
    std::string torrentPath_;
    std::string target_;
};

TEST_F(TaskDataTest, CompleteTemporaryFileIsCheckedAndTakesItsFinalName) {
    WriteFile(target_ + ".qvtmp", content_);
    const EngineTask t = Create();
    TaskStatus s;
    ASSERT_TRUE(WaitComplete(t, s));
    EXPECT_EQ(s.progress, 10000u);
    EXPECT_EQ(s.totalKiB, 700000u / 1024);
    EXPECT_EQ(s.downloadedBytes, 700000u);
    EXPECT_STREQ(s.name, "game.bin");
    int complete = 0;
    ASSERT_EQ(EngineIsTaskComplete(t, &complete), kEngineOk);
    EXPECT_EQ(complete, 1);
    EXPECT_EQ(EngineGetTaskBitfieldSize(t), 2); // 11 pieces
    unsigned char bits[4] = {};
    EXPECT_EQ(EngineGetTaskBitfield(t, bits, sizeof bits), 2);
    EXPECT_EQ(bits[0], 0xff);
    EXPECT_EQ(bits[1], 0xe0);
    EXPECT_TRUE(FileExists(target_));
    EXPECT_FALSE(FileExists(target_ + ".qvtmp"));
    EXPECT_EQ(ReadFile(target_), content_);
}

TEST_F(TaskDataTest, DamagedPieceOnDiskIsMissingAfterTheCheck) {
    std::string damaged = content_;
    damaged[65536 * 3 + 10] ^= 1;
    WriteFile(target_ + ".qvtmp", damaged);
    const EngineTask t = Create();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    TaskStatus s{};
    while (std::chrono::steady_clock::now() < end) {
        if (EngineGetTaskStatus(t, &s) == kEngineOk && s.downloadedBytes > 0)
            break;
        platform::SleepMs(50);
    }
    EXPECT_EQ(s.downloadedBytes, 700000u - 65536u);
    unsigned char bits[2] = {};
    EXPECT_EQ(EngineGetTaskBitfield(t, bits, sizeof bits), 2);
    EXPECT_EQ(bits[0], 0xef); // piece 3 missing
    EXPECT_EQ(EngineStopTask(t, 0), kEngineOk);
    EXPECT_TRUE(FileExists(dir_.file("game.resume"))); // an unfinished run keeps its resume record
    EXPECT_FALSE(FileExists(target_));
}

TEST_F(TaskDataTest, MissingTorrentFileIsReported) {
    torrentPath_ = dir_.file("absent");
    const EngineTask t = Create();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    TaskStatus s{};
    while (std::chrono::steady_clock::now() < end) {
        if (EngineGetTaskStatus(t, &s) == kEngineOk && s.state == kTaskStateTorrentUnreadable)
            break;
        platform::SleepMs(50);
    }
    EXPECT_EQ(s.state, kTaskStateTorrentUnreadable);
}

} // namespace
