// Whole jobs against a real engine and a local nginx: start, pause, continue and
// finish; and a job whose process was killed in the middle, taken up again at the next
// start.
#include "ControllerFixture.h"

#include "app/ControllerTexts.h"
#include "app/ControllerTimers.h"
#include "app/StatisticsEvents.h"
#include "platform/Clock.h"
#include "platform/ProfileFile.h"
#include "support/NginxServer.h"
#include "support/RandomBytes.h"
#include "support/ServerProcess.h"

#include <chrono>
#include <csignal>
#include <thread>

namespace {

using controllertest::ControllerTest;
using controllertest::LogCapture;
using controllertest::LoggedStates;
using controllertest::QueryText;
using testsupport::FileExists;
using testsupport::NginxServer;
using testsupport::ReadFile;
using testsupport::WriteFile;

const size_t kSizes[4] = {2 * 1048576 + 123, 3 * 1048576 + 7, 3 * 1048576 + 4096, 4 * 1048576 + 1};

std::string JobValue(const std::string& job, const char* key, const char* section = "BrisklaneTask") {
    char buf[4096];
    platform::GetProfileString(section, key, "", buf, sizeof buf, job.c_str());
    return buf;
}

class ControllerDownloadTest : public ControllerTest {
protected:
    void SetUp() override {
        ControllerTest::SetUp();
        if (NginxServer::Program().empty())
            GTEST_SKIP() << "nginx is not installed";
        std::filesystem::create_directories(dir_.path() + "/www");
        std::filesystem::create_directories(dir_.path() + "/nginx");
        for (int i = 0; i < 4; ++i) {
            contents_[i] = testsupport::RandomBytes(kSizes[i], 7 + i);
            WriteFile(dir_.path() + "/www/" + harness_.config.fileNames[i], contents_[i]);
        }
        // Throttled per connection, so that every state lasts long enough to be seen.
        const std::string slow = "location /slow/ { alias " + dir_.path() + "/www/; limit_rate 128k; }";
        ASSERT_TRUE(server_.Start(dir_.path() + "/www", dir_.path() + "/nginx", slow));
        for (int i = 0; i < 4; ++i) {
            harness_.config.packageUrls[i] = "http://127.0.0.1:" + std::to_string(server_.port()) + "/slow/" +
                                             harness_.config.fileNames[i];
            harness_.config.expectedSizes[i] = kSizes[i];
        }
    }

    // Runs the front end's calls from this thread until done() or the time is up: the
    // poll every 100 ms, the tick and the speed text every second.
    template <typename Done> bool Drive(DownloadController& c, Done done, int seconds) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        for (int n = 0; std::chrono::steady_clock::now() < end; ++n) {
            c.PollState();
            if (n % 10 == 9) {
                c.Tick();
                QueryText([&](char* b, const int* k) { return c.GetSpeedText(b, k); });
            }
            if (done()) {
                c.PollState(); // as the next timer call would, before anything else happens
                return true;
            }
            platform::SleepMs(100);
        }
        return false;
    }

    void ExpectPackageOnDisk() {
        for (int i = 0; i < 4; ++i) {
            ASSERT_TRUE(FileExists(harness_.SaveFile(i))) << i;
            EXPECT_FALSE(FileExists(harness_.SaveFile(i) + ".qvtmp")) << i;
            EXPECT_TRUE(ReadFile(harness_.SaveFile(i)) == contents_[i]) << "file " << i << " differs";
        }
    }

    NginxServer server_;
    std::string contents_[4];
};

