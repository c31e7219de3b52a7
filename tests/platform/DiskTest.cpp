#include "platform/Disk.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <string>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace platform;
using testsupport::TempDir;
using testsupport::WriteFile;

constexpr uint64_t k1970 = 116444736000000000ULL;

size_t EntryCount(const std::string& folder) {
    size_t n = 0;
    if (DIR* d = ::opendir(folder.c_str())) {
        while (dirent* e = ::readdir(d))
            n += std::string(e->d_name) != "." && std::string(e->d_name) != "..";
        ::closedir(d);
    }
    return n;
}

TEST(Disk, UnixToFileTime) {
    struct Case {
        int64_t seconds;
        int64_t nanoseconds;
        uint64_t expect;
    };
    const Case cases[] = {
        {0, 0, k1970},
        {1, 500, k1970 + 10000000 + 5},
        {946684800, 0, 125911584000000000ULL}, // 2000-01-01
        {0, 99, k1970},                        // below the 100 ns resolution
        {0, -100, k1970 - 1},                  // nanoseconds may be negative
        {2, -1500000000, k1970 + 5000000},
        {-11644473600, 0, 0}, // 1601-01-01
        {-11644473601, 0, 0}, // before: no FILETIME for it
        {INT64_MIN, INT64_MIN, 0},
        {INT64_MAX, INT64_MAX, UINT64_MAX},
    };
    for (const Case& c : cases)
        EXPECT_EQ(UnixToFileTime(c.seconds, c.nanoseconds), c.expect)
            << c.seconds << "s " << c.nanoseconds << "ns";

    for (uint64_t ft :
         {uint64_t{0}, k1970, uint64_t{125911584000000000ULL + 1234567}, uint64_t{UINT64_MAX / 10 * 10}}) {
        int64_t s = 0;
        int64_t ns = 0;
        FileTimeToUnix(ft, s, ns);
        EXPECT_GE(ns, 0);
        EXPECT_LT(ns, 1000000000);
        EXPECT_EQ(UnixToFileTime(s, ns), ft);
    }
}

TEST(Disk, ModificationTimeRoundTrip) {
    TempDir dir;
    std::string file = dir.file("f.bin");
    WriteFile(file, "data");
    const uint64_t when = 125911584000000000ULL + 36000000000ULL * 24 + 1234567; // 2000-01-02 plus a bit
    ASSERT_TRUE(SetModificationFileTime(file, when));
    uint64_t read = 0;
    ASSERT_EQ(ModificationFileTime(file, read), FileQuery::Ok);
    EXPECT_EQ(read, when);

    EXPECT_EQ(ModificationFileTime(dir.file("missing"), read), FileQuery::NotFound);
    EXPECT_FALSE(SetModificationFileTime(dir.file("missing"), when));
}

TEST(Disk, AllocatedBytesAndQueryOutcomes) {
    TempDir dir;
    std::string file = dir.file("f.bin");
    WriteFile(file, std::string(100 * 1024, 'x'));
    ::sync();
    uint64_t bytes = 0;
    ASSERT_EQ(AllocatedBytes(file, bytes), FileQuery::Ok);
    EXPECT_GE(bytes, 100u * 1024);
    EXPECT_EQ(bytes % 512, 0u);

    struct Case {
        std::string path;
        FileQuery expect;
    };
    std::string loop = dir.file("loop");
    ASSERT_EQ(::symlink(loop.c_str(), loop.c_str()), 0);
    const Case cases[] = {
        {dir.file("missing"), FileQuery::NotFound},
        {dir.file("missing/deeper"), FileQuery::NotFound},
        {file + "/child", FileQuery::NotFound}, // a file where a folder should be
        {dir.file(std::string(300, 'n')), FileQuery::OtherError},
        {loop, FileQuery::OtherError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.substr(dir.path().size()));
        EXPECT_EQ(AllocatedBytes(c.path, bytes), c.expect);
        uint64_t ft = 0;
        EXPECT_EQ(ModificationFileTime(c.path, ft), c.expect);
    }
}

TEST(Disk, FreeBytesComeFromTheNearestExistingFolder) {
    TempDir dir;
    struct statvfs vfs {};
    ASSERT_EQ(::statvfs(dir.path().c_str(), &vfs), 0);
    const uint64_t direct = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    // Others write to the same disk meanwhile: allow some drift.
    const uint64_t slack = 256ULL << 20;

    WriteFile(dir.file("file"), "x");
    for (const std::string& path :
         {dir.path(), dir.file("not/yet/there/"), dir.file("file"), dir.file("file/x")}) {
        SCOPED_TRACE(path);
        uint64_t bytes = 0;
        ASSERT_TRUE(FreeBytesForCaller(path, bytes));
        EXPECT_LE(bytes, direct + slack);
        EXPECT_GE(bytes + slack, direct);
    }
    uint64_t bytes = 0;
    EXPECT_TRUE(FreeBytesForCaller("no-such-relative-folder/x", bytes)); // resolves to "."
    EXPECT_FALSE(FreeBytesForCaller(dir.file(std::string(300, 'n')), bytes));
    EXPECT_FALSE(FreeBytesForCaller("", bytes));
}

TEST(Disk, VolumeCapabilitiesAreProbedWithoutLeftovers) {
    TempDir dir;
    // The test folder is on an ordinary Linux file system, which keeps holes and
    // reserves space.
    EXPECT_TRUE(VolumeSupportsSparseFiles(dir.path()));
    EXPECT_TRUE(VolumeSupportsSparseFiles(dir.file("save/folder/not/made")));
    EXPECT_TRUE(VolumeSupportsReservation(dir.path()));
    EXPECT_TRUE(VolumeSupportsReservation(dir.file("not/made")));
    EXPECT_EQ(EntryCount(dir.path()), 0u);

    // /proc takes no files at all.
    EXPECT_FALSE(VolumeSupportsSparseFiles("/proc"));
    EXPECT_FALSE(VolumeSupportsReservation("/proc"));
    EXPECT_FALSE(VolumeSupportsSparseFiles(""));
    EXPECT_FALSE(VolumeSupportsReservation(""));
}

} // namespace
