#include "platform/ProfileFile.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace platform;
using testsupport::FileExists;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

std::string Get(const std::string& path, const char* section, const char* key, const char* def = "<none>") {
    std::vector<char> buffer(4096);
    uint32_t n = GetProfileString(section, key, def, buffer.data(), static_cast<uint32_t>(buffer.size()),
                                  path.c_str());
    EXPECT_EQ(n, std::strlen(buffer.data()));
    return std::string(buffer.data(), n);
}

// A file as a person or another program might have left it.
const char kHandWritten[] = "; written by hand\r\n"
                            "[BrisklaneTask]\r\n"
                            "BrisklaneTaskHash=abc123\r\n"
                            "  Spaced Key \t=\t  spaced value  \r\n"
                            "Quoted=\"  keeps blanks  \"\r\n"
                            "HalfQuoted=\"open\r\n"
                            "Empty=\r\n"
                            "Path=D:\\\xD3\xCE\xCF\xB7\\=x\r\n"
                            "; Commented=1\r\n"
                            "a line that is no key\r\n"
                            "\r\n"
                            "[ Other ] trailing words\r\n"
                            "BrisklaneTaskHash=other section\r\n";

TEST(ProfileFile, ReadsKeysIgnoringCaseAndBlanks) {
    TempDir dir;
    std::string path = dir.file("task.vedare");
    WriteFile(path, kHandWritten);
    struct Case {
        const char* section;
        const char* key;
        const char* value;
    };
    const Case cases[] = {
        {"BrisklaneTask", "BrisklaneTaskHash", "abc123"},
        {"brisklanetask", "BRISKLANETASKHASH", "abc123"},
        {" BrisklaneTask ", " BrisklaneTaskHash ", "abc123"},
        {"BrisklaneTask", "spaced key", "spaced value"},
        {"BrisklaneTask", "Quoted", "  keeps blanks  "},
        {"BrisklaneTask", "HalfQuoted", "\"open"},
        {"BrisklaneTask", "Empty", ""},
        {"BrisklaneTask", "Path", "D:\\\xD3\xCE\xCF\xB7\\=x"}, // only the first '=' splits
        {"Other", "BrisklaneTaskHash", "other section"},
        {"OTHER", "brisklanetaskhash", "other section"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.section) + "/" + c.key);
        EXPECT_EQ(Get(path, c.section, c.key), c.value);
    }
}

TEST(ProfileFile, MissingValuesGiveTheDefault) {
    TempDir dir;
    std::string path = dir.file("task.vedare");
    WriteFile(path, "orphan=1\n[S]\n;hidden=1\nk=v\n[T]\n");
    EXPECT_EQ(Get(dir.file("absent.ini"), "S", "k", "dflt"), "dflt");
    EXPECT_EQ(Get(path, "Nope", "k", "dflt"), "dflt");
    EXPECT_EQ(Get(path, "S", "nope", "dflt"), "dflt");
    EXPECT_EQ(Get(path, "T", "k", "dflt"), "dflt");       // key of another section
    EXPECT_EQ(Get(path, "S", "orphan", "dflt"), "dflt");  // before any section
    EXPECT_EQ(Get(path, "S", ";hidden", "dflt"), "dflt"); // a comment
    EXPECT_EQ(Get(path, "S", "nope", nullptr), "");
    EXPECT_EQ(Get(path, "S", "nope", "dflt \t "), "dflt"); // as Windows strips it
    EXPECT_EQ(Get(dir.path(), "S", "k", "dflt"), "dflt");  // a folder reads as no file
    EXPECT_FALSE(FileExists(dir.file("absent.ini")));
}

