#include "engine/api/BrisklaneEngine.h"
#include "engine/api/TaskClock.h"
#include "engine/core/DataUpload.h"
#include "engine/task/TWorkThread.h"
#include "platform/Clock.h"
#include "platform/MessageSink.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>

namespace {

using enginetest::AdvanceUntil;
using enginetest::WaitUntilRunning;
using testsupport::FileExists;
using testsupport::ManualEngineClock;
using testsupport::TempDir;
using testsupport::WriteFile;

std::unique_ptr<TaskDescriptor> Descriptor(const std::string& target, const char* sources, uint32_t flags,
                                           const std::string& resume = "") {
    auto d = std::make_unique<TaskDescriptor>();
    std::memset(d.get(), 0, sizeof *d);
    std::strncpy(d->targetPath, target.c_str(), sizeof d->targetPath - 1);
    std::strncpy(d->resumeInfoPath, resume.c_str(), sizeof d->resumeInfoPath - 1);
    d->sources = sources;
    d->flags = flags | kTaskFlagAccepted;
    return d;
}

// Polls the published status until pred holds or the time runs out.
template <typename Pred> bool WaitForStatus(EngineTask t, Pred pred, int seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    TaskStatus s;
    while (std::chrono::steady_clock::now() < end) {
        if (EngineGetTaskStatus(t, &s) == kEngineOk && pred(s))
            return true;
        platform::SleepMs(50);
    }
    return false;
}

class EngineApiTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(EngineInitialize(dir_.path().c_str()), kEngineOk); }
    void TearDown() override { EXPECT_EQ(EngineCleanup(), kEngineOk); }

    EngineTask Create(const std::string& name, const char* sources = "", uint32_t flags = kTaskFlagFullPath) {
        auto d = Descriptor(dir_.file(name), sources, flags);
        EXPECT_EQ(EngineCreateTask(d.get()), kEngineOk);
        EXPECT_NE(d->task, 0u);
        return d->task;
    }

    TempDir dir_;
};

// Every task call, with a handle the engine never issued and with one whose task is
// gone, answers "no such task" without touching anything.
void ExpectEveryCallRejects(EngineTask t) {
    TaskStatus s;
    int out = 0;
    unsigned char bits[4];
    EXPECT_EQ(EngineStopTask(t, 0), kEngineNoTask);
    EXPECT_EQ(EngineStopTask(t, 1), kEngineNoTask);
    EXPECT_EQ(EngineRestartTask(t), kEngineNoTask);
    EXPECT_EQ(EngineGetTaskStatus(t, &s), kEngineNoTask);
    EXPECT_EQ(EngineIsTaskComplete(t, &out), kEngineNoTask);
    EXPECT_EQ(EngineSetTaskSpeedLimit(t, kSpeedLimitDownload, 100), kEngineNoTask);
    EXPECT_EQ(EngineSetTaskPeerLimits(t, 4, 40), kEngineNoTask);
    EXPECT_EQ(EngineClearTaskMirrors(t), kEngineNoTask);
    EXPECT_EQ(EngineAddTaskMirror(t, "http://127.0.0.1/a", "null"), kEngineNoTask);
    EXPECT_EQ(EngineGetTaskBitfield(t, bits, sizeof bits), kEngineBitfieldError);
    EXPECT_EQ(EngineGetTaskBitfieldSize(t), kEngineBitfieldError);
    int result = 0;
    EXPECT_EQ(EngineStopTasks(&t, 1, 0, &result), kEngineOk);
    EXPECT_EQ(result, kEngineNoTask);
}

TEST_F(EngineApiTest, HandlesNeverIssuedOrCleanedUpAreRejected) {
    ExpectEveryCallRejects(0);
    ExpectEveryCallRejects(0x7fff1234);

    const EngineTask t = Create("a.bin");
    TaskStatus s;
    ASSERT_EQ(EngineGetTaskStatus(t, &s), kEngineOk);
    ASSERT_EQ(EngineCleanup(), kEngineOk);
    ExpectEveryCallRejects(t);

    // A task created afterwards gets a new handle; the old one stays dead.
    ASSERT_EQ(EngineInitialize(nullptr), kEngineOk);
    const EngineTask u = Create("a.bin");
    EXPECT_NE(u, t);
    ExpectEveryCallRejects(t);
}

TEST_F(EngineApiTest, NullDescriptorIsAnArgumentError) {
    EXPECT_EQ(EngineCreateTask(nullptr), kEngineBadArgument);
    EXPECT_EQ(EngineRecoverTask(nullptr, false), kEngineBadArgument);
}

