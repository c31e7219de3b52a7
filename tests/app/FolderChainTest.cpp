#include "app/FolderChain.h"
#include "platform/Paths.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

namespace {

using testsupport::TempDir;
using testsupport::WriteFile;

TEST(FolderChainTest, ResultsTable) {
    TempDir dir;
    WriteFile(dir.file("file"), "x");
    // Levels are counted from the root, so the first level below the temporary
    // folder is one more than the temporary folder's own depth.
    int depth = 0;
    for (size_t i = 0; i < dir.path().size(); ++i)
        depth += dir.path()[i] != '/' && (i == 0 || dir.path()[i - 1] == '/');
    struct Case {
        std::string path;
        int result;
        const char* mustExist; // relative to dir, or null
    } cases[] = {
        {"", -2, nullptr},
        {"/", -2, nullptr},
        {"a", -2, nullptr},
        {dir.path(), 0, nullptr},
        {dir.file("one"), 0, "one"},
        {dir.file("a/b/c"), 0, "a/b/c"},
        {dir.file("a/b/c/"), 0, "a/b/c"},
        {dir.file("d//e///f"), 0, "d/e/f"},
        // Levels that exist are left as they are; only the missing ones are made.
        {dir.file("a/b/c/d"), 0, "a/b/c/d"},
        // A file where a folder must be: its own level fails, or the level below it.
        {dir.file("file"), -(depth + 1), nullptr},
        {dir.file("file/sub/more"), -(depth + 1), nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(CreateFolderChain(c.path), c.result);
        if (c.mustExist) {
            EXPECT_TRUE(platform::IsDirectory(dir.file(c.mustExist)));
        }
    }
    WriteFile(dir.file("one/plain"), "x");
    EXPECT_EQ(CreateFolderChain(dir.file("one/plain/x")), -(depth + 2));
}

TEST(FolderChainTest, RelativePathsStartAtLevelOne) {
    TempDir dir;
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    WriteFile("blocker", "x");
    const int made = CreateFolderChain("x/y");
    const int blocked = CreateFolderChain("blocker/y");
    WriteFile("x/blocker", "x");
    const int deeper = CreateFolderChain("x/blocker/z");
    ASSERT_EQ(::chdir(cwd), 0);
    EXPECT_EQ(made, 0);
    EXPECT_TRUE(platform::IsDirectory(dir.file("x/y")));
    EXPECT_EQ(blocked, -1);
    EXPECT_EQ(deeper, -2);
}

} // namespace
