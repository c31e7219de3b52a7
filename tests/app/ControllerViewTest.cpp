// The snapshot a front end shows, in the states a job passes through: its values agree
// with what the controller's own queries say at the same moment, and reading it (or
// them) changes nothing.
#include "ControllerFixture.h"

#include "app/ControllerTexts.h"
#include "app/ControllerView.h"
#include "app/StatisticsEvents.h"
#include "engine/api/BrisklaneEngine.h"

#include <functional>

namespace {

using controllertest::ControllerHarness;
using controllertest::QueryText;
using controllertest::WaitUntil;
using testsupport::FileExists;
using testsupport::ReadFile;

void ExpectAgreesWithTheQueries(DownloadController& c, const ControllerView& v) {
    EXPECT_EQ(v.state, c.State());
    EXPECT_EQ(v.downloadProgress, c.GetDownloadProgress());
    EXPECT_EQ(v.checkProgress, c.GetCheckProgress());
    EXPECT_EQ(v.repairProgress, c.GetRepairProgress());
    EXPECT_EQ(v.speedText, QueryText([&](char* b, const int* n) { return c.GetSpeedText(b, n); }));
    EXPECT_EQ(v.repairSpeedText,
              QueryText([&](char* b, const int* n) { return c.GetRepairSpeedText(b, n); }));
    EXPECT_EQ(v.sizeText, QueryText([&](char* b, const int* n) { return c.GetSizeText(b, n); }));
    EXPECT_EQ(v.versionText, QueryText([&](char* b, const int* n) { return c.GetVersionText(b, n); }));
    EXPECT_EQ(v.packagePath, QueryText([&](char* b, const int* n) { return c.GetPackagePath(b, n); }));
    EXPECT_EQ(v.savePath, c.SavePath());
    for (int i = 0; i < c.GetFileCount(); ++i) {
        EXPECT_EQ(v.files[i].name, QueryText([&](char* b, const int* n) { return c.GetFileName(i, b, n); }));
        EXPECT_EQ(v.files[i].status,
                  QueryText([&](char* b, const int* n) { return c.GetFileStatusText(i, b, n); }));
        EXPECT_EQ(v.files[i].finished, c.IsFileFinished(i));
    }
    EXPECT_EQ(v.diskSpaceLow, c.IsDiskSpaceLow() != 0);
    EXPECT_EQ(v.watchingDiskSpace, c.SparseMode());
    EXPECT_EQ(v.verifying, c.IsVerifying());
    EXPECT_EQ(v.wasRepaired, c.WasRepaired());
    EXPECT_EQ(v.installerLaunched, c.InstallerLaunched());
}

TEST(ControllerViewTest, SnapshotAgreesWithTheQueriesInEachStateAndChangesNothing) {
    struct Row {
        const char* name;
        std::function<void(ControllerHarness&)> before; // before the controller starts
        std::function<void(DownloadController&)> bring; // into the state
        uint32_t state;
        const char* size; // null: whatever the files on disk add up to
        unsigned progress;
        const char* status; // of file 1
        bool finished;
        bool diskLow;
        bool userExit;
    };
    const Row rows[] = {
        {"ready", nullptr, nullptr, DownloadController::kReady, "0 B/10.0 MB", 0, texts::kStatusNotStarted,
         false, false, false},
        {"preparing", nullptr, [](DownloadController& c) { c.Begin(); }, DownloadController::kPreparing,
         "0 B/10.0 MB", 0, texts::kStatusNotStarted, false, false, false},
        {"held back for room",
         [](ControllerHarness& h) { h.env.freeSpace = [](const std::string&) { return uint64_t{1000}; }; },
         [](DownloadController& c) { c.PrimaryAction(); }, DownloadController::kReady, "0 B/10.0 MB", 0,
         texts::kStatusNotStarted, false, true, false},
        {"failed", nullptr, [](DownloadController& c) { c.HandleTaskError(kTaskStateDiskError); },
         DownloadController::kFailed, "0 B/10.0 MB", 0, texts::kStatusNotStarted, false, false, false},
        {"finished", [](ControllerHarness& h) { controllertest::WriteFinishedJob(h); }, nullptr,
         DownloadController::kFinished, "10.0 MB/10.0 MB", 10000, texts::kStatusDone, true, false, false},
        {"verified",
         [](ControllerHarness& h) {
             for (std::string& md5 : h.config.expectedMd5)
                 md5 = Md5Hex("done", 4);
             controllertest::WriteFinishedJob(h);
         },
         [](DownloadController& c) {
             c.StartVerification(false);
             EXPECT_TRUE(WaitUntil([&] { return !c.IsVerifying(); }, 60));
         },
         DownloadController::kCheckFinished, nullptr, 10000, texts::kStatusVerified, true, false, false},
        {"exit chosen", nullptr, [](DownloadController& c) { c.MarkUserExit(); }, DownloadController::kReady,
         "0 B/10.0 MB", 0, texts::kStatusNotStarted, false, false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::TempDir dir;
        ControllerHarness h(dir.path());
        if (row.before)
            row.before(h);
        platform::RecordingMessageSink messages;
        DownloadController& c = h.Make();
        ASSERT_GE(c.Initialize(), 0);
        c.PollState();
        if (row.bring)
            row.bring(c);

        const size_t events = h.events.entries().size();
        const std::string job = FileExists(h.JobFile()) ? ReadFile(h.JobFile()) : "";
        const ControllerView v = c.Snapshot();
        EXPECT_EQ(v.state, row.state);
        if (row.size) {
            EXPECT_EQ(v.sizeText, row.size);
        }
        EXPECT_EQ(v.downloadProgress, row.progress);
        EXPECT_EQ(v.files[1].name, "pkg1.bin");
        EXPECT_EQ(v.files[1].status, row.status);
        EXPECT_EQ(v.files[1].finished, row.finished);
        EXPECT_EQ(v.diskSpaceLow, row.diskLow);
        EXPECT_EQ(v.userExit, row.userExit);
        EXPECT_EQ(v.savePath, h.SaveFolder());
        EXPECT_EQ(v.packagePath, h.SaveFile(0));
        EXPECT_EQ(v.versionText, texts::kVersionText);
        EXPECT_FALSE(v.verifying);
        EXPECT_FALSE(v.wasRepaired);
        if (row.state == DownloadController::kCheckFinished) {
            EXPECT_EQ(v.checkProgress, 10000u);
        }
        ExpectAgreesWithTheQueries(c, v);

        for (int i = 0; i < 3; ++i)
            c.Snapshot();
        EXPECT_EQ(c.State(), row.state);
        EXPECT_EQ(h.events.entries().size(), events) << "a read sent an event";
        EXPECT_EQ(FileExists(h.JobFile()) ? ReadFile(h.JobFile()) : "", job) << "a read wrote the job file";
        h.controller.reset();
        EngineCleanup();
        EngineCloseServices();
    }
}

} // namespace
