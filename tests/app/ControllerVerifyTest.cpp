// Verification and repair of a downloaded package: real files in the save folder, the
// real engine downloading damaged files again from a local nginx, and the worker
// thread followed through the controller's states and events.
#include "ControllerFixture.h"

#include "app/ControllerTexts.h"
#include "app/PackageVerifier.h"
#include "app/StatisticsEvents.h"
#include "app/TaskPersistence.h"
#include "engine/api/BrisklaneEngine.h"
#include "platform/Clock.h"
#include "support/NginxServer.h"
#include "support/RandomBytes.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

using controllertest::ControllerHarness;
using controllertest::ControllerTest;
using controllertest::LogCapture;
using controllertest::QueryText;
using controllertest::RecordingSeams;
using controllertest::WaitUntil;
using testsupport::NginxServer;
using testsupport::RandomBytes;
using testsupport::ReadFile;
using testsupport::WriteFile;

const size_t kSizes[4] = {1048576 + 100, 2 * 1048576 + 4096, 1048576 + 1, 3 * 1048576 + 77};

std::string Md5Of(const std::string& data) {
    return Md5Hex(data.data(), data.size());
}

// A package whose four files were downloaded in an earlier run: the job file says so,
// the files lie in the save folder. What the files hold and what the configuration
// expects of them is up to the test.
class Package {
public:
    explicit Package(ControllerHarness& h) : h_(h) {
        for (int i = 0; i < 4; ++i) {
            contents[i] = RandomBytes(kSizes[i], 11 + i);
            h_.config.expectedSizes[i] = kSizes[i];
        }
    }

    // Writes the files and the job; the configuration expects the contents.
    void WriteFinished() {
        for (int i = 0; i < 4; ++i)
            h_.config.expectedMd5[i] = Md5Of(contents[i]);
        std::filesystem::create_directories(h_.DataFolder());
        std::filesystem::create_directories(h_.SaveFolder());
        const TaskPersistence job(h_.JobFile());
        job.WriteJobStart(controllertest::kProductKey);
        job.Write("BrisklaneTaskSavePath", h_.SaveFolder());
        job.Write("BrisklaneTaskEntrence", h_.config.fileNames[0]);
        for (const auto& [key, value] : extraKeys)
            job.Write(key, value);
        job.MarkJobComplete();
        for (int i = 0; i < 4; ++i) {
            WriteFile(h_.SaveFile(i), onDisk[i].empty() ? contents[i] : onDisk[i]);
            job.RecordFinishedFile(i, h_.SaveFile(i));
        }
    }

    std::string contents[4]; // what the configuration expects (and a good server has)
    std::string onDisk[4];   // what lies in the save folder instead, when not empty
    std::vector<std::pair<std::string, std::string>> extraKeys;

private:
    ControllerHarness& h_;
};

class ControllerVerifyTest : public ControllerTest {
protected:
    // Serves the package contents (or what serve[] says instead) from a local nginx;
    // false when nginx is missing.
    bool Serve(const std::string (&serve)[4]) {
        if (NginxServer::Program().empty())
            return false;
        std::filesystem::create_directories(dir_.path() + "/www");
        std::filesystem::create_directories(dir_.path() + "/nginx");
        for (int i = 0; i < 4; ++i)
            WriteFile(dir_.path() + "/www/" + harness_.config.fileNames[i], serve[i]);
        const std::string slow = "location /slow/ { alias " + dir_.path() + "/www/; limit_rate 8k; }";
        EXPECT_TRUE(server_.Start(dir_.path() + "/www", dir_.path() + "/nginx", slow));
        for (int i = 0; i < 4; ++i)
            harness_.config.packageUrls[i] =
                "http://127.0.0.1:" + std::to_string(server_.port()) + "/" + harness_.config.fileNames[i];
        return true;
    }

    DownloadController& StartFinished() {
        DownloadController& c = harness_.Make();
        controller_ = &c;
        EXPECT_EQ(c.Initialize(), 1);
        EXPECT_EQ(c.State(), DownloadController::kFinished);
        c.PollState(); // the change into finished runs its steps
        return c;
    }

    bool AwaitEnd(DownloadController& c, int seconds) {
        return WaitUntil([&] { return !c.IsVerifying(); }, seconds);
    }