TEST_F(ControllerDownloadTest, JobRunsThroughItsStatesWithPauseAndContinue) {
    LogCapture log;
    DownloadController* self = nullptr;
    controllertest::RecordingSeams seams(self);
    harness_.env.seams = &seams;
    DownloadController& c = harness_.Make();
    self = &c;
    ASSERT_EQ(c.Initialize(), 0);
    ASSERT_EQ(c.State(), DownloadController::kReady);
    c.PollState();

    c.PrimaryAction();
    EXPECT_EQ(c.State(), DownloadController::kPreparing);
    ASSERT_TRUE(Drive(
        c, [&] { return c.State() == DownloadController::kDownloading; }, 60))
        << "state " << c.State();
    EXPECT_GT(c.GetDownloadProgress(), 0u);
    EXPECT_LT(c.GetDownloadProgress(), 10000u);

    c.PrimaryAction();
    EXPECT_EQ(c.State(), DownloadController::kPause);
    Drive(
        c, [] { return false; }, 1);
    const uint64_t paused = c.DownloadedBytes();
    const std::string stored = JobValue(harness_.JobFile(), "BrisklaneTaskLastSizeLow");
    Drive(
        c, [] { return false; }, 1);
    EXPECT_EQ(c.DownloadedBytes(), paused) << "stopped tasks went on downloading";
    EXPECT_EQ(JobValue(harness_.JobFile(), "BrisklaneTaskLastSizeLow"), stored);
    EXPECT_EQ(QueryText([&](char* b, const int* k) { return c.GetSpeedText(b, k); }), "0 B/s");

    c.PrimaryAction();
    EXPECT_EQ(c.State(), DownloadController::kResume);
    ASSERT_TRUE(Drive(
        c, [&] { return c.State() == DownloadController::kFinished; }, 120))
        << "state " << c.State() << " progress " << c.GetDownloadProgress();

    std::vector<std::string> states = LoggedStates(log);
    // Progress may arrive before a second's speed does: preparing then turns to reload.
    states.erase(std::remove(states.begin(), states.end(), "reload"), states.end());
    EXPECT_EQ(states, (std::vector<std::string>{"ready", "preparing", "downloading", "pause", "resume",
                                                "downloading", "finished"}));
    ExpectPackageOnDisk();

    const std::string job = harness_.JobFile();
    EXPECT_EQ(JobValue(job, "BrisklaneTaskIsComplete"), "COMPLETE");
    uint64_t total = 0;
    for (size_t s : kSizes)
        total += s;
    const std::string lastSize = JobValue(job, "BrisklaneTaskLastSizeLow");
    ASSERT_FALSE(lastSize.empty());
    EXPECT_GT(std::stoull(lastSize), paused);
    EXPECT_LE(std::stoull(lastSize), total);
    EXPECT_GT(std::stoul(JobValue(job, "BrisklaneTaskDownloadTime")), 0ul);
    for (int i = 0; i < 4; ++i) {
        const std::string key = "BrisklaneTask" + std::to_string(i) + "FileSizeLow";
        EXPECT_EQ(JobValue(job, key.c_str(), "BrisklaneFinishInfo"), std::to_string(kSizes[i]));
        EXPECT_TRUE(c.IsFileIntact(i, false)) << i;
        EXPECT_EQ(QueryText([&](char* b, const int* k) { return c.GetFileStatusText(i, b, k); }),
                  texts::kStatusDone);
    }
    EXPECT_EQ(c.GetDownloadProgress(), 10000u);
    EXPECT_EQ(QueryText([&](char* b, const int* k) { return c.GetSizeText(b, k); }), "12.0 MB/12.0 MB");

    // The resource list is fetched again each time downloading begins.
    const auto calls = seams.calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "mirrors"), 2);
    EXPECT_EQ(calls.size(), 2u);

    const auto& ev = harness_.events;
    EXPECT_EQ(ev.Count(StatisticsEvents::kDownloadStarted), 1);
    EXPECT_EQ(ev.Count(StatisticsEvents::kPaused), 1);
    EXPECT_EQ(ev.Count(StatisticsEvents::kContinued), 1);
    EXPECT_EQ(ev.Count(StatisticsEvents::kDownloadFinished), 1);
    std::vector<std::string> finishedFiles;
    for (const auto& e : ev.entries())
        if (e.code == StatisticsEvents::kFileFinished)
            finishedFiles.push_back(e.text);
    std::sort(finishedFiles.begin(), finishedFiles.end());
    EXPECT_EQ(finishedFiles, (std::vector<std::string>{"pkg0.bin", "pkg1.bin", "pkg2.bin", "pkg3.bin"}));
}

// The queries only read: bytes arriving turn preparing to reload at the poll, but only
// the tick that measures the speed turns the job to downloading, and paces the fetch of
// the resource list from there.
TEST_F(ControllerDownloadTest, SpeedMovesTheJobAtTheTickNotAtItsQuery) {
    DownloadController* self = nullptr;
    controllertest::RecordingSeams seams(self);
    harness_.env.seams = &seams;
    DownloadController& c = harness_.Make();
    self = &c;
    ASSERT_EQ(c.Initialize(), 0);
    c.PrimaryAction();
    ASSERT_TRUE(controllertest::WaitUntil(
        [&] {
            c.PollState();
            return c.State() == DownloadController::kReload;
        },
        60))
        << "state " << c.State();
    for (int i = 0; i < 5; ++i) {
        QueryText([&](char* b, const int* k) { return c.GetSpeedText(b, k); });
        for (int f = 0; f < 4; ++f)
            QueryText([&](char* b, const int* k) { return c.GetFileStatusText(f, b, k); });
        c.GetDownloadProgress();
        c.Snapshot();
        c.PollState();
        platform::SleepMs(100);
    }
    EXPECT_EQ(c.State(), DownloadController::kReload);
    EXPECT_TRUE(seams.calls().empty());

    c.Tick();
    EXPECT_EQ(c.State(), DownloadController::kDownloading);
    EXPECT_EQ(seams.calls(), std::vector<std::string>{"mirrors"});
    EXPECT_NE(c.Snapshot().speedText, "0 B/s");
}

