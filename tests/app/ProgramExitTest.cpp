// The ways the program ends: the installer started (or not), the user's exit, a window
// gone without either; and the power-off after the download, through a recorder in
// place of the system's.
#include "ControllerFixture.h"

#include "app/ControllerTexts.h"
#include "app/ProgramExit.h"
#include "app/StatisticsEvents.h"
#include "app/TaskPersistence.h"
#include "platform/Clock.h"
#include "platform/ShellOpen.h"
#include "platform/SystemShutdown.h"

#include <sys/stat.h>

namespace {

using controllertest::ControllerTest;
using controllertest::LogCapture;
using testsupport::WriteFile;

class ProgramExitTest : public ControllerTest {
protected:
    // A finished job whose entry file (file 0) holds entry.
    DownloadController& StartFinished(const std::string& entry) {
        WriteFinishedJob(entry);
        DownloadController& c = harness_.Make();
        controller_ = &c;
        EXPECT_EQ(c.Initialize(), 1);
        EXPECT_EQ(c.State(), DownloadController::kFinished);
        return c;
    }

    DownloadController* controller_ = nullptr;
};

std::string Reason(bool verified, const char* text) {
    return std::string(texts::kReasonInstallFailed) +
           (verified ? texts::kReasonVerified : texts::kReasonNotVerified) + text;
}

TEST_F(ProgramExitTest, MissingInstallerIsReportedAndLeavesTheInstallingState) {
    DownloadController& c = StartFinished("#!/bin/sh\n");
    std::filesystem::remove(harness_.SaveFile(0)); // gone since the download
    LogCapture log;
    platform::RecordingMessageSink messages;
    c.Install(true);
    EXPECT_EQ(c.State(), DownloadController::kInstalling);
    EXPECT_FALSE(c.InstallerLaunched());
    ASSERT_TRUE(messages.WaitFor(1, 3000));
    EXPECT_EQ(messages.messages()[0].text.rfind(texts::kMsgInstallerMissing, 0), 0u);
    EXPECT_EQ(messages.messages()[0].caption, texts::kCaptionInstallFailed);
    const auto e = harness_.events.First(StatisticsEvents::kInstallerMissing);
    EXPECT_EQ(e.text, "pkg0.bin");
    EXPECT_EQ(e.message, texts::kEventInstallerMissing);
    EXPECT_EQ(log.Count(texts::kLogInstallerMissing), 1);
    EXPECT_EQ(harness_.frontEnd.closed(), 0);
    // In that state the primary button does nothing.
    harness_.events.Clear();
    c.PrimaryAction();
    EXPECT_TRUE(harness_.events.entries().empty());
    EXPECT_EQ(c.State(), DownloadController::kInstalling);
}

TEST_F(ProgramExitTest, FailedStartsNameTheShellsReason) {
    int value = 0;
    std::vector<std::pair<std::string, std::string>> opened;
    harness_.env.shellOpen = [&](const std::string& path, const std::string& folder) {
        opened.emplace_back(path, folder);
        return value;
    };
    DownloadController& c = StartFinished("#!/bin/sh\n");
    const struct {
        int value;
        const char* text;
    } cases[] = {
        {0, "Unknown open failed"},
        {1, "Unknown open failed"},
        {2, "The specified file was not found."},
        {3, "The specified path was not found."},
        {5, "The operating system denied access to the specified file."},
        {8, "There was not enough memory to complete the operation."},
        {11, "The .exe file is invalid (non-Win32 .exe or error in .exe image)."},
        {26, "A sharing violation occurred."},
        {27, "The file name association is incomplete or invalid."},
        {28, "The DDE transaction could not be completed because the request timed out."},
        {29, "The DDE transaction failed."},
        {30,
         "The DDE transaction could not be completed because other DDE transactions were being processed."},
        {31, "There is no application associated with the given file name extension. This error will also be "
             "returned if you attempt to print a file that is not printable."},
        {32, "The specified DLL was not found."},
        {-7, "Unknown open failed"},
        {12, "Unknown open failed"},
    };
    platform::RecordingMessageSink messages;
    size_t shown = 0;
    for (const auto& k : cases) {
        for (bool verified : {false, true}) {
            SCOPED_TRACE(std::to_string(k.value) + (verified ? " verified" : ""));
            LogCapture log;
            value = k.value;
            harness_.events.Clear();
            c.Install(verified);
            EXPECT_EQ(c.State(), DownloadController::kFinished) << "the state before comes back";
            const std::string reason = Reason(verified, k.text);
            const auto e = harness_.events.First(StatisticsEvents::kInstallerFailed);
            EXPECT_EQ(e.text, "pkg0.bin");
            EXPECT_EQ(e.message, reason);
            EXPECT_EQ(log.Count(reason), 1);
            ASSERT_TRUE(messages.WaitFor(++shown, 3000));
            EXPECT_EQ(messages.messages().back().text.rfind(texts::kMsgInstallerFailed, 0), 0u);
            EXPECT_EQ(messages.messages().back().caption, texts::kCaptionInstallFailed);
        }
    }
    EXPECT_FALSE(c.InstallerLaunched());
    EXPECT_EQ(harness_.frontEnd.closed(), 0);
    ASSERT_FALSE(opened.empty());
    EXPECT_EQ(opened[0].first, harness_.SaveFile(0));
    EXPECT_EQ(opened[0].second, harness_.SaveFolder());

    // Above 32 is a start.
    LogCapture log;
    value = 33;
    c.Install(false);
    EXPECT_TRUE(c.InstallerLaunched());
    EXPECT_EQ(harness_.frontEnd.closed(), 1);
    EXPECT_EQ(log.Count(texts::kLogInstallStarted), 1);
}

TEST_F(ProgramExitTest, InstallerThatCannotRunAndHasNoOpenerFails) {
    DownloadController& c = StartFinished("not a program at all\n");
    ::chmod(harness_.SaveFile(0).c_str(), 0644);
    const std::string handler = platform::SetShellOpenHandler(dir_.path() + "/no-such-opener");
    LogCapture log;
    platform::RecordingMessageSink messages;
    c.Install(false);
    platform::SetShellOpenHandler(handler);
    EXPECT_FALSE(c.InstallerLaunched());
    EXPECT_EQ(c.State(), DownloadController::kFinished);
    const std::string reason = Reason(false, ProgramExit::OpenFailureText(platform::kShellNoAssociation));
    EXPECT_EQ(harness_.events.First(StatisticsEvents::kInstallerFailed).message, reason);
    EXPECT_EQ(log.Count(reason), 1);
    ASSERT_TRUE(messages.WaitFor(1, 3000));
    EXPECT_EQ(messages.messages()[0].text.rfind(texts::kMsgInstallerFailed, 0), 0u);
}

TEST_F(ProgramExitTest, ExitIsReportedByHowTheProgramEnds) {
    struct Row {
        const char* name;
        std::function<void(DownloadController&)> before;
        std::vector<std::string> events; // codes after the controller started
        std::vector<const char*> lines;  // in the log, each once
        uint32_t state;                  // after the exit
    };
    const Row rows[] = {
        {"user exit while preparing",
         [](DownloadController& c) {
             c.Begin();
             c.MarkUserExit();
         },
         {StatisticsEvents::kUserExit},
         {texts::kLogUserExit, texts::kLogExitLine},
         DownloadController::kPreparing},
        {"user exit while ready",
         [](DownloadController& c) { c.MarkUserExit(); },
         {},
         {texts::kLogUserExit, texts::kLogExitLine},
         DownloadController::kReady},
        {"exit chosen, then cancelled",
         [](DownloadController& c) {
             c.MarkUserExit();
             c.ClearUserExit();
         },
         {StatisticsEvents::kAbnormalEnd},
         {texts::kLogUnexpectedExit, texts::kLogExitedLine},
         DownloadController::kClosedWithoutExit},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::TempDir dir;
        controllertest::ControllerHarness h(dir.path());
        DownloadController& c = h.Make();
        ASSERT_EQ(c.Initialize(), 0);
        row.before(c);
        const EngineTask task = c.Task(0);
        h.events.Clear();
        LogCapture log;
        c.OnExit();
        EXPECT_EQ(h.events.codes(), row.events);
        for (const char* line : row.lines)
            EXPECT_EQ(log.Count(line), 1) << line;
        EXPECT_EQ(log.Count(texts::kLogExitForInstaller), 0);
        EXPECT_EQ(c.State(), row.state);
        if (row.events == std::vector<std::string>{StatisticsEvents::kAbnormalEnd}) {
            EXPECT_EQ(h.events.entries()[0].text, "Unknow Exit, maybe crashed");
        }
        // The engine was shut down: its tasks are gone.
        TaskStatus st;
        EXPECT_NE(EngineGetTaskStatus(task, &st), kEngineOk);
        EXPECT_FALSE(EngineInitialized());
        // Once only.
        const size_t lines = log.lines().size();
        c.OnExit();
        EXPECT_EQ(h.events.codes(), row.events);
        EXPECT_EQ(log.lines().size(), lines);
        h.controller.reset();
    }
}

// Stands in for the system's power-off.
class RecordingShutdown : public platform::SystemShutdown {
public:
    RecordingShutdown(bool may, bool accepts) : may_(may), accepts_(accepts) {}
    bool MayShutDown() override { return may_; }
    bool ScheduleShutdown(int seconds, const std::string& messageGbk) override {
        std::lock_guard<std::mutex> g(m_);
        requests_.emplace_back(seconds, messageGbk);
        return accepts_;
    }
    std::vector<std::pair<int, std::string>> requests() const {
        std::lock_guard<std::mutex> g(m_);
        return requests_;
    }

private:
    bool may_, accepts_;
    mutable std::mutex m_;
    std::vector<std::pair<int, std::string>> requests_;
};

TEST_F(ProgramExitTest, ShutdownIsScheduledOneMinuteAheadOrTheUserIsTold) {
    const struct {
        bool may, accepts;
        size_t failures;
    } cases[] = {{true, true, 0}, {true, false, 1}, {false, true, 1}, {false, false, 2}};
    DownloadController& c = harness_.Make();
    for (const auto& k : cases) {
        SCOPED_TRACE(std::to_string(k.may) + " " + std::to_string(k.accepts));
        auto recorder = std::make_shared<RecordingShutdown>(k.may, k.accepts);
        const auto previous = platform::SystemShutdown::Replace(recorder);
        platform::RecordingMessageSink messages;
        c.ShutdownIn(5);
        platform::SystemShutdown::Replace(previous);
        const std::vector<std::pair<int, std::string>> once{{60, texts::kMsgShutdownNotice}};
        EXPECT_EQ(recorder->requests(), once);
        if (k.failures) {
            ASSERT_TRUE(messages.WaitFor(k.failures, 3000));
        }
        platform::SleepMs(100);
        const auto shown = messages.messages();
        ASSERT_EQ(shown.size(), k.failures);
        for (const auto& m : shown) {
            EXPECT_EQ(m.text.rfind(texts::kMsgShutdownFailed, 0), 0u);
            EXPECT_EQ(m.caption, texts::kCaption);
        }
    }
}

TEST_F(ProgramExitTest, FinishingWithShutdownWhenDoneSchedulesThePowerOff) {
    auto recorder = std::make_shared<RecordingShutdown>(true, true);
    const auto previous = platform::SystemShutdown::Replace(recorder);
    DownloadController& c = StartFinished("x");
    c.SetShutdownWhenDone(1);
    c.PollState();
    c.PollState();
    platform::SystemShutdown::Replace(previous);
    EXPECT_EQ(recorder->requests().size(), 1u);
}

} // namespace
