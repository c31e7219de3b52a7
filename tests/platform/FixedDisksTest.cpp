#include "platform/FixedDisks.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using testsupport::TempDir;
using testsupport::WriteFile;

// Points HOME somewhere else for one test.
class HomeOverride {
public:
    explicit HomeOverride(const std::string& home) {
        if (const char* old = std::getenv("HOME"))
            old_ = old;
        ::setenv("HOME", home.c_str(), 1);
    }
    ~HomeOverride() {
        if (old_)
            ::setenv("HOME", old_->c_str(), 1);
        else
            ::unsetenv("HOME");
    }

private:
    std::optional<std::string> old_;
};

// The mount table writes a blank in a field as \040.
std::string Escaped(const std::string& path) {
    std::string out;
    for (char c : path)
        out += c == ' ' ? std::string("\\040") : std::string(1, c);
    return out;
}

class FixedDisksTest : public ::testing::Test {
protected:
    std::string Folder(const std::string& name) {
        const std::string path = dir_.file(name);
        ::mkdir(path.c_str(), 0755);
        return path;
    }
    std::string Table(const std::string& text) {
        const std::string path = dir_.file("mounts");
        WriteFile(path, text);
        return path;
    }

    TempDir dir_;
};

TEST_F(FixedDisksTest, KeepsTheHomeFolderAndWritableRealDisksInOrder) {
    const std::string home = Folder("home");
    HomeOverride homeOverride(home + "/");
    const std::string disk = Folder("disk");
    const std::string spaced = Folder("with space");
    const std::string ntfs = Folder("ntfs");
    const std::string pool = Folder("pool");
    const std::string fileMount = dir_.file("hosts");
    WriteFile(fileMount, "bound file\n");

    const std::string table = Table("/dev/sda1 " + disk + " ext4 rw,relatime 0 0\n" +                       //
                                    "proc " + Folder("proc") + " proc rw,nosuid 0 0\n" +                    //
                                    "tmpfs " + Folder("tmp") + " tmpfs rw,nosuid 0 0\n" +                   //
                                    "server.example:/export " + Folder("nfs") + " nfs4 rw,vers=4.2 0 0\n" + //
                                    "//server.example/share " + Folder("cifs") + " cifs rw 0 0\n" +         //
                                    "user@server.example: " + Folder("sshfs") + " fuse.sshfs rw 0 0\n" +    //
                                    "overlay " + Folder("overlay") + " overlay rw,lowerdir=/x 0 0\n" +      //
                                    "/dev/sdb1 " + Folder("readonly") + " ext4 ro,relatime 0 0\n" +         //
                                    "/dev/sdc1 " + Escaped(spaced) + " ext4 rw 0 0\n" +                     //
                                    "/dev/sdd1 " + dir_.file("missing") + " ext4 rw 0 0\n" +                //
                                    "/dev/sde1 " + fileMount + " ext4 rw 0 0\n" +                           //
                                    "/dev/sdf1 " + ntfs + " fuseblk rw,user_id=0 0 0\n" +                   //
                                    "tank/data " + pool + " zfs rw,xattr 0 0\n" +                           //
                                    "/dev/sda1 " + disk + " ext4 rw,relatime 0 0\n" + // mounted twice
                                    "/dev/sdg1 " + home + " ext4 rw 0 0\n" +          // the home folder again
                                    "garbage line\n" +                                //
                                    "\n");

    const std::vector<std::string> expected = {home, disk, spaced, ntfs, pool};
    EXPECT_EQ(platform::FixedDiskPlaces(table), expected);
}

TEST_F(FixedDisksTest, LeavesOutFoldersTheUserCannotWrite) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "the superuser may write everywhere";
    const std::string home = Folder("home");
    HomeOverride homeOverride(home);
    const std::string locked = Folder("locked");
    ::chmod(locked.c_str(), 0555);
    EXPECT_EQ(platform::FixedDiskPlaces(Table("/dev/sda1 " + locked + " ext4 rw 0 0\n")),
              std::vector<std::string>{home});
    ::chmod(locked.c_str(), 0755);
}

TEST_F(FixedDisksTest, WithoutTableOnlyTheHomeFolder) {
    const std::string home = Folder("home");
    HomeOverride homeOverride(home);
    EXPECT_EQ(platform::FixedDiskPlaces(dir_.file("no-such-table")), std::vector<std::string>{home});
    EXPECT_EQ(platform::LargestFixedDiskPlace(dir_.file("no-such-table")), home);
}

TEST(LargestPlaceTest, MostFreeSpaceWinsAndTheFirstOfEquals) {
    const std::map<std::string, uint64_t> space = {{"/a", 10}, {"/b", 30}, {"/c", 30}, {"/d", 20}};
    auto query = [&space](const std::string& path, uint64_t& bytes) {
        auto it = space.find(path);
        if (it == space.end())
            return false;
        bytes = it->second;
        return true;
    };
    struct Case {
        std::vector<std::string> places;
        std::string expected;
    } cases[] = {
        {{"/a", "/b", "/c", "/d"}, "/b"},
        {{"/c", "/b"}, "/c"},
        {{"/a"}, "/a"},
        {{"/gone", "/a"}, "/a"}, // a failed query is passed over
        {{"/gone"}, ""},
        {{}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.places));
        EXPECT_EQ(platform::LargestPlace(c.places, query), c.expected);
    }
    // A place with no free space at all still beats having none.
    auto full = [](const std::string&, uint64_t& bytes) {
        bytes = 0;
        return true;
    };
    EXPECT_EQ(platform::LargestPlace({"/x", "/y"}, full), "/x");
}

} // namespace