TEST_F(EngineApiTest, LifecycleRunsPublishesStopsRestartsAndIsDeleted) {
    const EngineTask t = Create("game.bin", "http://127.0.0.1:9/game.bin");
    TaskStatus s;
    ASSERT_EQ(EngineGetTaskStatus(t, &s), kEngineOk);
    EXPECT_STREQ(s.name, "game.bin");
    EXPECT_EQ(s.progress, 0u); // size unknown
    EXPECT_EQ(s.totalKiB, 0u);
    EXPECT_EQ(s.state, 0u);
    int complete = -1;
    ASSERT_EQ(EngineIsTaskComplete(t, &complete), kEngineOk);
    EXPECT_EQ(complete, 0);

    EXPECT_EQ(EngineRestartTask(t), kEngineFailure); // still running
    EXPECT_EQ(EngineStopTask(t, 0), kEngineOk);
    EXPECT_EQ(EngineStopTask(t, 1), kEngineOk); // stopping a stopped task is fine
    EXPECT_EQ(EngineRestartTask(t), kEngineOk);
    EXPECT_EQ(EngineRestartTask(t), kEngineFailure);
    EXPECT_EQ(EngineGetTaskBitfieldSize(t), 0); // no layout yet
    unsigned char bits[4];
    EXPECT_EQ(EngineGetTaskBitfield(t, nullptr, 4), 0);
    EXPECT_EQ(EngineGetTaskBitfield(t, bits, 0), 0);

    ASSERT_EQ(EngineCleanup(), kEngineOk);
    EXPECT_EQ(EngineGetTaskStatus(t, &s), kEngineNoTask);
    ASSERT_EQ(EngineInitialize(nullptr), kEngineOk);
}

TEST_F(EngineApiTest, DuplicateTargetFileIsRefusedAndLeavesTheFirstAlone) {
    const EngineTask first = Create("same.bin");
    auto d = Descriptor(dir_.file("same.bin"), "", kTaskFlagFullPath);
    d->task = 12345;
    EXPECT_EQ(EngineCreateTask(d.get()), kEngineDuplicate);
    EXPECT_EQ(d->task, 12345u); // nothing written for a refused task
    EXPECT_EQ(EngineRecoverTask(d.get(), false), kEngineDuplicate);
    TaskStatus s;
    EXPECT_EQ(EngineGetTaskStatus(first, &s), kEngineOk);
    EXPECT_EQ(EngineRestartTask(first), kEngineFailure); // still running
    // Recovery may knowingly skip the test.
    EXPECT_EQ(EngineRecoverTask(d.get(), true), kEngineOk);
    EXPECT_NE(d->task, first);
}

TEST_F(EngineApiTest, DuplicateBySharedSources) {
    struct Case {
        const char* second;
        int expected;
    } cases[] = {
        // Three sources each: one shared gives 3 / 1 = 3 > 2; two shared give 3 / 2 = 1.
        {"http://127.0.0.1:9/c\nhttp://127.0.0.1:9/x\nhttp://127.0.0.1:9/y", kEngineOk},
        {"http://127.0.0.1:9/b\r\nhttp://127.0.0.1:9/c\rhttp://127.0.0.1:9/z", kEngineDuplicate},
        {"  http://127.0.0.1:9/a\t\n\nhttp://127.0.0.1:9/q\nhttp://127.0.0.1:9/r", kEngineOk},
    };
    auto firstDesc =
        Descriptor(dir_.path() + "/", "http://127.0.0.1:9/a\nhttp://127.0.0.1:9/b\nhttp://127.0.0.1:9/c", 0);
    ASSERT_EQ(EngineCreateTask(firstDesc.get()), kEngineOk);
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.second);
        auto d = Descriptor(dir_.path() + "/other" + std::to_string(n++) + "/", c.second, 0);
        EXPECT_EQ(EngineCreateTask(d.get()), c.expected);
        if (c.expected == kEngineOk) {
            EXPECT_EQ(EngineStopTask(d->task, 1), kEngineOk);
        }
    }
}

TEST_F(EngineApiTest, SpeedLimitKindsAndPeerLimits) {
    const EngineTask t = Create("limits.bin");
    EXPECT_EQ(EngineSetTaskSpeedLimit(t, 2, 100), kEngineBadArgument);
    EXPECT_EQ(EngineSetTaskSpeedLimit(t, -1, 100), kEngineBadArgument);
    EXPECT_EQ(EngineSetTaskSpeedLimit(t, kSpeedLimitDownload, 100), kEngineOk);
    EXPECT_EQ(EngineSetTaskSpeedLimit(t, kSpeedLimitUpload, 40000), kEngineOk);
    EXPECT_EQ(EngineSetTaskPeerLimits(t, 4, 40), kEngineOk);
    EXPECT_EQ(EngineClearTaskMirrors(t), kEngineOk);
    EXPECT_EQ(EngineAddTaskMirror(t, "http://127.0.0.1:9/m1\nhttp://127.0.0.1:9/m2", "mirror.example\nnull"),
              kEngineOk);
}

