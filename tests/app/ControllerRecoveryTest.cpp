// What a start finds: the job file and the package files on disk decide between a
// fresh start, a finished job, one to verify again, one to resume and one that is lost.
#include "ControllerFixture.h"

#include "app/ControllerTexts.h"
#include "app/StatisticsEvents.h"
#include "app/TaskPersistence.h"
#include "platform/Clock.h"
#include "platform/Disk.h"
#include "platform/ProfileFile.h"

#include <functional>

namespace {

using controllertest::ControllerTest;
using testsupport::FileExists;
using testsupport::WriteFile;

class ControllerRecoveryTest : public ControllerTest {
public: // the rows of the table below set themselves up through these
    controllertest::ControllerHarness& harness() { return harness_; }
    void WriteKey(const char* key, const std::string& value) {
        std::filesystem::create_directories(harness_.DataFolder());
        ASSERT_TRUE(
            platform::WriteProfileString("BrisklaneTask", key, value.c_str(), harness_.JobFile().c_str()));
    }
    // The keys a started job leaves behind.
    void WriteStartedJob(bool complete) {
        WriteKey("BrisklaneTaskHash", controllertest::kProductKey);
        WriteKey("BrisklaneTaskCreateTime", "2024-01-02 03:04:05");
        WriteKey("BrisklaneTaskSavePath", harness_.SaveFolder());
        WriteKey("BrisklaneTaskEntrence", harness_.config.fileNames[0]);
        if (complete)
            WriteKey("BrisklaneTaskIsComplete", "COMPLETE");
    }
    void WriteFinal(int i) {
        std::filesystem::create_directories(harness_.SaveFolder());
        WriteFile(harness_.SaveFile(i), std::string(1000 + i, 'p'));
    }
    void WriteFinishedFile(int i) {
        WriteFinal(i);
        ASSERT_TRUE(TaskPersistence(harness_.JobFile()).RecordFinishedFile(i, harness_.SaveFile(i)));
    }
    void WriteTemporary(int i) {
        std::filesystem::create_directories(harness_.SaveFolder());
        WriteFile(harness_.SaveFile(i) + ".qvtmp", std::string(300, 't'));
    }
    void Touch(int i) {
        uint64_t t = 0;
        ASSERT_EQ(platform::ModificationFileTime(harness_.SaveFile(i), t), platform::FileQuery::Ok);
        ASSERT_TRUE(platform::SetModificationFileTime(harness_.SaveFile(i), t + 10000000));
    }
};

TEST_F(ControllerRecoveryTest, StartFindsWhatTheJobFileAndThePackageFilesTell) {
    struct Row {
        const char* name;
        std::function<void(ControllerRecoveryTest&)> setUp;
        uint32_t state;
        std::vector<int> missing;
        bool lostMessage;
        int result;
    };
    const Row rows[] = {
        {"no job file", [](ControllerRecoveryTest&) {}, DownloadController::kReady, {}, false, 0},
        {"job file with every start key empty",
         [](ControllerRecoveryTest& t) {
             t.WriteKey("BrisklaneTaskCreateTime", "");
             t.WriteKey("BrisklaneTaskDownloadTime", "17");
             t.WriteTemporary(0);
             t.WriteTemporary(1);
         },
         DownloadController::kReady,
         {},
         false,
         0},
        {"complete, all four intact",
         [](ControllerRecoveryTest& t) {
             t.WriteStartedJob(true);
             for (int i = 0; i < 4; ++i)
                 t.WriteFinishedFile(i);
         },
         DownloadController::kFinished,
         {},
         false,
         1},
        {"complete, file 2 touched since",
         [](ControllerRecoveryTest& t) {
             t.WriteStartedJob(true);
             for (int i = 0; i < 4; ++i)
                 t.WriteFinishedFile(i);
             t.Touch(2);
         },
         DownloadController::kReload,
         {2},
         false,
         1},
        {"complete, files 1 and 3 deleted",
         [](ControllerRecoveryTest& t) {
             t.WriteStartedJob(true);
             for (int i = 0; i < 4; ++i)
                 t.WriteFinishedFile(i);
             std::filesystem::remove(t.harness().SaveFile(1));
             std::filesystem::remove(t.harness().SaveFile(3));
         },
         DownloadController::kRecover,
         {1, 3},
         false,
         1},
        {"complete, all four deleted",
         [](ControllerRecoveryTest& t) {
             t.WriteStartedJob(true);
             for (int i = 0; i < 4; ++i)
                 t.WriteFinishedFile(i);
             std::filesystem::remove_all(t.harness().SaveFolder());
         },
         DownloadController::kReady,
         {},
         true,
         0},
        {"not complete, temporary files of 0 and 2",
         [](ControllerRecoveryTest& t) {
             t.WriteStartedJob(false);
             t.WriteTemporary(0);
             t.WriteTemporary(2);
         },
         DownloadController::kRecover,
         {0, 1, 2, 3},
         false,
         1},
        {"not complete, nothing on disk",
         [](ControllerRecoveryTest& t) { t.WriteStartedJob(false); },
         DownloadController::kReady,
         {},
         true,
         0},
        {"not complete, file 1 finished in an earlier run",
         [](ControllerRecoveryTest& t) {
             t.WriteStartedJob(false);
             t.WriteFinishedFile(1);
             t.WriteTemporary(0);
         },
         DownloadController::kReload,
         {0, 2, 3},
         false,
         1},
    };

    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(harness_.DataFolder());
        std::filesystem::remove_all(harness_.SaveFolder());
        row.setUp(*this);
        const bool hadJobFile = FileExists(harness_.JobFile());
        platform::RecordingMessageSink messages;

        DownloadController& c = harness_.Make();
        EXPECT_EQ(c.Initialize(), row.result);
        EXPECT_EQ(c.State(), row.state);
        EXPECT_EQ(c.MissingFiles(), row.missing);
        EXPECT_TRUE(std::filesystem::is_directory(harness_.DataFolder()));
        EXPECT_EQ(c.TaskFilePath(), harness_.JobFile());

        if (row.lostMessage) {
            ASSERT_TRUE(messages.WaitFor(1, 3000));
            const auto shown = messages.messages();
            ASSERT_EQ(shown.size(), 1u);
            EXPECT_EQ(shown[0].text.rfind(texts::kMsgFilesLost, 0), 0u) << shown[0].text;
            EXPECT_EQ(shown[0].caption, texts::kCaption);
            EXPECT_FALSE(FileExists(harness_.JobFile())) << "a lost job's file is deleted";
            EXPECT_EQ(c.SavePath(), harness_.SaveFolder()) << "back to the default save folder";
        } else {
            platform::SleepMs(300);
            EXPECT_TRUE(messages.messages().empty()) << messages.messages()[0].text;
            EXPECT_EQ(FileExists(harness_.JobFile()), hadJobFile || row.result == 1);
        }
        // Files found intact are finished; the others got a task again.
        for (int i = 0; i < 4; ++i) {
            const bool missing = std::count(row.missing.begin(), row.missing.end(), i) != 0;
            if (row.result == 1) {
                EXPECT_EQ(c.IsFileFinished(i), !missing) << i;
                EXPECT_EQ(c.Task(i) != 0, missing) << i;
            } else {
                EXPECT_FALSE(c.IsFileFinished(i)) << i;
                EXPECT_EQ(c.Task(i), 0u) << i;
            }
        }
        harness_.controller.reset();
        EngineCleanup();
        EngineCloseServices();
    }
}

