// The start-up sequence every front end runs: what it makes of what the start finds,
// the front end's settings before the start button, the single instance, and the end.
#include "ControllerFixture.h"

#include "app/ControllerStartup.h"
#include "app/StatisticsEvents.h"
#include "platform/SingleInstance.h"

#include <atomic>
#include <functional>
#include <poll.h>
#include <thread>

namespace {

using controllertest::ControllerHarness;
using controllertest::WaitUntil;
using Outcome = ControllerStartup::Outcome;

ControllerStartup::Options OptionsFor(const ControllerHarness& h, const std::string& instanceFolder) {
    ControllerStartup::Options o;
    o.config = h.config;
    o.instanceFolder = instanceFolder;
    return o;
}

TEST(ControllerStartupTest, OutcomeFollowsWhatTheStartFinds) {
    struct Row {
        const char* name;
        std::function<void(const std::string& dir)> before; // before the start
        bool pressStart;
        Outcome outcome;
        int initResult;
        uint32_t state; // after the start
        bool settingsAsked;
    };
    const Row rows[] = {
        {"nothing to resume, start pressed", nullptr, true, Outcome::Fresh, 0, DownloadController::kPreparing,
         true},
        {"nothing to resume, left to the user", nullptr, false, Outcome::Fresh, 0, DownloadController::kReady,
         true},
        {"finished job",
         [](const std::string& dir) { controllertest::WriteFinishedJob(ControllerHarness(dir)); }, true,
         Outcome::Resumed, 1, DownloadController::kFinished, true},
        // The program as built carries no statistics configuration.
        {"unpacked program",
         [](const std::string& dir) { controllertest::WriteResourceFile(dir + "/program", false); }, true,
         Outcome::Failed, -2, DownloadController::kReady, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::TempDir dir;
        ControllerHarness h(dir.path());
        if (row.before)
            row.before(dir.path());
        DownloadController c(h.env);
        ControllerStartup::Options options = OptionsFor(h, dir.file("instance"));
        options.pressStart = row.pressStart;
        std::vector<std::string> asked; // outcome and state when the settings were asked for
        options.beforeStart = [&](Outcome o) {
            asked.push_back(std::to_string(static_cast<int>(o)) + " " + std::to_string(c.State()));
        };
        ControllerStartup startup(c, std::move(options));

        EXPECT_EQ(startup.Start(), row.outcome);
        EXPECT_EQ(startup.InitResult(), row.initResult);
        EXPECT_EQ(c.State(), row.state);
        EXPECT_NE(startup.Instance(), nullptr);
        if (row.settingsAsked) {
            // Before start was pressed.
            const uint32_t found = row.outcome == Outcome::Fresh ? DownloadController::kReady : row.state;
            EXPECT_EQ(asked, std::vector<std::string>{std::to_string(static_cast<int>(row.outcome)) + " " +
                                                      std::to_string(found)});
        } else {
            EXPECT_TRUE(asked.empty());
        }
        EXPECT_EQ(h.events.Count(StatisticsEvents::kDownloadStarted),
                  row.state == DownloadController::kPreparing);
        EXPECT_EQ(startup.Start(), row.outcome) << "runs once";

        // The end runs the controller's exit procedure: nobody chose to exit here.
        startup.End();
        EXPECT_EQ(h.events.Count(StatisticsEvents::kAbnormalEnd), 1);
        EXPECT_FALSE(EngineInitialized());
        startup.End();
        EXPECT_EQ(h.events.Count(StatisticsEvents::kAbnormalEnd), 1);
    }
}

// The first instance runs on a thread of its own, which answers later starts as a front
// end's thread does.
TEST(ControllerStartupTest, SecondStartOfThePackageAsksTheFirstAndLeavesItsControllerAlone) {
    testsupport::TempDir dir;
    const std::string instances = dir.file("instance");
    ControllerHarness firstHarness(dir.file("first"));
    std::atomic<bool> ready{false}, activated{false}, stop{false};
    std::thread first([&] {
        DownloadController c(firstHarness.env);
        ControllerStartup::Options options = OptionsFor(firstHarness, instances);
        options.onActivate = [&] { activated = true; };
        ControllerStartup startup(c, std::move(options));
        EXPECT_EQ(startup.Start(), Outcome::Fresh);
        ready = true;
        platform::SingleInstance* instance = startup.Instance();
        while (!stop) {
            pollfd p{instance ? instance->activationFd() : -1, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0 && (p.revents & POLLIN))
                instance->HandlePending();
        }
        startup.End();
    });
    ASSERT_TRUE(WaitUntil([&] { return ready.load(); }, 60));

    ControllerHarness second(dir.file("second"));
    DownloadController c(second.env);
    ControllerStartup startup(c, OptionsFor(second, instances));
    EXPECT_EQ(startup.Start(), Outcome::AlreadyRunning);
    EXPECT_EQ(startup.Instance(), nullptr);
    EXPECT_TRUE(WaitUntil([&] { return activated.load(); }, 10)) << "the first was asked to the front";
    // The second never started its controller, and does not end it either.
    startup.End();
    EXPECT_FALSE(std::filesystem::exists(second.DataFolder()));
    EXPECT_EQ(c.State(), DownloadController::kReady);
    EXPECT_TRUE(second.events.entries().empty());

    stop = true;
    first.join();
    EngineCleanup();
    EngineCloseServices();
}

} // namespace
