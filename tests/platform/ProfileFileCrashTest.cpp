// A writer killed at any moment must leave the file with its old or its new content,
// never a mixture or a truncation.
#include "platform/ProfileFile.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace platform;
using testsupport::ReadFile;
using testsupport::TempDir;

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(folder.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(d);
    }
    return names;
}

// Kills and reaps the child on every way out of a round, failed assertions included.
struct ChildGuard {
    pid_t pid = -1;
    ~ChildGuard() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

TEST(ProfileFileCrash, KilledWriterLeavesOneCompleteVersion) {
    TempDir dir;
    const std::string path = dir.file("task.vedare");
    // Large values, so that a kill often lands while the data is on its way out, and
    // sections on both sides, so that a cut or a mix shows.
    const std::string first(300000, 'a');
    const std::string second(200000, 'b');
    ASSERT_TRUE(WriteProfileString("Head", "id", "1", path.c_str()));
    ASSERT_TRUE(WriteProfileString("Body", "payload", second.c_str(), path.c_str()));
    ASSERT_TRUE(WriteProfileString("Tail", "end", "yes", path.c_str()));
    const std::string versionSecond = ReadFile(path);
    ASSERT_TRUE(WriteProfileString("Body", "payload", first.c_str(), path.c_str()));
    const std::string versionFirst = ReadFile(path);
    ASSERT_NE(versionFirst, versionSecond);

    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> delayUs(0, 8000);

    int sawFirst = 0;
    int sawSecond = 0;
    for (int round = 0; round < 30; ++round) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        ChildGuard guard;
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(ready[0]);
            for (unsigned long i = 0;; ++i) {
                WriteProfileString("Body", "payload", (i % 2 ? first : second).c_str(), path.c_str());
                if (i == 0) {
                    char c = 'r';
                    (void)!::write(ready[1], &c, 1);
                }
            }
        }
        guard.pid = child;
        ::close(ready[1]);
        char c = 0;
        ASSERT_EQ(::read(ready[0], &c, 1), 1); // the child is in its loop
        ::close(ready[0]);
        ::usleep(static_cast<useconds_t>(delayUs(random)));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        guard.pid = -1;
        ASSERT_TRUE(WIFSIGNALED(status));

        const std::string onDisk = ReadFile(path);
        ASSERT_TRUE(onDisk == versionFirst || onDisk == versionSecond)
            << "round " << round << ": " << onDisk.size() << " bytes on disk";
        (onDisk == versionFirst ? sawFirst : sawSecond)++;
        // Whatever the child left behind, the name still reads as the complete file.
        std::vector<char> value(400000);
        uint32_t n = GetProfileString("Body", "payload", "", value.data(),
                                      static_cast<uint32_t>(value.size()), path.c_str());
        const std::string payload(value.data(), n);
        ASSERT_TRUE(payload == first || payload == second) << "round " << round;
        ASSERT_EQ(GetProfileInt("Head", "id", 0, path.c_str()), 1);
    }
    RecordProperty("first", sawFirst);
    RecordProperty("second", sawSecond);

    // Leftover temporary files are allowed; they must not be taken for the file, and
    // must not get in the way of the next write.
    for (const std::string& name : FolderEntries(dir.path()))
        EXPECT_TRUE(name == "task.vedare" || name.front() == '.') << name;
    ASSERT_TRUE(WriteProfileString("Body", "payload", "small", path.c_str()));
    std::vector<char> value(16);
    GetProfileString("Body", "payload", "", value.data(), 16, path.c_str());
    EXPECT_STREQ(value.data(), "small");
    EXPECT_EQ(GetProfileInt("Head", "id", 0, path.c_str()), 1);
}

} // namespace