    std::vector<std::string> FileEvents(const std::string& code) const {
        std::vector<std::string> out;
        for (const auto& e : harness_.events.entries())
            if (e.code == code)
                out.push_back(e.text + " " + e.message);
        return out;
    }

    Package package_{harness_};
    NginxServer server_;
    DownloadController* controller_ = nullptr;
};

TEST_F(ControllerVerifyTest, MatchingPackageIsVerifiedAndTheInstallerStartsWithoutAnotherClick) {
    // The entry file is a program, written as a download leaves it: not executable.
    package_.contents[0] =
        "#!/bin/sh\necho started > \"$PWD/installer-ran\"\n" + std::string(1048576, '#') + "\n";
    package_.WriteFinished();
    ::chmod(harness_.SaveFile(0).c_str(), 0644);
    harness_.frontEnd.SetAnswer(true);
    LogCapture log;
    platform::RecordingMessageSink messages;
    DownloadController& c = StartFinished();
    struct stat st {};
    ASSERT_EQ(::stat(harness_.SaveFile(0).c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IXUSR, 0u) << "the finished entry file can be started";
    EXPECT_EQ(st.st_mode & 0777, 0755u);

    c.PrimaryAction(); // finished: asks, the answer is yes
    EXPECT_EQ(harness_.frontEnd.questions(), std::vector<std::string>{texts::kMsgAskVerify});
    ASSERT_TRUE(AwaitEnd(c, 60));
    EXPECT_EQ(c.State(), DownloadController::kCheckFinished);
    EXPECT_FALSE(c.WasRepaired());
    EXPECT_EQ(c.GetCheckProgress(), 10000u);
    EXPECT_EQ(harness_.events.codes(),
              (std::vector<std::string>{StatisticsEvents::kInstallPressed, StatisticsEvents::kVerifyAccepted,
                                        StatisticsEvents::kVerifyPassed}));
    EXPECT_EQ(harness_.frontEnd.posted(), 1) << "the primary button is pressed for the user";
    EXPECT_TRUE(c.AutoInstallAfterCheck());
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(log.Count("MD5\xc6\xa5\xc5\xe4\xa3\xba" + harness_.config.fileNames[i]), 1)
            << i; // "MD5匹配："
        EXPECT_EQ(QueryText([&](char* b, const int* n) { return c.GetFileStatusText(i, b, n); }),
                  texts::kStatusVerified);
    }
    EXPECT_EQ(log.Count(texts::kLogStateCheckFinished), 0) << "not polled since";
    c.PollState();
    EXPECT_EQ(log.Count(texts::kLogStateCheckFinished), 1);

    // What the posted message does on the front end's thread.
    c.PrimaryAction();
    const auto pressed = harness_.events.entries().back();
    EXPECT_EQ(pressed.code, StatisticsEvents::kInstallPressed);
    EXPECT_EQ(pressed.text, texts::kMsgAlreadyVerified);
    ASSERT_TRUE(
        WaitUntil([&] { return testsupport::FileExists(harness_.SaveFolder() + "/installer-ran"); }, 30))
        << "the installer ran in the save folder";
    EXPECT_TRUE(c.InstallerLaunched());
    EXPECT_EQ(harness_.frontEnd.closed(), 1);
    EXPECT_EQ(c.State(), DownloadController::kCheckFinished);
    EXPECT_EQ(log.Count(texts::kLogInstallStarted), 1);
    c.OnExit();
    EXPECT_EQ(log.Count(texts::kLogExitForInstaller), 1);
    EXPECT_EQ(log.Count(texts::kLogExitLine), 1);
    platform::SleepMs(200);
    EXPECT_TRUE(messages.messages().empty());
}

