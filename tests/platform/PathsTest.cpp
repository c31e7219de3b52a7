#include "platform/Paths.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <sys/stat.h>

namespace {

using namespace platform;
using testsupport::FileExists;
using testsupport::TempDir;
using testsupport::WriteFile;

// Sets (or with nullptr removes) an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(Paths, JoinPath) {
    struct Case {
        const char* a;
        const char* b;
        const char* expect;
    };
    const Case cases[] = {
        {"a", "b", "a/b"},     {"a/", "b", "a/b"}, {"a", "/b", "a/b"},
        {"a//", "//b", "a/b"}, {"", "b", "b"},     {"", "/b", "/b"},
        {"/", "b", "/b"},      {"a", "", "a/"},    {"/x/y", "z.ini", "/x/y/z.ini"},
        {"a\\", "b", "a\\/b"}, // a backslash is a name byte
    };
    for (const Case& c : cases)
        EXPECT_EQ(JoinPath(c.a, c.b), c.expect) << '"' << c.a << "\" + \"" << c.b << '"';
}

TEST(Paths, FolderAndFileName) {
    struct Case {
        const char* path;
        const char* folder;
        const char* name;
    };
    const Case cases[] = {
        {"/a/b/c.txt", "/a/b/", "c.txt"},
        {"/a/b/", "/a/b/", ""},
        {"c.txt", "", "c.txt"},
        {"/c", "/", "c"},
        {"", "", ""},
        {"a/\xCA\x5C.txt", "a/", "\xCA\x5C.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(FolderOf(c.path), c.folder);
        EXPECT_EQ(FileNameOf(c.path), c.name);
    }
    EXPECT_TRUE(EndsWithSeparator("a/"));
    EXPECT_FALSE(EndsWithSeparator("a"));
    EXPECT_FALSE(EndsWithSeparator(""));
    EXPECT_FALSE(EndsWithSeparator("a\\"));
    EXPECT_TRUE(IsSeparator('/'));
    EXPECT_FALSE(IsSeparator('\\'));
}

TEST(Paths, FileSystemQueries) {
    TempDir dir;
    std::string file = dir.file("f.txt");
    std::string folder = dir.file("sub");
    WriteFile(file, "x");

    EXPECT_TRUE(PathExists(file));
    EXPECT_FALSE(IsDirectory(file));
    EXPECT_TRUE(IsDirectory(dir.path()));
    EXPECT_FALSE(PathExists(folder));
    EXPECT_FALSE(PathExists(""));

    EXPECT_TRUE(CreateFolder(folder));
    EXPECT_TRUE(IsDirectory(folder));
    EXPECT_TRUE(CreateFolder(folder + "/"));     // already there
    EXPECT_FALSE(CreateFolder(file));            // a file holds the name
    EXPECT_FALSE(CreateFolder(dir.file("x/y"))); // one level only
    EXPECT_FALSE(FileExists(dir.file("x")));

    EXPECT_TRUE(RemoveFile(file));
    EXPECT_FALSE(PathExists(file));
    EXPECT_TRUE(RemoveFile(file));                   // never there
    EXPECT_TRUE(RemoveFile(dir.file("nope/f.txt"))); // folder never there
    EXPECT_FALSE(RemoveFile(folder));                // not a file
    EXPECT_TRUE(IsDirectory(folder));
}

TEST(Paths, CommonAppDataFolder) {
    {
        ScopedEnv xdg("XDG_DATA_HOME", "/srv/data/");
        EXPECT_EQ(CommonAppDataFolder(), "/srv/data");
    }
    {
        ScopedEnv xdg("XDG_DATA_HOME", nullptr);
        ScopedEnv home("HOME", "/home/player");
        EXPECT_EQ(CommonAppDataFolder(), "/home/player/.local/share");
    }
    {
        // A relative XDG_DATA_HOME is not a valid setting.
        ScopedEnv xdg("XDG_DATA_HOME", "relative/dir");
        ScopedEnv home("HOME", "/home/player/");
        EXPECT_EQ(CommonAppDataFolder(), "/home/player/.local/share");
    }
    {
        ScopedEnv xdg("XDG_DATA_HOME", "");
        ScopedEnv home("HOME", nullptr);
        std::string folder = CommonAppDataFolder(); // from the password database
        EXPECT_FALSE(folder.empty());
        EXPECT_FALSE(EndsWithSeparator(folder));
    }
}

TEST(Paths, TempFolder) {
    {
        ScopedEnv tmp("TMPDIR", "/var/tmp/x");
        EXPECT_EQ(TempFolder(), "/var/tmp/x/");
    }
    {
        ScopedEnv tmp("TMPDIR", "/var/tmp/x/");
        EXPECT_EQ(TempFolder(), "/var/tmp/x/");
    }
    {
        ScopedEnv tmp("TMPDIR", nullptr);
        EXPECT_EQ(TempFolder(), "/tmp/");
    }
    {
        ScopedEnv tmp("TMPDIR", "");
        EXPECT_EQ(TempFolder(), "/tmp/");
    }
}

TEST(Paths, ProgramPathAndFolder) {
    std::string program = ProgramPath();
    EXPECT_EQ(FileNameOf(program), "platform_tests");
    EXPECT_EQ(program.front(), '/');
    EXPECT_EQ(ProgramFolder(), FolderOf(program));
    EXPECT_TRUE(EndsWithSeparator(ProgramFolder()));
    EXPECT_TRUE(PathExists(program));
}

TEST(Paths, FindProgram) {
    TempDir first;
    TempDir second;
    TempDir extra;
    const auto make = [](const std::string& path, mode_t mode) {
        WriteFile(path, "#!/bin/sh\n");
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    };
    make(first.file("data"), 0644);
    make(second.file("data"), 0755); // a non-executable one earlier in the search is passed over
    make(first.file("tool"), 0755);
    make(second.file("tool"), 0755);
    make(extra.file("admin"), 0755);
    ASSERT_TRUE(CreateFolder(first.file("folder")));

    ScopedEnv path("PATH", (first.path() + "::" + second.path()).c_str());
    EXPECT_EQ(FindProgram("tool"), first.file("tool"));
    EXPECT_EQ(FindProgram("data"), second.file("data"));
    EXPECT_EQ(FindProgram("folder"), "");
    EXPECT_EQ(FindProgram("admin"), "");
    EXPECT_EQ(FindProgram("admin", "/nonexistent:" + extra.path()), extra.file("admin"));
    EXPECT_EQ(FindProgram(""), "");
    // A name with a separator is not searched for.
    EXPECT_EQ(FindProgram(second.file("tool")), second.file("tool"));
    EXPECT_EQ(FindProgram(first.file("data")), "");
    EXPECT_EQ(FindProgram("./tool"), "");
}

} // namespace
