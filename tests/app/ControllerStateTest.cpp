// The controller without a download server: start-up, engine codes, the job file's
// size record, disk-space holds and the texts, against a real engine whose tasks have
// nowhere to download from.
#include "ControllerFixture.h"

#include "app/ControllerTexts.h"
#include "app/IControllerSeams.h"
#include "app/StatisticsEvents.h"
#include "app/TaskPersistence.h"
#include "platform/Clock.h"
#include "platform/ProfileFile.h"

#include <atomic>
#include <thread>

namespace {

using controllertest::ControllerTest;
using controllertest::LogCapture;
using controllertest::LoggedStates;
using controllertest::QueryText;
using controllertest::RecordingSeams;
using testsupport::FileExists;
using testsupport::WriteFile;

std::string JobValue(const std::string& job, const char* key, const char* section = "BrisklaneTask") {
    char buf[4096];
    platform::GetProfileString(section, key, "", buf, sizeof buf, job.c_str());
    return buf;
}

class ControllerStateTest : public ControllerTest {
protected:
    DownloadController& Start() {
        DownloadController& c = harness_.Make();
        controller_ = &c;
        EXPECT_EQ(c.Initialize(), 0);
        return c;
    }

    DownloadController* controller_ = nullptr;
};

TEST_F(ControllerStateTest, FirstStartMakesTheDataFolderAndWaitsForStart) {
    LogCapture log;
    DownloadController& c = Start();
    EXPECT_EQ(c.State(), DownloadController::kReady);
    EXPECT_TRUE(std::filesystem::is_directory(harness_.DataFolder()));
    EXPECT_TRUE(FileExists(harness_.DataFolder() + "/dataupload.vedare"))
        << "statistics configuration released";
    EXPECT_FALSE(FileExists(harness_.JobFile()));
    EXPECT_EQ(c.SavePath(), harness_.SaveFolder());
    EXPECT_EQ(c.RequiredSpace(), 10485760u + DownloadController::kSpaceMargin);
    EXPECT_EQ(c.PeerLimitTotal(), 36u);
    EXPECT_EQ(log.Count(texts::kLogInitializing), 1);
    EXPECT_EQ(log.Count(texts::kLogSelfRecoveryOff), 1);
    EXPECT_EQ(QueryText([&](char* b, const int* n) { return c.GetSizeText(b, n); }), "0 B/10.0 MB");
    EXPECT_EQ(QueryText([&](char* b, const int* n) { return c.GetSpeedText(b, n); }), "0 B/s");
    EXPECT_EQ(QueryText([&](char* b, const int* n) { return c.GetFileStatusText(1, b, n); }),
              texts::kStatusNotStarted);
    EXPECT_EQ(QueryText([&](char* b, const int* n) { return c.GetFileName(3, b, n); }), "pkg3.bin");
    EXPECT_EQ(QueryText([&](char* b, const int* n) { return c.GetPackagePath(b, n); }),
              harness_.SaveFolder() + "/pkg0.bin");
    EXPECT_EQ(QueryText([&](char* b, const int* n) { return c.GetVersionText(b, n); }), texts::kVersionText);
    char buf[4096];
    int cap = sizeof buf;
    EXPECT_EQ(c.GetSavePath(buf, &cap), -1);
    EXPECT_EQ(buf, harness_.SaveFolder());
    cap = static_cast<int>(harness_.SaveFolder().size());
    EXPECT_EQ(c.GetSavePath(buf, &cap), 0) << "no room for the terminator";
    EXPECT_EQ(c.GetCloseSelection(), -1);
}

TEST_F(ControllerStateTest, MissingStatisticsConfigurationEndsTheStart) {
    controllertest::WriteResourceFile(dir_.path() + "/program", false);
    LogCapture log;
    DownloadController& c = harness_.Make();
    EXPECT_EQ(c.Initialize(), -2);
    EXPECT_EQ(log.Count(texts::kResourceReleaseFailed), 1);
    ASSERT_EQ(harness_.events.codes(), std::vector<std::string>{StatisticsEvents::kResourceReleaseFailed});
    EXPECT_EQ(harness_.events.entries()[0].text, texts::kResourceReleaseFailed);
}

TEST_F(ControllerStateTest, TuningFileSetsTheConnectionLimitWithinItsBounds) {
    const struct {
        const char* value;
        uint32_t limit;
    } cases[] = {{nullptr, 36}, {"9", 36}, {"10", 10}, {"77", 77}, {"200", 200}, {"201", 36}, {"x", 36}};
    for (const auto& c : cases) {
        const std::string tuning = dir_.path() + "/work/BrisklaneTaskLink.ini";
        std::filesystem::remove(tuning);
        if (c.value)
            WriteFile(tuning, std::string("[BrisklaneTask]\nBrisklaneTaskLink=") + c.value + "\n");
        DownloadController& ctl = harness_.Make();
        ASSERT_EQ(ctl.Initialize(), 0);
        EXPECT_EQ(ctl.PeerLimitTotal(), c.limit) << (c.value ? c.value : "no file");
        harness_.controller.reset();
        EngineCloseServices();
    }
}

TEST_F(ControllerStateTest, EngineCodesShowOnceUntilAnotherCodeComes) {
    DownloadController& c = Start();
    platform::RecordingMessageSink messages;
    const struct {
        uint32_t code;
        bool quiet;
        const char* message; // null: none
        const char* event;   // null: none
    } steps[] = {
        {0, true, nullptr, nullptr},
        {kTaskStateNetworkError, false, texts::kMsgNetworkError, nullptr},
        {kTaskStateNetworkError, true, nullptr, nullptr},
        {kTaskStateMetadataTimeout, false, texts::kMsgConnectTimeout, StatisticsEvents::kConnectTimeout},
        {kTaskStateNetworkError, false, texts::kMsgNetworkError, nullptr}, // one last code for every task
        {kTaskStateComplete, true, nullptr, nullptr},                      // unknown codes count as shown too
        {kTaskStateNetworkError, false, texts::kMsgNetworkError, nullptr},
        {kTaskStateGaveUp, false, texts::kMsgDownloadError, nullptr},
        {kTaskStateDiskFull, false, texts::kMsgDiskFull, StatisticsEvents::kDiskFull},
        {kTaskStateDiskError, false, texts::kMsgDiskBroken, nullptr},
        {kTaskStateDiskError, true, nullptr, nullptr},
    };
    size_t shown = 0;
    for (const auto& s : steps) {
        SCOPED_TRACE(s.code);
        harness_.events.Clear();
        EXPECT_EQ(c.HandleTaskError(s.code), s.quiet);
        if (s.message) {
            ASSERT_TRUE(messages.WaitFor(++shown, 3000));
            const auto m = messages.messages().back();
            EXPECT_EQ(m.text.rfind(s.message, 0), 0u);
            EXPECT_EQ(m.caption, texts::kCaption);
        }
        if (s.event) {
            ASSERT_EQ(harness_.events.entries().size(), 1u);
            EXPECT_EQ(harness_.events.entries()[0].kind, "progress");
            EXPECT_EQ(harness_.events.entries()[0].code, s.event);
        } else {
            EXPECT_TRUE(harness_.events.entries().empty());
        }
    }
    platform::SleepMs(200);
    EXPECT_EQ(messages.messages().size(), shown);
    // Disk full outside downloading holds the download back without pausing; a broken
    // disk fails the job.
    EXPECT_EQ(c.IsDiskSpaceLow(), 1);
    EXPECT_EQ(c.State(), DownloadController::kFailed);
}

TEST_F(ControllerStateTest, DownloadedSizeIsWrittenOnlyWhileTheJobIsActive) {
    DownloadController& c = Start();
    std::filesystem::create_directories(harness_.SaveFolder());
    WriteFile(harness_.SaveFile(1) + ".qvtmp", std::string(65536, 'a'));
    const std::string job = harness_.JobFile();
    // Ready: counted, not written.
    const uint64_t before = c.UpdateDownloadedBytes();
    EXPECT_GE(before, 65536u);
    EXPECT_EQ(JobValue(job, "BrisklaneTaskLastSizeLow"), "");

    c.Begin(); // tasks that have nowhere to download from
    EXPECT_EQ(c.State(), DownloadController::kPreparing);
    EXPECT_EQ(harness_.events.Count(StatisticsEvents::kDownloadStarted), 1);
    EXPECT_EQ(harness_.events.entries()[0].flag, 7) << "with processor, memory and video card";
    EXPECT_EQ(JobValue(job, "BrisklaneTaskSavePath"), harness_.SaveFolder());
    EXPECT_EQ(JobValue(job, "BrisklaneHttpTaskUrl2"), harness_.config.packageUrls[2]);
    EXPECT_EQ(JobValue(job, "BrisklaneHttpTaskFile3"), "pkg3.bin");
    EXPECT_EQ(JobValue(job, "BrisklaneTaskFloder"), "Orlanta10117");
    EXPECT_EQ(JobValue(job, "BrisklaneTaskHash"), controllertest::kProductKey);
    for (int i = 0; i < 4; ++i)
        EXPECT_NE(c.Task(i), 0u) << i;
    c.Pause();
    EXPECT_EQ(c.State(), DownloadController::kPause);
    EXPECT_EQ(harness_.events.Count(StatisticsEvents::kPaused), 1);

    // The tasks are gone: the files on disk count instead.
    EngineCleanup();
    const std::string written = JobValue(job, "BrisklaneTaskLastSizeLow");
    WriteFile(harness_.SaveFile(2) + ".qvtmp", std::string(131072, 'b'));
    const uint64_t paused = c.UpdateDownloadedBytes();
    EXPECT_GE(paused, before + 131072);
    EXPECT_EQ(JobValue(job, "BrisklaneTaskLastSizeLow"), written) << "written while paused";

    c.Continue();
    EXPECT_EQ(c.State(), DownloadController::kResume);
    WriteFile(harness_.SaveFile(3) + ".qvtmp", std::string(4096, 'c'));
    const uint64_t resumed = c.UpdateDownloadedBytes();
    EXPECT_EQ(JobValue(job, "BrisklaneTaskLastSizeLow"), std::to_string(resumed));
    EXPECT_EQ(JobValue(job, "BrisklaneTaskLastSizeHigh"), "0");
}

TEST_F(ControllerStateTest, StartIsRefusedWithoutRoomForThePackage) {
    uint64_t free = 1000;
    harness_.env.freeSpace = [&free](const std::string&) { return free; };
    DownloadController& c = Start();
    platform::RecordingMessageSink messages;
    c.PrimaryAction();
    EXPECT_EQ(c.State(), DownloadController::kReady);
    EXPECT_EQ(c.IsDiskSpaceLow(), 1);
    EXPECT_EQ(c.Task(0), 0u);
    EXPECT_EQ(harness_.events.Count(StatisticsEvents::kDownloadStarted), 0);
    ASSERT_TRUE(messages.WaitFor(1, 3000));
    EXPECT_EQ(messages.messages()[0].text.rfind(texts::kMsgNoSpaceToStart, 0), 0u);
    EXPECT_FALSE(FileExists(harness_.JobFile()));
}

TEST_F(ControllerStateTest, SparseFilesAreWatchedAndHoldTheJobBack) {
    std::atomic<uint64_t> free{0};
    harness_.env.freeSpace = [&free](const std::string&) { return free.load(); };
    harness_.env.mayReserveSpace = [](const std::string&) { return false; };
    harness_.env.supportsSparseFiles = [](const std::string&) { return true; };
    LogCapture log;
    DownloadController& c = Start();
    const uint64_t files = c.RequiredSpace() - DownloadController::kSpaceMargin;
    platform::RecordingMessageSink messages;
    c.TestSparseMode(c.SavePath());
    ASSERT_TRUE(c.SparseMode());
    EXPECT_EQ(log.Count(texts::kLogSparseSupported), 1);

    // Enough for the files, not for the margin: nothing happens.
    free = files + 10;
    c.PollState();
    EXPECT_EQ(c.State(), DownloadController::kReady);
    EXPECT_EQ(c.IsDiskSpaceLow(), 0);
    // Too little: held back, once told.
    free = files - 10;
    c.PollState();
    EXPECT_EQ(c.State(), DownloadController::kBack);
    EXPECT_EQ(c.IsDiskSpaceLow(), 1);
    c.PollState();
    ASSERT_TRUE(messages.WaitFor(1, 3000));
    EXPECT_EQ(messages.messages()[0].text.rfind(texts::kMsgNoSpaceBack, 0), 0u);
    // Room again: ready.
    free = c.RequiredSpace();
    c.PollState();
    EXPECT_EQ(c.State(), DownloadController::kReady);
    EXPECT_EQ(c.IsDiskSpaceLow(), 0);

    // Paused: the flag follows the space, the pause stays.
    c.Begin();
    ASSERT_EQ(c.State(), DownloadController::kPreparing);
    c.PauseAll();
    free = 0;
    c.PollState();
    EXPECT_EQ(c.State(), DownloadController::kPause);
    EXPECT_EQ(c.IsDiskSpaceLow(), 1);
    free = c.RequiredSpace();
    c.PollState();
    EXPECT_EQ(c.State(), DownloadController::kPause);
    EXPECT_EQ(c.IsDiskSpaceLow(), 0);
    platform::SleepMs(200);
    EXPECT_EQ(messages.messages().size(), 1u);

    // A volume that can reserve up front needs no watching.
    harness_.controller.reset();
    harness_.env.mayReserveSpace = [](const std::string&) { return true; };
    DownloadController& reserving = harness_.Make();
    reserving.TestSparseMode(dir_.path());
    EXPECT_FALSE(reserving.SparseMode());
    EXPECT_EQ(log.Count(texts::kLogReserveUpFront), 1);
}

// Whoever makes a change (an operation, an engine code), the next poll logs it once;
// polls that find nothing new log nothing, and a change of the disk flag alone logs the
// state again.
TEST_F(ControllerStateTest, EveryChangeIsLoggedOnceByThePollThatSeesIt) {
    LogCapture log;
    DownloadController& c = Start();
    platform::RecordingMessageSink messages;
    auto polls = [&] {
        c.PollState();
        c.PollState();
    };
    polls();
    c.Begin(); // tasks that have nowhere to download from
    ASSERT_EQ(c.State(), DownloadController::kPreparing);
    polls();
    c.PauseAll();
    polls();
    c.Continue();
    polls();
    EXPECT_FALSE(c.HandleTaskError(kTaskStateDiskFull));
    ASSERT_EQ(c.State(), DownloadController::kResume) << "not paused outside downloading";
    polls();
    c.HandleTaskError(kTaskStateDiskError);
    polls();
    EXPECT_EQ(LoggedStates(log),
              (std::vector<std::string>{"ready", "preparing", "pause", "resume", "resume", "failed"}));
    // Each change sent its own event once.
    EXPECT_EQ(harness_.events.Count(StatisticsEvents::kDownloadStarted), 1);
    EXPECT_EQ(harness_.events.Count(StatisticsEvents::kContinued), 1);
    EXPECT_EQ(harness_.events.Count(StatisticsEvents::kDiskFull), 1);
    EXPECT_EQ(harness_.events.Count(StatisticsEvents::kPaused), 0) << "a pause without the user";

    // A state left again before any poll saw it is not logged.
    c.Continue();
    c.PauseAll();
    polls();
    EXPECT_EQ(LoggedStates(log).back(), "pause");
    EXPECT_EQ(log.Count(texts::kLogStateResume), 2);
}

TEST_F(ControllerStateTest, StateChangesAreLoggedOnceAndFinishingRunsItsSteps) {
    WriteFinishedJob();
    RecordingSeams seams(controller_);
    harness_.env.seams = &seams;
    LogCapture log;
    DownloadController& c = harness_.Make();
    controller_ = &c;
    ASSERT_EQ(c.Initialize(), 1);
    ASSERT_EQ(c.State(), DownloadController::kFinished);
    c.SetShutdownWhenDone(1);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(c.PollState(), static_cast<int>(DownloadController::kFinished));
    EXPECT_EQ(log.Count(texts::kLogStateFinished), 1);
    EXPECT_EQ(log.Count(texts::kLogAutoShutdown), 1);
    EXPECT_EQ(seams.calls(), std::vector<std::string>{"shutdown 60"});
    EXPECT_EQ(harness_.events.Count(StatisticsEvents::kDownloadFinished), 0) << "no task ran in this run";
    EXPECT_EQ(QueryText([&](char* b, const int* n) { return c.GetSizeText(b, n); }), "10.0 MB/10.0 MB");
    EXPECT_EQ(QueryText([&](char* b, const int* n) { return c.GetFileStatusText(2, b, n); }),
              texts::kStatusDone);
    EXPECT_EQ(c.GetDownloadProgress(), 10000u);

    // The primary button in finished hands over to verification.
    c.PrimaryAction();
    EXPECT_EQ(harness_.events.Count(StatisticsEvents::kInstallPressed), 1);
    EXPECT_EQ(seams.calls().back(), "verify");
}

} // namespace