TEST_F(ControllerVerifyTest, DamagedFileIsDownloadedAgainAndTheRestIsVerified) {
    package_.onDisk[2] = package_.contents[2];
    package_.onDisk[2][1000] ^= 0x55;
    if (!Serve(package_.contents))
        GTEST_SKIP() << "nginx is not installed";
    package_.WriteFinished();
    LogCapture log;
    platform::RecordingMessageSink messages;
    DownloadController& c = StartFinished();

    c.StartVerification(false);
    EXPECT_EQ(c.State(), DownloadController::kMd5Checking);
    ASSERT_TRUE(WaitUntil([&] { return c.State() == DownloadController::kCheckRecover; }, 60));
    // While the repair runs, both buttons only tell the user to wait.
    c.StartVerification(true);
    c.PrimaryAction();
    ASSERT_TRUE(AwaitEnd(c, 120)) << "state " << c.State();
    ASSERT_EQ(c.State(), DownloadController::kCheckFinished);
    EXPECT_TRUE(c.WasRepaired());
    EXPECT_EQ(c.GetCheckProgress(), 10000u);
    EXPECT_TRUE(ReadFile(harness_.SaveFile(2)) == package_.contents[2]) << "file 2 was not repaired";
    EXPECT_TRUE(c.IsFileIntact(2, false)) << "the repaired file's finish record is current";

    EXPECT_EQ(FileEvents(StatisticsEvents::kMd5Mismatch),
              std::vector<std::string>{"pkg2.bin MD5 unmatched (" + Md5Of(package_.onDisk[2]) + ")"});
    EXPECT_EQ(FileEvents(StatisticsEvents::kFileRepaired),
              std::vector<std::string>{"pkg2.bin \xd0\xde\xb8\xb4\xb4\xce\xca\xfd\xa3\xba"
                                       "1"}); // "修复次数：1"
    EXPECT_EQ(harness_.events.Count(StatisticsEvents::kVerifyPassed), 1);
    EXPECT_EQ(harness_.events.Count(StatisticsEvents::kVerifyAccepted), 0) << "started without the question";
    EXPECT_EQ(harness_.frontEnd.posted(), 0) << "no installing asked for";
    EXPECT_EQ(log.Matching("MD5\xb2\xbb\xc6\xa5\xc5\xe4\xa3\xba"
                           "pkg2.bin")
                  .size(),
              1u); // "MD5不匹配："
    EXPECT_EQ(log.Matching("MD5\xc6\xa5\xc5\xe4\xa3\xba"
                           "pkg2.bin")
                  .size(),
              1u); // "MD5匹配："
    EXPECT_EQ(log.Matching("MD5\xc6\xa5\xc5\xe4\xa3\xba"
                           "pkg3.bin")
                  .size(),
              1u)
        << "checked after the repair";

    const auto shown = messages.messages();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].text.rfind(texts::kMsgRepairing, 0), 0u);
    EXPECT_EQ(shown[1].text.rfind(texts::kMsgRepairing, 0), 0u);
}

TEST_F(ControllerVerifyTest, RepairGivesUpWhenTheServerKeepsServingOtherBytes) {
    std::string serve[4];
    for (int i = 0; i < 4; ++i)
        serve[i] = package_.contents[i];
    serve[1] = RandomBytes(kSizes[1], 99);
    package_.onDisk[1] = serve[1];
    if (!Serve(serve))
        GTEST_SKIP() << "nginx is not installed";
    package_.WriteFinished();
    platform::RecordingMessageSink messages;
    DownloadController& c = StartFinished();

    c.StartVerification(false);
    ASSERT_TRUE(AwaitEnd(c, 240)) << "state " << c.State();
    EXPECT_EQ(c.State(), DownloadController::kFailed);
    EXPECT_EQ(FileEvents(StatisticsEvents::kMd5Mismatch).size(), 1u);
    EXPECT_EQ(FileEvents(StatisticsEvents::kAbnormalEnd),
              std::vector<std::string>{"pkg1.bin \xd0\xde\xb8\xb4\xb4\xce\xca\xfd\xa3\xba"
                                       "5"}); // "修复次数：5"
    EXPECT_EQ(harness_.events.Count(StatisticsEvents::kFileRepaired), 0);
    EXPECT_EQ(harness_.events.Count(StatisticsEvents::kVerifyPassed), 0);
    EXPECT_EQ(server_.AccessLog().find("pkg2.bin"), std::string::npos) << "files after it stay unchecked";

    // Each pass was a download of its own.
    const std::string access = server_.AccessLog();
    size_t gets = 0;
    for (size_t at = access.find("GET /pkg1.bin"); at != std::string::npos;
         at = access.find("GET /pkg1.bin", at + 1))
        ++gets;
    EXPECT_GE(gets, 5u);

    ASSERT_TRUE(messages.WaitFor(1, 3000));
    EXPECT_EQ(messages.messages()[0].text.rfind(PackageVerifier::RepairFailureText(), 0), 0u);
    // Pressed again once the progress is known to be full: the same text.
    c.PollState();
    c.StartVerification(false);
    ASSERT_TRUE(messages.WaitFor(2, 3000));
    EXPECT_EQ(messages.messages()[1].text.rfind(PackageVerifier::RepairFailureText(), 0), 0u);
    EXPECT_FALSE(c.IsVerifying());
}