TEST_F(EngineApiTest, StopTasksStopsManyAndReportsEach) {
    const EngineTask a = Create("a.bin");
    const EngineTask b = Create("b.bin");
    const EngineTask tasks[] = {a, 999999, b};
    int results[3] = {1, 1, 1};
    EXPECT_EQ(EngineStopTasks(tasks, 3, 1, results), kEngineOk);
    EXPECT_EQ(results[0], kEngineOk);
    EXPECT_EQ(results[1], kEngineNoTask);
    EXPECT_EQ(results[2], kEngineOk);
    EXPECT_EQ(EngineRestartTask(a), kEngineOk); // stopped, so it can start again
    EXPECT_EQ(EngineStopTasks(tasks, 3, 0, nullptr), kEngineOk);
}

TEST_F(EngineApiTest, TorrentTaskWithMissingTorrentFilePublishesUnreadable) {
    const std::string url = "file://" + dir_.file("missing.torrent");
    auto d = Descriptor(dir_.path() + "/", url.c_str(), kTaskFlagBT);
    ASSERT_EQ(EngineCreateTask(d.get()), kEngineOk);
    EXPECT_TRUE(WaitForStatus(
        d->task, [](const TaskStatus& s) { return s.state == kTaskStateTorrentUnreadable; }, 5));
    // Its thread ends by itself, so it can be started again.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (EngineRestartTask(d->task) != kEngineOk && std::chrono::steady_clock::now() < end)
        platform::SleepMs(50);
    EXPECT_EQ(EngineStopTask(d->task, 0), kEngineOk);
}

TEST_F(EngineApiTest, PlainTaskWithoutUsableSourceGivesUpAfterFifteenSeconds) {
    ManualEngineClock clock;
    const EngineTask t = Create("nothing.bin", "http://127.0.0.1:9/nothing.bin");
    ASSERT_TRUE(WaitUntilRunning(t));
    const auto gaveUp = [](const TaskStatus& s) { return s.state == kTaskStateGaveUp; };
    EXPECT_FALSE(AdvanceUntil(clock, t, gaveUp, 14000, 100)) << "gave up before fifteen seconds";
    EXPECT_TRUE(AdvanceUntil(clock, t, gaveUp, 3000, 3000)) << "still trying after seventeen seconds";
    EXPECT_EQ(EngineRestartTask(t), kEngineOk); // the run ended; a restart continues
}

TEST_F(EngineApiTest, RestartDownloadRemovesTheFileAndItsCompanions) {
    const std::string path = dir_.file("pkg.bin");
    for (const char* suffix : {"", ".qvtmp", ".qvinfo", ".qvinfodf"})
        WriteFile(path + suffix, "data");
    const std::string resume = dir_.file("pkg.resume");
    WriteFile(resume, "d4:bitsi0ee");
    auto d = Descriptor(path, "", kTaskFlagFullPath, resume);
    TWorkThread task;
    task.Configure(*d);
    ASSERT_EQ(task.RestartDownload(), kEngineOk);
    for (const char* suffix : {"", ".qvtmp", ".qvinfo", ".qvinfodf"})
        EXPECT_FALSE(FileExists(path + suffix)) << suffix;
    EXPECT_FALSE(FileExists(resume));
    EXPECT_EQ(task.StopDownload(), kEngineOk);
}

TEST_F(EngineApiTest, MessageBoxNeverBlocksAndAddsTheSessionCode) {
    platform::RecordingMessageSink sink;
    EXPECT_EQ(EngineMessageBox(nullptr, "hello", "caption", 0), 1);
    ASSERT_TRUE(sink.WaitFor(1, 2000));
    EXPECT_EQ(sink.messages()[0].text, "hello");
    EXPECT_EQ(sink.messages()[0].caption, "caption");

    SetStatisticsSessionCode("A1B2");
    EXPECT_EQ(EngineMessageBox(nullptr, "again", "c", 0), 1);
    ASSERT_TRUE(sink.WaitFor(2, 2000));
    EXPECT_EQ(sink.messages()[1].text, "again\n\xA3\xA8"
                                       "A1B2\xA3\xA9");
    SetStatisticsSessionCode("");
}

TEST_F(EngineApiTest, DiskQueries) {
    EXPECT_EQ(EngineGetFreeDiskSpace(""), 0u);
    EXPECT_EQ(EngineGetFreeDiskSpace(nullptr), 0u);
    EXPECT_GT(EngineGetFreeDiskSpace(dir_.path().c_str()), 0u);
    EXPECT_GT(EngineGetFreeDiskSpace(dir_.file("not/yet/made").c_str()), 0u);

    const std::string name = dir_.file("partial.bin");
    EXPECT_EQ(EngineGetAllocatedSize(name.c_str()), 0);
    WriteFile(name + ".qvtmp", std::string(100000, 'x'));
    EXPECT_GE(EngineGetAllocatedSize(name.c_str()), 100000);
    WriteFile(name, "y");
    EXPECT_LT(EngineGetAllocatedSize(name.c_str()), 100000);
}

} // namespace