TEST(ProfileFile, ValueIsCutToTheBuffer) {
    TempDir dir;
    std::string path = dir.file("task.vedare");
    WriteFile(path, "[S]\nk=abcdef\n");
    struct Case {
        uint32_t size;
        const char* expect;
    };
    const Case cases[] = {{1, ""}, {2, "a"}, {6, "abcde"}, {7, "abcdef"}, {100, "abcdef"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        std::vector<char> buffer(c.size + 4, '#');
        uint32_t n = GetProfileString("S", "k", "", buffer.data(), c.size, path.c_str());
        EXPECT_EQ(n, std::strlen(c.expect));
        EXPECT_STREQ(buffer.data(), c.expect);
        for (size_t i = c.size; i < buffer.size(); ++i)
            EXPECT_EQ(buffer[i], '#') << "written past the buffer at " << i;
        // The default is cut the same way.
        std::fill(buffer.begin(), buffer.end(), '#');
        n = GetProfileString("S", "missing", "abcdef", buffer.data(), c.size, path.c_str());
        EXPECT_STREQ(buffer.data(), c.expect);
    }
    char untouched = '#';
    EXPECT_EQ(GetProfileString("S", "k", "", &untouched, 0, path.c_str()), 0u);
    EXPECT_EQ(untouched, '#');
}

TEST(ProfileFile, ReadsIntegers) {
    TempDir dir;
    std::string path = dir.file("task.vedare");
    WriteFile(path, "[S]\n"
                    "plain=42\n"
                    "negative=  -17\n"
                    "suffix=12abc\n"
                    "letters=abc\n"
                    "empty=\n"
                    "quoted=\"7\"\n"
                    "huge=99999999999\n"
                    "tiny=-99999999999\n"
                    "min=-2147483648\n"
                    "doubleMinus=--5\n");
    struct Case {
        const char* key;
        int expect;
    };
    const Case cases[] = {
        {"plain", 42},    {"negative", -17},  {"suffix", 12},    {"letters", 0},
        {"empty", -9},    {"quoted", 7},      {"huge", INT_MAX}, {"tiny", INT_MIN},
        {"min", INT_MIN}, {"doubleMinus", 0}, {"missing", -9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(GetProfileInt("S", c.key, -9, path.c_str()), c.expect);
    }
    EXPECT_EQ(GetProfileInt("S", "plain", -9, dir.file("absent").c_str()), -9);
}

TEST(ProfileFile, FirstWriteCreatesTheFile) {
    TempDir dir;
    std::string path = dir.file("task.vedare");
    ASSERT_TRUE(WriteProfileString("BrisklaneTask", "BrisklaneTaskHash", "abc", path.c_str()));
    ASSERT_TRUE(WriteProfileString("BrisklaneTask", "BrisklaneTaskSavePath", "/home/p/dl", path.c_str()));
    ASSERT_TRUE(
        WriteProfileString("BrisklaneFinishInfo", "BrisklaneTask0FileSizeLow", "1073741824", path.c_str()));
    EXPECT_EQ(ReadFile(path), "[BrisklaneTask]\n"
                              "BrisklaneTaskHash=abc\n"
                              "BrisklaneTaskSavePath=/home/p/dl\n"
                              "[BrisklaneFinishInfo]\n"
                              "BrisklaneTask0FileSizeLow=1073741824\n");
    EXPECT_EQ(Get(path, "brisklanetask", "brisklanetasksavepath"), "/home/p/dl");
}

TEST(ProfileFile, WriteKeepsEveryOtherLineAndTheLineEnding) {
    TempDir dir;
    std::string path = dir.file("task.vedare");
    WriteFile(path, "\xEF\xBB\xBF; leading comment\r\n"
                    "[General]\r\n"
                    "  Name = Old Value  \r\n"
                    "# hash comment\r\n"
                    "unknown line without equals\r\n"
                    "\r\n"
                    "; about the next section\r\n"
                    "[Other]\r\n"
                    "x=1\r\n");
    ASSERT_TRUE(WriteProfileString("GENERAL", "name", "New", path.c_str()));
    ASSERT_TRUE(WriteProfileString("General", "added", "2", path.c_str()));
    ASSERT_TRUE(WriteProfileString("New", "k", "v", path.c_str()));
    EXPECT_EQ(ReadFile(path), "\xEF\xBB\xBF; leading comment\r\n"
                              "[General]\r\n"
                              "Name=New\r\n"
                              "added=2\r\n"
                              "# hash comment\r\n"
                              "unknown line without equals\r\n"
                              "\r\n"
                              "; about the next section\r\n"
                              "[Other]\r\n"
                              "x=1\r\n"
                              "[New]\r\n"
                              "k=v\r\n");
    EXPECT_EQ(Get(path, "general", "NAME"), "New");
}

TEST(ProfileFile, WriteAfterALastLineWithoutEnding) {
    TempDir dir;
    std::string path = dir.file("a.ini");
    WriteFile(path, "[A]\na=1");
    ASSERT_TRUE(WriteProfileString("A", "b", "2", path.c_str()));
    EXPECT_EQ(ReadFile(path), "[A]\na=1\nb=2\n");
    WriteFile(path, "[A]\na=1");
    ASSERT_TRUE(WriteProfileString("B", "b", "2", path.c_str()));
    EXPECT_EQ(ReadFile(path), "[A]\na=1\n[B]\nb=2\n");
    WriteFile(path, "[A]");
    ASSERT_TRUE(WriteProfileString("A", "a", "1", path.c_str()));
    EXPECT_EQ(ReadFile(path), "[A]\na=1\n");
}

TEST(ProfileFile, UpdatesTheKeyInPlaceWithoutDuplicating) {
    TempDir dir;
    std::string path = dir.file("a.ini");
    WriteFile(path, "[A]\nCamelKey=1\nz=0\n");
    for (const char* v : {"2", "3", "4"})
        ASSERT_TRUE(WriteProfileString("a", "camelkey", v, path.c_str()));
    EXPECT_EQ(ReadFile(path), "[A]\nCamelKey=4\nz=0\n");
}

TEST(ProfileFile, SeveralKeysGoInOneWriteOrNotAtAll) {
    TempDir dir;
    const std::string path = dir.file("job.ini");
    WriteFile(path, kHandWritten);
    ASSERT_TRUE(WriteProfileStrings("BrisklaneTask", {{"High", "1"}, {"brisklanetaskhash", "def"}, {"Low", "7"}},
                                    path.c_str()));
    EXPECT_EQ(Get(path, "BrisklaneTask", "High"), "1");
    EXPECT_EQ(Get(path, "BrisklaneTask", "Low"), "7");
    EXPECT_EQ(Get(path, "BrisklaneTask", "BrisklaneTaskHash"), "def") << "an existing key is updated in place";
    EXPECT_EQ(Get(path, "BrisklaneTask", "Quoted"), "  keeps blanks  ") << "other keys stay";
    const std::string before = ReadFile(path);
    EXPECT_FALSE(WriteProfileStrings("BrisklaneTask", {{"High", "2"}, {"Bad", "two\nlines"}, {"Low", "8"}},
                                     path.c_str()));
    EXPECT_EQ(ReadFile(path), before) << "one refused value refuses them all";
}

TEST(ProfileFile, NullValueRemovesKeyAndNullKeyRemovesSection) {
    TempDir dir;
    std::string path = dir.file("a.ini");
    WriteFile(path, "[A]\nk=1\nkeep=1\nK = 2\n[B]\nb=1\n; about A\n[a]\nk=3\nother=1\n[C]\nc=1\n");
    ASSERT_TRUE(WriteProfileString("A", "k", nullptr, path.c_str()));
    EXPECT_EQ(Get(path, "A", "k"), "<none>");
    EXPECT_EQ(ReadFile(path), "[A]\nkeep=1\n[B]\nb=1\n; about A\n[a]\nother=1\n[C]\nc=1\n");

    ASSERT_TRUE(WriteProfileString("a", nullptr, nullptr, path.c_str()));
    EXPECT_EQ(Get(path, "A", "keep"), "<none>");
    EXPECT_EQ(Get(path, "A", "other"), "<none>");
    EXPECT_EQ(ReadFile(path), "[B]\nb=1\n; about A\n[C]\nc=1\n");

    // Removing what is not there changes nothing and creates no file.
    ASSERT_TRUE(WriteProfileString("B", "nope", nullptr, path.c_str()));
    ASSERT_TRUE(WriteProfileString("Nope", nullptr, nullptr, path.c_str()));
    EXPECT_EQ(ReadFile(path), "[B]\nb=1\n; about A\n[C]\nc=1\n");
    std::string absent = dir.file("absent.ini");
    EXPECT_TRUE(WriteProfileString("B", "b", nullptr, absent.c_str()));
    EXPECT_TRUE(WriteProfileString("B", nullptr, nullptr, absent.c_str()));
    EXPECT_FALSE(FileExists(absent));
}

TEST(ProfileFile, GbkNamesAreNotFoldedOrSplitInTheMiddle) {
    TempDir dir;
    std::string path = dir.file("a.ini");
    // 0x81 0x41 and 0x81 0x61 are two different characters whose second bytes look
    // like 'A' and 'a'; 0x81 0x5D ends in what looks like ']'.
    ASSERT_TRUE(WriteProfileString("\x81\x41", "k", "upper", path.c_str()));
    ASSERT_TRUE(WriteProfileString("\x81\x61", "k", "lower", path.c_str()));
    ASSERT_TRUE(WriteProfileString("\x81\x5D", "\xCF\xC2", "bracket", path.c_str()));
    EXPECT_EQ(Get(path, "\x81\x41", "k"), "upper");
    EXPECT_EQ(Get(path, "\x81\x61", "k"), "lower");
    EXPECT_EQ(Get(path, "\x81\x5D", "\xCF\xC2"), "bracket");
    EXPECT_EQ(Get(path, "\x81", "\xCF\xC2"), "<none>");
}

TEST(ProfileFile, RefusesTextThatWouldNotReadBack) {
    TempDir dir;
    std::string path = dir.file("a.ini");
    const std::string before = "[S]\nk=v\n";
    WriteFile(path, before);
    struct Case {
        const char* section;
        const char* key;
        const char* value;
    };
    const Case cases[] = {
        {"S", "k", "v\n[Injected]\nx=1"},
        {"S", "k", "v\r"},
        {"S", "a=b", "v"},
        {"S", "k\n", "v"},
        {"S]", "k", "v"},
        {"S\nT", "k", "v"},
        {"S", "[k", "v"},
        {"S", ";k", "v"},
        {nullptr, "k", "v"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_FALSE(WriteProfileString(c.section, c.key, c.value, path.c_str()));
    }
    EXPECT_EQ(ReadFile(path), before);
    EXPECT_FALSE(WriteProfileString("S", "k", "v", nullptr));
}

TEST(ProfileFile, FailedWritesLeaveTheFileAlone) {
    TempDir dir;
    EXPECT_FALSE(WriteProfileString("S", "k", "v", dir.file("no-folder/a.ini").c_str()));
    EXPECT_FALSE(WriteProfileString("S", "k", "v", dir.path().c_str())); // a folder
    EXPECT_FALSE(FileExists(dir.file("no-folder")));
}

TEST(ProfileFile, LongestFileNamesCanBeWritten) {
    TempDir dir;
    std::string path = dir.file(std::string(250, 'n') + ".ini"); // the temporary name must still fit
    ASSERT_TRUE(WriteProfileString("S", "k", "v", path.c_str()));
    EXPECT_EQ(Get(path, "S", "k"), "v");
}

TEST(ProfileFile, WriteKeepsPermissionsAndFollowsLinks) {
    TempDir dir;
    std::string target = dir.file("real.ini");
    std::string link = dir.file("link.ini");
    WriteFile(target, "[S]\nk=1\n");
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    ASSERT_TRUE(WriteProfileString("S", "k", "2", link.c_str()));

    struct stat st {};
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(ReadFile(target), "[S]\nk=2\n");
}

TEST(ProfileFile, NullNamesListSectionsAndKeys) {
    TempDir dir;
    std::string path = dir.file("a.ini");
    WriteFile(path, "[One]\nk1=1\nK2=2\n[Two]\n[one]\nk1=again\nk3=3\n");
    char buffer[64];
    uint32_t n = GetProfileString(nullptr, nullptr, "x", buffer, sizeof buffer, path.c_str());
    EXPECT_EQ(std::string(buffer, n + 1), std::string("One\0Two\0\0", 9));
    n = GetProfileString("ONE", nullptr, "x", buffer, sizeof buffer, path.c_str());
    EXPECT_EQ(std::string(buffer, n + 1), std::string("k1\0K2\0k3\0\0", 10));
    // Too small: cut, ending in two terminators, size - 2 returned.
    n = GetProfileString("one", nullptr, "x", buffer, 6, path.c_str());
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(std::string(buffer, 6), std::string("k1\0K\0\0", 6));
    n = GetProfileString("Two", nullptr, "x", buffer, sizeof buffer, path.c_str());
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(buffer[0], '\0');
}

TEST(ProfileFile, ConcurrentWritersOfOneFileLoseNothing) {
    TempDir dir;
    std::string path = dir.file("a.ini");
    constexpr int kPerThread = 25;
    auto writer = [&](const char* section) {
        for (int i = 0; i < kPerThread; ++i)
            WriteProfileString(section, ("key" + std::to_string(i)).c_str(), std::to_string(i).c_str(),
                               path.c_str());
    };
    std::thread a(writer, "A");
    std::thread b(writer, "B");
    a.join();
    b.join();
    for (const char* section : {"A", "B"})
        for (int i = 0; i < kPerThread; ++i)
            EXPECT_EQ(Get(path, section, ("key" + std::to_string(i)).c_str()), std::to_string(i))
                << section << i;
}

} // namespace