TEST_F(ControllerVerifyTest, TaskThatCannotBeCreatedAgainEndsTheRepair) {
    package_.WriteFinished();
    platform::RecordingMessageSink messages;
    DownloadController& c = StartFinished();
    // A save folder whose file paths the engine's descriptor cannot hold: the files are
    // not found there, and no task can be made for them.
    c.SetSavePath(dir_.path() + "/" + std::string(5000, 's'));

    c.StartVerification(false);
    ASSERT_TRUE(AwaitEnd(c, 60));
    EXPECT_EQ(c.State(), DownloadController::kCheckRecover) << "the state stays";
    EXPECT_TRUE(c.ReloadFailed());
    ASSERT_TRUE(messages.WaitFor(5, 3000));
    platform::SleepMs(100);
    const auto shown = messages.messages();
    ASSERT_EQ(shown.size(), 5u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(shown[i].text.rfind("ErrorCode : -101", 0), 0u) << i;
    EXPECT_EQ(shown[4].text.rfind(texts::kMsgRepairError, 0), 0u);
    EXPECT_EQ(FileEvents(StatisticsEvents::kMd5Mismatch),
              std::vector<std::string>{"pkg0.bin MD5 unmatched ()"});
    EXPECT_EQ(harness_.events.Count(StatisticsEvents::kVerifyPassed), 0);
}

// Each row: a controller brought into one state the way the program gets there, then
// the verify operation.
TEST_F(ControllerVerifyTest, StartVerificationByState) {
    struct Row {
        const char* name;
        std::function<void(ControllerHarness&, Package&)> before; // before the controller starts
        std::function<void(DownloadController&)> bring;           // into the state
        uint32_t state;
        std::string message; // the notice; empty: none
        bool starts;
    };
    const std::string waitForDownload = texts::kMsgFinishDownloadFirst;
    const std::string sparse = "sparse";
    const Row rows[] = {
        {"ready", nullptr, nullptr, DownloadController::kReady, waitForDownload, false},
        {"preparing", nullptr, [](DownloadController& c) { c.Begin(); }, DownloadController::kPreparing,
         waitForDownload, false},
        {"pause", nullptr,
         [](DownloadController& c) {
             c.Begin();
             c.PauseAll();
         },
         DownloadController::kPause, waitForDownload, false},
        {"failed before the end", nullptr,
         [](DownloadController& c) { c.HandleTaskError(kTaskStateDiskError); }, DownloadController::kFailed,
         waitForDownload, false},
        {"failed at full progress", [](ControllerHarness&, Package& p) { p.WriteFinished(); },
         [](DownloadController& c) {
             c.HandleTaskError(kTaskStateDiskError);
             c.PollState();
         },
         DownloadController::kFailed, PackageVerifier::RepairFailureText(), false},
        {"finished", [](ControllerHarness&, Package& p) { p.WriteFinished(); }, nullptr,
         DownloadController::kFinished, "", true},
        {"md5checking",
         [](ControllerHarness& h, Package& p) {
             // A first file that takes long to read holds the check at it.
             p.WriteFinished();
             ASSERT_EQ(::truncate(h.SaveFile(0).c_str(), 4ll << 30), 0);
             TaskPersistence(h.JobFile()).RecordFinishedFile(0, h.SaveFile(0));
         },
         [](DownloadController& c) { c.StartVerification(false); }, DownloadController::kMd5Checking,
         texts::kMsgMd5Working, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::TempDir dir;
        ControllerHarness h(dir.path());
        Package p(h);
        if (row.before)
            row.before(h, p);
        platform::RecordingMessageSink messages;
        DownloadController& c = h.Make();
        ASSERT_GE(c.Initialize(), 0);
        c.PollState();
        if (row.bring)
            row.bring(c);
        ASSERT_EQ(c.State(), row.state);
        platform::SleepMs(200); // notices of the way here come first
        const size_t before = messages.messages().size();
        c.StartVerification(false);
        if (row.starts) {
            EXPECT_EQ(c.State(), DownloadController::kMd5Checking);
            EXPECT_TRUE(AwaitEnd(c, 60));
            EXPECT_EQ(c.State(), DownloadController::kCheckFinished);
        } else {
            EXPECT_EQ(c.State(), row.state);
        }
        const size_t expected = before + (row.message.empty() ? 0 : 1);
        if (!row.message.empty()) {
            ASSERT_TRUE(messages.WaitFor(expected, 3000));
            EXPECT_EQ(messages.messages()[before].text.rfind(row.message, 0), 0u);
        }
        platform::SleepMs(100);
        EXPECT_EQ(messages.messages().size(), expected);
        h.controller.reset(); // a check still at work ends with its controller
        EngineCleanup();
        EngineCloseServices();
    }

    // Checkfinished: the verify operation installs (the seams stand for the installer).
    package_.WriteFinished();
    RecordingSeams seams(controller_);
    harness_.env.seams = &seams;
    DownloadController& c = StartFinished();
    c.StartVerification(false);
    ASSERT_TRUE(AwaitEnd(c, 60));
    ASSERT_EQ(c.State(), DownloadController::kCheckFinished);
    c.StartVerification(false);
    EXPECT_EQ(seams.calls(), std::vector<std::string>{"install verified"});
}

TEST_F(ControllerVerifyTest, ExitDuringACheckStopsAndJoinsIt) {
    package_.WriteFinished();
    ASSERT_EQ(::truncate(harness_.SaveFile(1).c_str(), 4ll << 30), 0);
    TaskPersistence(harness_.JobFile()).RecordFinishedFile(1, harness_.SaveFile(1));
    LogCapture log;
    DownloadController& c = StartFinished();
    c.MarkUserExit();
    c.StartVerification(false);
    // File 0 weighs 1 of 7: beyond its share, file 1 is being read.
    ASSERT_TRUE(WaitUntil([&] { return c.GetCheckProgress() > 10000 / 7; }, 60));
    c.OnExit(); // returns once the worker has ended
    EXPECT_FALSE(c.IsVerifying());
    EXPECT_EQ(c.State(), DownloadController::kMd5Checking) << "the check stopped where it was";
    EXPECT_EQ(harness_.events.Count(StatisticsEvents::kUserExit), 1);
    EXPECT_EQ(harness_.events.Count(StatisticsEvents::kVerifyPassed), 0);
    EXPECT_EQ(log.Count("pkg0.bin"), 1);
    EXPECT_EQ(log.Count("pkg1.bin"), 0) << "file 1 was neither matched nor mismatched";
    EXPECT_FALSE(EngineInitialized()) << "the engine was shut down";
}

TEST_F(ControllerVerifyTest, ControllerGoingAwayDuringARepairStopsItsWait) {
    package_.onDisk[0] = "wrong";
    if (!Serve(package_.contents))
        GTEST_SKIP() << "nginx is not installed";
    // The repair downloads slowly: it is still waiting when the controller goes.
    harness_.config.packageUrls[0] =
        "http://127.0.0.1:" + std::to_string(server_.port()) + "/slow/" + harness_.config.fileNames[0];
    package_.WriteFinished();
    DownloadController& c = StartFinished();
    c.StartVerification(false);
    auto speed = [&] { return QueryText([&](char* b, const int* n) { return c.GetRepairSpeedText(b, n); }); };
    ASSERT_TRUE(
        WaitUntil([&] { return c.State() == DownloadController::kCheckRecover && speed() != "0 B/s"; }, 60))
        << "state " << c.State();
    const std::string status = QueryText([&](char* b, const int* n) { return c.GetFileStatusText(0, b, n); });
    EXPECT_TRUE(status.rfind(texts::kStatusPrepareRepair, 0) == 0 ||
                status.rfind(texts::kStatusRepairing, 0) == 0)
        << status;
    harness_.controller.reset(); // returns once the worker has ended
    EXPECT_EQ(harness_.events.Count(StatisticsEvents::kFileRepaired), 0);
}

} // namespace