TEST_F(ControllerDownloadTest, JobKilledInTheMiddleIsTakenUpAtTheNextStart) {
    const std::string ini = dir_.path() + "/driver.ini";
    auto put = [&](const std::string& key, const std::string& value) {
        ASSERT_TRUE(platform::WriteProfileString("driver", key.c_str(), value.c_str(), ini.c_str()));
    };
    put("dataRoot", harness_.env.dataRoot);
    put("workDir", harness_.env.workingDirectory);
    put("resourceFile", harness_.env.resourceFile);
    put("place", dir_.path() + "/place");
    put("productKey", harness_.config.productKey);
    for (int i = 0; i < 4; ++i) {
        const std::string n = std::to_string(i);
        put("url" + n, harness_.config.packageUrls[i]);
        put("name" + n, harness_.config.fileNames[i]);
        put("size" + n, std::to_string(kSizes[i]));
        put("md5" + n, harness_.config.expectedMd5[i]);
    }

    // First run, in a process of its own, ended without warning once a fifth is there.
    testsupport::ServerProcess driver;
    const std::string out = dir_.path() + "/driver.log";
    ASSERT_TRUE(driver.Start({BRISKLANE_CONTROLLER_DRIVER, ini}, out));
    bool finalFileBeforeKill = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        ASSERT_LT(std::chrono::steady_clock::now(), end) << ReadFile(out);
        ASSERT_TRUE(driver.Running()) << ReadFile(out);
        const std::string text = ReadFile(out);
        const size_t at = text.rfind("progress ");
        if (at != std::string::npos && std::stoul(text.substr(at + 9)) >= 2000)
            break;
        platform::SleepMs(50);
    }
    ::kill(driver.pid(), SIGKILL);
    driver.Stop();
    for (int i = 0; i < 4; ++i)
        finalFileBeforeKill = finalFileBeforeKill || FileExists(harness_.SaveFile(i));
    EXPECT_NE(ReadFile(out).find("initialized 0 state 1"), std::string::npos) << ReadFile(out);
    EXPECT_EQ(JobValue(harness_.JobFile(), "BrisklaneTaskIsComplete"), "");

    // Second run: the job is found, its tasks re-created and the download finishes,
    // driven by the timers while this thread asks for texts as a window would.
    LogCapture log;
    DownloadController& c = harness_.Make();
    ASSERT_EQ(c.Initialize(), 1);
    const uint32_t expected =
        finalFileBeforeKill ? DownloadController::kReload : DownloadController::kRecover;
    EXPECT_EQ(c.State(), expected);
    EXPECT_EQ(harness_.events.Count(StatisticsEvents::kContinued), 1);
    ControllerTimers timers(c);
    ASSERT_TRUE(timers.Start(
        {}, [&](int) { QueryText([&](char* b, const int* k) { return c.GetSpeedText(b, k); }); }));
    const auto finish = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (c.State() != DownloadController::kFinished && std::chrono::steady_clock::now() < finish) {
        for (int i = 0; i < 4; ++i)
            QueryText([&](char* b, const int* k) { return c.GetFileStatusText(i, b, k); });
        QueryText([&](char* b, const int* k) { return c.GetSizeText(b, k); });
        c.IsDiskSpaceLow();
        platform::SleepMs(100);
    }
    platform::SleepMs(300);
    timers.Stop();
    ASSERT_EQ(c.State(), DownloadController::kFinished) << "progress " << c.GetDownloadProgress();
    ExpectPackageOnDisk();
    const std::vector<std::string> states = LoggedStates(log);
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.front(), finalFileBeforeKill ? "reload" : "recover");
    EXPECT_EQ(states.back(), "finished");
    EXPECT_EQ(std::count(states.begin(), states.end(), "finished"), 1);
    EXPECT_EQ(JobValue(harness_.JobFile(), "BrisklaneTaskIsComplete"), "COMPLETE");
}

} // namespace