TEST_F(ControllerRecoveryTest, ResumedJobKeepsItsHashSavePathAndResumeFiles) {
    const std::string elsewhere = dir_.path() + "/other/Orlanta10117";
    WriteKey("BrisklaneTaskHash", "cafe");
    WriteKey("BrisklaneTaskCreateTime", "2024-01-02 03:04:05");
    WriteKey("BrisklaneTaskSavePath", elsewhere);
    WriteKey("BrisklaneDownloadInfo2", dir_.path() + "/info2.qvinfo");
    std::filesystem::create_directories(elsewhere);
    WriteFile(elsewhere + "/pkg3.bin.qvtmp", "t");

    DownloadController& c = harness_.Make();
    EXPECT_EQ(c.Initialize(), 1);
    EXPECT_EQ(c.State(), DownloadController::kRecover);
    EXPECT_EQ(c.TaskHash(), "cafe");
    EXPECT_EQ(c.SavePath(), elsewhere);
    EXPECT_EQ(c.ResumeInfoPath(2), dir_.path() + "/info2.qvinfo");
    EXPECT_EQ(c.ResumeInfoPath(0), harness_.DataFolder() + "/cafeQVInfo/pkg0.bin.qvinfo");
    EXPECT_TRUE(std::filesystem::is_directory(harness_.DataFolder() + "/cafeQVInfo"));
    // The entry name was missing: the first file's name stands in and is written back.
    char buf[4096];
    platform::GetProfileString("BrisklaneTask", "BrisklaneTaskEntrence", "", buf, sizeof buf,
                               harness_.JobFile().c_str());
    EXPECT_STREQ(buf, "pkg0.bin");
    platform::GetProfileString("BrisklaneTask", "BrisklaneTask3", "", buf, sizeof buf,
                               harness_.JobFile().c_str());
    EXPECT_STREQ(buf, "pkg3.bin") << "a re-created task is named in the job file";
    // A resumed job sends "continue" once its tasks run again.
    EXPECT_EQ(harness_.events.Count(StatisticsEvents::kContinued), 1);
    EXPECT_TRUE(c.TasksStarted());
}

} // namespace
