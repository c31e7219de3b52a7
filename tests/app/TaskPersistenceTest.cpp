#include "app/TaskPersistence.h"

#include "platform/Disk.h"
#include "platform/ProfileFile.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <ctime>

namespace {

using testsupport::TempDir;
using testsupport::WriteFile;

std::string Value(const char* section, const char* key, const std::string& path) {
    char buf[4096];
    platform::GetProfileString(section, key, "", buf, sizeof buf, path.c_str());
    return buf;
}

TEST(TaskPersistenceTest, DownloadedSizeIsSplitAtTwoToThe31) {
    TempDir dir;
    const TaskPersistence job(dir.file("job.vedare"));
    const struct {
        uint64_t bytes;
        const char *high, *low;
    } cases[] = {
        {3221225472ull, "1", "1073741824"}, // 3 GiB
        {2147483647ull, "0", "2147483647"}, {2147483648ull, "1", "0"}, {0, "0", "0"},
        {10737418245ull, "5", "5"},
    };
    for (const auto& c : cases) {
        job.SaveDownloadedSize(c.bytes);
        EXPECT_EQ(Value("BrisklaneTask", "BrisklaneTaskLastSizeHigh", job.path()), c.high) << c.bytes;
        EXPECT_EQ(Value("BrisklaneTask", "BrisklaneTaskLastSizeLow", job.path()), c.low) << c.bytes;
    }
}

TEST(TaskPersistenceTest, FinishRecordHoldsLocalWriteTimeAndSizeInHalves) {
    TempDir dir;
    const TaskPersistence job(dir.file("job.vedare"));
    const std::string file = dir.file("pkg.bin");
    WriteFile(file, std::string(5000, 'x'));
    const uint64_t utc = 133000000000000000ull + 1234567; // a 2022 date with sub-second digits
    ASSERT_TRUE(platform::SetModificationFileTime(file, utc));

    ASSERT_TRUE(job.RecordFinishedFile(2, file));
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const uint64_t expected = utc + static_cast<int64_t>(local.tm_gmtoff) * 10000000;
    const std::string p = job.path();
    EXPECT_EQ(Value("BrisklaneFinishInfo", "BrisklaneTask2WriteTimeHigh", p), std::to_string(expected >> 32));
    EXPECT_EQ(Value("BrisklaneFinishInfo", "BrisklaneTask2WriteTimeLow", p),
              std::to_string(expected & 0xFFFFFFFFu));
    EXPECT_EQ(Value("BrisklaneFinishInfo", "BrisklaneTask2FileSizeHigh", p), "0");
    EXPECT_EQ(Value("BrisklaneFinishInfo", "BrisklaneTask2FileSizeLow", p), "5000");
    EXPECT_TRUE(job.MatchesFinishRecord(2, file));
    EXPECT_FALSE(job.MatchesFinishRecord(1, file)) << "another index has no record";

    // A changed write time or size no longer matches; a missing file never does.
    ASSERT_TRUE(platform::SetModificationFileTime(file, utc + 1));
    EXPECT_FALSE(job.MatchesFinishRecord(2, file));
    ASSERT_TRUE(platform::SetModificationFileTime(file, utc));
    EXPECT_TRUE(job.MatchesFinishRecord(2, file));
    WriteFile(file, std::string(5001, 'x'));
    ASSERT_TRUE(platform::SetModificationFileTime(file, utc));
    EXPECT_FALSE(job.MatchesFinishRecord(2, file));
    EXPECT_FALSE(job.RecordFinishedFile(3, dir.file("absent.bin")));
    EXPECT_EQ(Value("BrisklaneFinishInfo", "BrisklaneTask3FileSizeLow", p), "");
}

TEST(TaskPersistenceTest, CompletionMarkAndCloseSelection) {
    TempDir dir;
    const TaskPersistence job(dir.file("job.vedare"));
    EXPECT_EQ(job.GetCloseSelection(), -1) << "no file yet";
    EXPECT_FALSE(job.IsJobComplete());
    job.Write("BrisklaneTaskIsComplete", "complete");
    EXPECT_FALSE(job.IsJobComplete()) << "the mark is case-sensitive";
    job.MarkJobComplete();
    EXPECT_TRUE(job.IsJobComplete());
    EXPECT_EQ(job.GetCloseSelection(), 0);
    EXPECT_EQ(job.SetCloseSelection(2), 1);
    EXPECT_EQ(job.GetCloseSelection(), 2);
    EXPECT_EQ(TaskPersistence().SetCloseSelection(1), 0);
}

TEST(TaskPersistenceTest, JobStartWritesHashTickAndLocalTime) {
    TempDir dir;
    const TaskPersistence job(dir.file("job.vedare"));
    job.WriteJobStart("feedface");
    EXPECT_EQ(job.Read("BrisklaneTaskHash"), "feedface");
    EXPECT_FALSE(job.Read("BrisklaneTaskCreateTimeStamp").empty());
    const std::string when = job.Read("BrisklaneTaskCreateTime");
    // "%Y-%m-%d %X": 2024-05-06 07:08:09
    ASSERT_EQ(when.size(), 19u) << when;
    EXPECT_EQ(when[4], '-');
    EXPECT_EQ(when[10], ' ');
    EXPECT_EQ(when[13], ':');
}

} // namespace
