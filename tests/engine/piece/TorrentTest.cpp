#include "engine/bencode/Bencode.h"
#include "engine/bencode/QElement.h"
#include "engine/core/QSha1.h"
#include "engine/piece/TTorrent.h"
#include "engine/piece/TTorrentWriter.h"
#include "support/RandomBytes.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using testsupport::RandomBytes;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

// --- Bencode written by hand, so that fixtures do not depend on the writer under test.

std::string B(std::string_view s) {
    return std::to_string(s.size()) + ":" + std::string(s);
}

std::string I(int64_t v) {
    return "i" + std::to_string(v) + "e";
}

std::string D(std::initializer_list<std::pair<std::string_view, std::string>> items) {
    std::string out = "d";
    for (const auto& [key, value] : items) {
        out += B(key) + value;
    }
    return out + "e";
}

std::string L(std::initializer_list<std::string> items) {
    std::string out = "l";
    for (const std::string& item : items) {
        out += item;
    }
    return out + "e";
}

std::string Entry(int64_t length, std::initializer_list<std::string_view> path) {
    std::string parts = "l";
    for (std::string_view p : path) {
        parts += B(p);
    }
    parts += "e";
    return D({{"length", I(length)}, {"path", parts}});
}

std::string Hex(const uint8_t* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 15]);
    }
    return out;
}

std::string Sha1Hex(std::string_view data) {
    uint8_t digest[kSha1DigestSize];
    Sha1Digest(data.data(), data.size(), digest);
    return Hex(digest, sizeof digest);
}

std::string PieceHashes(std::string_view content, size_t pieceLength) {
    std::string out;
    for (size_t at = 0; at < content.size(); at += pieceLength) {
        uint8_t digest[kSha1DigestSize];
        const std::string_view piece = content.substr(at, pieceLength);
        Sha1Digest(piece.data(), piece.size(), digest);
        out.append(reinterpret_cast<const char*>(digest), sizeof digest);
    }
    return out;
}

// --- Locating the "info" value with a reader of its own, for an independent info hash.

size_t SkipValue(const std::string& b, size_t pos) {
    if (pos >= b.size()) {
        return std::string::npos;
    }
    const char c = b[pos];
    if (c == 'i') {
        const size_t e = b.find('e', pos);
        return e == std::string::npos ? e : e + 1;
    }
    if (c == 'l' || c == 'd') {
        ++pos;
        while (pos < b.size() && b[pos] != 'e') {
            pos = SkipValue(b, pos);
        }
        return pos < b.size() ? pos + 1 : std::string::npos;
    }
    const size_t colon = b.find(':', pos);
    if (colon == std::string::npos) {
        return colon;
    }
    return colon + 1 + std::stoull(b.substr(pos, colon - pos));
}

std::string InfoBytes(const std::string& torrent) {
    size_t pos = 1;
    while (pos < torrent.size() && torrent[pos] != 'e') {
        const size_t keyEnd = SkipValue(torrent, pos);
        const size_t valueEnd = SkipValue(torrent, keyEnd);
        if (keyEnd == std::string::npos || valueEnd == std::string::npos) {
            break;
        }
        if (torrent.substr(pos, keyEnd - pos) == "4:info") {
            return torrent.substr(keyEnd, valueEnd - keyEnd);
        }
        pos = valueEnd;
    }
    return {};
}

// --- Command-line torrent tools, used as they come.

bool OnPath(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

bool RunQuietly(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::string Quote(const std::string& s) {
    return "'" + s + "'";
}

// The info hash as transmission-show reports it; empty when the tool refuses the file.
std::string ShowHash(const std::string& torrentPath) {
    std::FILE* p = popen(("transmission-show " + Quote(torrentPath) + " 2>/dev/null").c_str(), "r");
    if (p == nullptr) {
        return {};
    }
    std::string output;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) {
        output.append(buffer, n);
    }
    const int status = pclose(p);
    const size_t at = output.find("Hash: ");
    if (status != 0 || at == std::string::npos) {
        return {};
    }
    return output.substr(at + 6, 40);
}

TRef<TTorrent> NewTorrent() {
    return TRef<TTorrent>::Adopt(new TTorrent);
}

TTorrentTarget Target(const std::string& folder, bool createDirectories = true) {
    TTorrentTarget t;
    t.folder = folder;
    t.createDirectories = createDirectories;
    return t;
}

bool LoadBytes(TTorrent& t, const std::string& bytes, const TTorrentTarget& target) {
    t.SetTorrentData(bytes);
    return t.Load(target);
}

std::vector<std::string> Names(const TFileLayout& layout) {
    std::vector<std::string> names;
    for (const TLayoutFile& f : layout.files) {
        names.push_back(f.relativeName);
    }
    return names;
}

bool FolderIsEmpty(const std::string& path) {
    return std::filesystem::is_empty(path);
}

// --- Torrents made by other programs.

struct ToolCase {
    const char* tool;
    bool multiFile;
};

class ExternalTorrentTest : public ::testing::TestWithParam<ToolCase> {};

// The hash, the file list and the piece hashes of torrents written by the common
// command-line tools must come out as those tools and an independent reading say.
TEST_P(ExternalTorrentTest, ReadsWhatTheToolWrote) {
    const ToolCase c = GetParam();
    if (!OnPath(c.tool)) {
        GTEST_SKIP() << c.tool << " is not installed";
    }
    TempDir dir;
    const std::string a = RandomBytes(50000, 1);
    const std::string b = RandomBytes(70001, 2);
    std::string content;
    std::string input;
    if (c.multiFile) {
        std::filesystem::create_directories(dir.file("dl/sub"));
        WriteFile(dir.file("dl/a.bin"), a);
        WriteFile(dir.file("dl/sub/b.bin"), b);
        input = dir.file("dl");
        content = a + b;
    } else {
        WriteFile(dir.file("one.bin"), a);
        input = dir.file("one.bin");
        content = a;
    }
    const std::string out = dir.file("made.torrent");
    const std::string t1 = "http://t1.example/announce";
    const std::string t2 = "udp://t2.example:6969/announce";
    std::string command;
    if (std::string(c.tool) == "mktorrent") {
        command =
            "mktorrent -l 15 -a " + t1 + " -a " + t2 + " -c hello -o " + Quote(out) + " " + Quote(input);
    } else {
        command = "transmission-create -s 32 -t " + t1 + " -t " + t2 + " -c hello -o " + Quote(out) + " " +
                  Quote(input);
    }
    ASSERT_TRUE(RunQuietly(command)) << command;
    const std::string bytes = ReadFile(out);
    ASSERT_FALSE(bytes.empty());

    TempDir downloads;
    auto t = NewTorrent();
    ASSERT_TRUE(LoadBytes(*t, bytes, Target(downloads.path())));

    const std::string info = InfoBytes(bytes);
    ASSERT_FALSE(info.empty());
    EXPECT_EQ(t->InfoHashHex(), Sha1Hex(info));
    if (OnPath("transmission-show")) {
        EXPECT_EQ(t->InfoHashHex(), ShowHash(out));
    }
    EXPECT_EQ(t->Trackers(), (std::vector<std::string>{t1, t2}));
    EXPECT_EQ(t->Announce(), t1);
    EXPECT_EQ(t->Comment(), "hello");
    EXPECT_GT(t->CreationDate(), 0);

    const TFileLayout& layout = t->FileSet();
    EXPECT_EQ(layout.pieceLength, 32768);
    EXPECT_EQ(layout.totalSize, content.size());
    EXPECT_EQ(layout.pieceHashes, PieceHashes(content, 32768));
    EXPECT_EQ(layout.pieceCount, static_cast<int32_t>((content.size() + 32767) / 32768));
    if (c.multiFile) {
        EXPECT_EQ(layout.name, "dl");
        ASSERT_EQ(Names(layout), (std::vector<std::string>{"dl/a.bin", "dl/sub/b.bin"}));
        EXPECT_EQ(layout.files[1].path, downloads.path() + "/dl/sub/b.bin");
        EXPECT_EQ(layout.files[1].startOffset, a.size());
        EXPECT_EQ(layout.files[1].size, b.size());
        EXPECT_EQ(layout.files[1].index, 1);
    } else {
        ASSERT_EQ(Names(layout), (std::vector<std::string>{"one.bin"}));
        EXPECT_EQ(layout.files[0].path, downloads.path() + "/one.bin");
        EXPECT_EQ(layout.files[0].size, a.size());
    }
}

INSTANTIATE_TEST_SUITE_P(Tools, ExternalTorrentTest,
                         ::testing::Values(ToolCase{"mktorrent", false}, ToolCase{"mktorrent", true},
                                           ToolCase{"transmission-create", false},
                                           ToolCase{"transmission-create", true}),
                         [](const ::testing::TestParamInfo<ToolCase>& info) {
                             std::string name = info.param.tool;
                             for (char& ch : name) {
                                 if (ch == '-') {
                                     ch = '_';
                                 }
                             }
                             return name + (info.param.multiFile ? "_multi" : "_single");
                         });

// --- Our own writer.

TEST(TorrentWriterTest, WhatItWritesReadsBack) {
    TempDir dir;
    const std::string content = RandomBytes(3 * 16384 + 100, 7);
    WriteFile(dir.file("pkg.bin"), content);

    TTorrentWriter w;
    w.SetName("pkg.bin");
    w.SetPieceLength(16384);
    w.SetTrackers({"http://a.example/announce", "udp://b.example:80"});
    w.SetComment("build 42");
    w.SetCreationDate(1700000000);
    std::string fromBuffer;
    std::string fromFile;
    ASSERT_TRUE(w.Build(content, fromBuffer));
    ASSERT_TRUE(w.BuildFromFile(dir.file("pkg.bin"), fromFile));
    EXPECT_EQ(fromBuffer, fromFile);

    auto t = NewTorrent();
    ASSERT_TRUE(LoadBytes(*t, fromFile, Target(dir.path())));
    EXPECT_EQ(t->InfoHashHex(), Sha1Hex(InfoBytes(fromFile)));
    EXPECT_EQ(t->Trackers(), (std::vector<std::string>{"http://a.example/announce", "udp://b.example:80"}));
    EXPECT_EQ(t->Comment(), "build 42");
    EXPECT_EQ(t->CreationDate(), 1700000000);
    const TFileLayout& layout = t->FileSet();
    EXPECT_EQ(layout.pieceCount, 4);
    EXPECT_EQ(layout.pieceHashes, PieceHashes(content, 16384));
    ASSERT_EQ(layout.files.size(), 1u);
    EXPECT_EQ(layout.files[0].size, content.size());

    // Canonical bencode: our reader re-encodes it byte for byte.
    std::unique_ptr<QElement> root = ParseElement(fromFile.data(), fromFile.size());
    ASSERT_TRUE(root);
    std::string again;
    ASSERT_TRUE(Encode(root.get(), again));
    EXPECT_EQ(again, fromFile);

    if (OnPath("transmission-show")) {
        const std::string path = dir.file("pkg.torrent");
        ASSERT_TRUE(TTorrentWriter::WriteTorrentFile(path, fromFile));
        EXPECT_EQ(ShowHash(path), t->InfoHashHex());
    }
}

TEST(TorrentWriterTest, RefusesWhatTheReaderWouldRefuse) {
    TempDir dir;
    struct Case {
        const char* label;
        std::string name;
        int32_t pieceLength;
        std::string content;
    };
    const std::vector<Case> cases = {
        {"empty content", "a.bin", 16384, ""},
        {"empty name", "", 16384, "x"},
        {"name with a folder", "dir/a.bin", 16384, "x"},
        {"parent as name", "..", 16384, "x"},
        {"zero piece length", "a.bin", 0, "x"},
        {"negative piece length", "a.bin", -16384, "x"},
        {"piece length too large", "a.bin", TTorrent::kMaxPieceLength + 1, "x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TTorrentWriter w;
        w.SetName(c.name);
        w.SetPieceLength(c.pieceLength);
        std::string out = "stale";
        EXPECT_FALSE(w.Build(c.content, out));
        EXPECT_TRUE(out.empty());
    }
    TTorrentWriter w;
    w.SetName("a.bin");
    std::string out;
    EXPECT_FALSE(w.BuildFromFile(dir.file("missing.bin"), out));
    WriteFile(dir.file("empty.bin"), "");
    EXPECT_FALSE(w.BuildFromFile(dir.file("empty.bin"), out));
}

// --- Texts in other code pages.

TEST(TorrentTest, NamesInAnotherCodePageArriveInGbk) {
    TempDir dir;
    const std::string big5 = "\xA4\xA4\xA4\xE5"; // the same two characters in BIG5 ...
    const std::string gbk = "\xD6\xD0\xCE\xC4";  // ... and in GBK
    // Hash bytes that happen to be valid BIG5 text: converting them would change them.
    std::string pieces;
    for (int i = 0; i < 5; ++i) {
        pieces += big5;
    }
    const std::string info = D({{"files", L({Entry(10, {big5, big5 + ".bin"})})},
                                {"name", B(big5)},
                                {"piece length", I(16)},
                                {"pieces", B(pieces)}});
    struct Case {
        const char* label;
        std::string head; // root entries before "info"
        bool converted;
    };
    const std::vector<Case> cases = {
        {"encoding BIG5", D({{"encoding", B("BIG5")}}), true},
        {"encoding is case-insensitive", D({{"encoding", B("big5")}}), true},
        {"codepage wins over encoding", D({{"codepage", I(950)}, {"encoding", B("GBK")}}), true},
        {"unknown encoding reads as our own", D({{"encoding", B("UTF-8")}}), false},
        {"no encoding", "de", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        // Splice "info" into the head dictionary.
        const std::string bytes = c.head.substr(0, c.head.size() - 1) + B("info") + info + "e";
        auto t = NewTorrent();
        ASSERT_TRUE(LoadBytes(*t, bytes, Target(dir.path(), false)));
        const std::string name = c.converted ? gbk : big5;
        EXPECT_EQ(t->FileSet().name, name);
        ASSERT_EQ(Names(t->FileSet()), (std::vector<std::string>{name + "/" + name + "/" + name + ".bin"}));
        // Binary values and the hash are read as the bytes they are.
        EXPECT_EQ(t->FileSet().pieceHashes, pieces);
        EXPECT_EQ(t->InfoHashHex(), Sha1Hex(info));
        EXPECT_EQ(t->CodePage(), c.converted ? 950 : 0);
    }
}

TEST(TorrentTest, EachEncodingNameSelectsItsCodePage) {
    TempDir dir;
    struct Case {
        const char* encoding;
        int32_t codePage;
    };
    for (const Case& c :
         {Case{"GBK", 936}, Case{"BIG5", 950}, Case{"KOR", 949}, Case{"Shift-JIS", 932}, Case{"EUC-KR", 0}}) {
        SCOPED_TRACE(c.encoding);
        TTorrentWriter w;
        w.SetName("a.bin");
        w.SetEncoding(c.encoding);
        std::string bytes;
        ASSERT_TRUE(w.Build("abc", bytes));
        auto t = NewTorrent();
        ASSERT_TRUE(LoadBytes(*t, bytes, Target(dir.path(), false)));
        EXPECT_EQ(t->CodePage(), c.codePage);
    }
}

// --- Trackers.

TEST(TorrentTest, TrackerUrlsAreCutToTheirScheme) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"http://a/announce", "http://a/announce"},
        {"  \t**http://a/announce", "http://a/announce"},
        {"garbageHTTPS://a/x||", "HTTPS://a/x"},
        {"#udp://b:80/announce|||", "udp://b:80/announce"},
        {" http://a/x |\r\n", "http://a/x"},
        {"zzz", ""},
        {"xxh", ""},
        {"hu", "hu"},
        {"", ""},
        {"||||", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TTorrent::TrimTracker(c.in), c.out) << "input: " << c.in;
    }
}

TEST(TorrentTest, AnnounceListIsWalkedWithoutDuplicates) {
    TempDir dir;
    const std::string info =
        D({{"length", I(5)}, {"name", B("a")}, {"piece length", I(16)}, {"pieces", B(std::string(20, 'h'))}});
    const std::string list = L({
        L({B("http://one/announce")}),
        L({B("tracker"), B("!!http://two/announce|")}),
        L({B("http://one/announce"), L({B("udp://deep:1")})}),
        L({B(""), B("http://three/announce"), B("name"), B("http://never/announce")}),
        L({B("http://four/announce")}),
        D({{"x", B("http://dict/announce")}}),
    });
    const std::string bytes =
        D({{"announce", B("xx http://one/announce||")}, {"announce-list", list}, {"info", info}});
    auto t = NewTorrent();
    ASSERT_TRUE(LoadBytes(*t, bytes, Target(dir.path(), false)));
    EXPECT_EQ(t->Announce(), "http://one/announce");
    EXPECT_EQ(t->Trackers(),
              (std::vector<std::string>{"http://one/announce", "http://two/announce", "udp://deep:1",
                                        "http://three/announce", "http://four/announce"}));
}

// --- File layouts.

TEST(TorrentTest, DirectoryEntriesAreMadeAndEndTheListWhenTheyHaveALength) {
    const std::string onePiece = std::string(20, 'h'); // one 16-byte piece covers 10 or 15 bytes
    struct Case {
        const char* label;
        std::string files;
        std::vector<std::string> names;
        uint64_t total;
        bool madeDirectory;
    };
    const std::vector<Case> cases = {
        {"empty directory entry",
         L({Entry(10, {"a"}), Entry(0, {"empty", ""}), Entry(5, {"b"})}),
         {"dl/a", "dl/b"},
         15,
         true},
        {"directory with a length stops the walk",
         L({Entry(10, {"a"}), Entry(3, {"full", ""}), Entry(5, {"b"})}),
         {"dl/a"},
         10,
         false},
        {"entry without a path stops the walk",
         L({Entry(10, {"a"}), D({{"length", I(5)}}), Entry(5, {"b"})}),
         {"dl/a"},
         10,
         false},
        {"negative length stops the walk",
         L({Entry(10, {"a"}), Entry(-1, {"c"}), Entry(5, {"b"})}),
         {"dl/a"},
         10,
         false},
        {"empty path stops the walk",
         L({Entry(10, {"a"}), Entry(0, {}), Entry(5, {"b"})}),
         {"dl/a"},
         10,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        const std::string bytes = D(
            {{"info",
              D({{"files", c.files}, {"name", B("dl")}, {"piece length", I(16)}, {"pieces", B(onePiece)}})}});
        auto t = NewTorrent();
        ASSERT_TRUE(LoadBytes(*t, bytes, Target(dir.path())));
        EXPECT_EQ(Names(t->FileSet()), c.names);
        EXPECT_EQ(t->FileSet().totalSize, c.total);
        EXPECT_EQ(std::filesystem::is_directory(dir.file("dl/empty")), c.madeDirectory);
        EXPECT_FALSE(std::filesystem::exists(dir.file("dl/full")));
    }
}

TEST(TorrentTest, DirectoriesAreLeftAloneWhenAskedTo) {
    TempDir dir;
    const std::string bytes = D({{"info", D({{"files", L({Entry(0, {"empty", ""}), Entry(5, {"b"})})},
                                             {"name", B("dl")},
                                             {"piece length", I(16)},
                                             {"pieces", B(std::string(20, 'h'))}})}});
    auto t = NewTorrent();
    ASSERT_TRUE(LoadBytes(*t, bytes, Target(dir.path(), false)));
    EXPECT_TRUE(FolderIsEmpty(dir.path()));
}

TEST(TorrentTest, FolderNamedAfterTheDownloadIsNotNestedTwice) {
    TempDir dir;
    const std::string bytes = D({{"info", D({{"files", L({Entry(5, {"b"})})},
                                             {"name", B("dl")},
                                             {"piece length", I(16)},
                                             {"pieces", B(std::string(20, 'h'))}})}});
    for (const std::string& folder : {dir.file("dl"), dir.file("dl/"), dir.path()}) {
        SCOPED_TRACE(folder);
        auto t = NewTorrent();
        ASSERT_TRUE(LoadBytes(*t, bytes, Target(folder, false)));
        EXPECT_EQ(t->FileSet().folder, dir.path() + "/");
        EXPECT_EQ(t->FileSet().files[0].path, dir.path() + "/dl/b");
    }
}

TEST(TorrentTest, SingleFileNamesAndTargets) {
    TempDir dir;
    const std::string pieces = B(std::string(20, 'h'));
    struct Case {
        const char* label;
        std::string info;
        std::string targetFile;
        std::string relativeName;
        std::string path;
    };
    const std::vector<Case> cases = {
        {"missing name", D({{"length", I(5)}, {"piece length", I(16)}, {"pieces", pieces}}), "",
         "strRecommend", dir.path() + "/strRecommend"},
        {"empty name", D({{"length", I(5)}, {"name", B("")}, {"piece length", I(16)}, {"pieces", pieces}}),
         "", "strRecommend", dir.path() + "/strRecommend"},
        {"target file wins",
         D({{"length", I(5)}, {"name", B("a.bin")}, {"piece length", I(16)}, {"pieces", pieces}}),
         dir.file("other.bin"), "a.bin", dir.file("other.bin")},
        {"characters the file layer refuses",
         D({{"length", I(5)}, {"name", B("what?.txt\r\n")}, {"piece length", I(16)}, {"pieces", pieces}}), "",
         "what_.txt__", dir.path() + "/what_.txt__"},
        // 0xD5 0x5C is one GBK character whose second byte is a backslash.
        {"backslash inside a GBK character",
         D({{"length", I(5)}, {"name", B("\xD5\x5C.bin")}, {"piece length", I(16)}, {"pieces", pieces}}), "",
         "\xD5\x5C.bin", dir.path() + "/\xD5\x5C.bin"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TTorrentTarget target = Target(dir.path(), false);
        target.targetFile = c.targetFile;
        auto t = NewTorrent();
        ASSERT_TRUE(LoadBytes(*t, D({{"info", c.info}}), target));
        ASSERT_EQ(t->FileSet().files.size(), 1u);
        EXPECT_EQ(t->FileSet().files[0].relativeName, c.relativeName);
        EXPECT_EQ(t->FileSet().files[0].path, c.path);
        EXPECT_EQ(t->FileSet().files[0].size, 5u);
    }
}

// A tree whose "info" was edited after parsing no longer has its input bytes; the hash
// is then taken over its encoding, which for a canonical torrent is the same.
TEST(TorrentTest, EditedTreeIsHashedByItsEncoding) {
    TempDir dir;
    TTorrentWriter w;
    w.SetName("a.bin");
    std::string bytes;
    ASSERT_TRUE(w.Build("some content", bytes));
    std::unique_ptr<QElement> root = ParseElement(bytes.data(), bytes.size());
    ASSERT_TRUE(root);
    QElement* info = root->FindValue("info", -1);
    ASSERT_NE(info, nullptr);
    QElement* last = info->DetachAt(info->Count() - 1);
    ASSERT_NE(info->Append(last), nullptr);
    ASSERT_TRUE(info->SourceBytes().empty());

    auto t = NewTorrent();
    ASSERT_TRUE(t->Parse(*root, Target(dir.path(), false)));
    EXPECT_EQ(t->InfoHashHex(), Sha1Hex(InfoBytes(bytes)));
}

// --- P2SP templates.

std::string Template(const std::string& hash, const std::string& size, const std::string& length,
                     const std::string& tracker = "http$$$t.example/announce") {
    return "$Hash$" + hash + "$Size$" + size + "$Length$" + length + "$Tracker$" + tracker + "$End$";
}

TEST(TorrentTest, TemplateDescribesOneFileWithoutHashes) {
    TempDir dir;
    // Bytes chosen to show the escaping: letters and digits stay, all else is %xx.
    const std::string hex = "0041ff612e7a302d" + std::string(24, '0');
    auto t = NewTorrent();
    t->SetSource(Template(hex, "10485760", "262144"));
    std::vector<int> phases;
    t->SetPhaseCallback([&](int p) { phases.push_back(p); });
    ASSERT_TRUE(t->Load(Target(dir.path(), false)));
    EXPECT_EQ(phases, (std::vector<int>{3, 4}));
    EXPECT_EQ(t->InfoHashHex(), hex);
    std::string escaped = "%00A%ffa%2ez0%2d";
    for (int i = 0; i < 12; ++i) {
        escaped += "%00";
    }
    EXPECT_EQ(t->InfoHashEscaped(), escaped);
    EXPECT_EQ(t->GetInfoHash()[1], 0x41);
    EXPECT_EQ(t->Announce(), "http://t.example/announce");
    EXPECT_EQ(t->Trackers(), (std::vector<std::string>{"http://t.example/announce"}));
    const TFileLayout& layout = t->FileSet();
    EXPECT_EQ(layout.pieceCount, 40);
    EXPECT_EQ(layout.pieceLength, 262144);
    EXPECT_EQ(layout.totalSize, 10485760u);
    EXPECT_FALSE(layout.HasHashes());
    ASSERT_EQ(layout.files.size(), 1u);
    EXPECT_EQ(layout.files[0].path, dir.path() + "/001.qvinfo");

    TTorrentTarget target = Target(dir.path(), false);
    target.targetFile = dir.file("game.pkg");
    t->SetSource(Template(hex, "10485761", "262144"));
    ASSERT_TRUE(t->Load(target));
    EXPECT_EQ(t->FileSet().pieceCount, 41);
    EXPECT_EQ(t->FileSet().files[0].path, dir.file("game.pkg"));
    EXPECT_EQ(t->FileSet().files[0].relativeName, "game.pkg");
}

TEST(TorrentTest, BadTemplatesAreRefused) {
    TempDir dir;
    const std::string hex(40, 'a');
    struct Case {
        const char* label;
        std::string source;
    };
    const std::vector<Case> cases = {
        {"hash not hex", Template(std::string(39, 'a') + "g", "100", "16")},
        {"hash too short", Template(std::string(38, 'a'), "100", "16")},
        {"hash too long", Template(std::string(42, 'a'), "100", "16")},
        {"zero piece length", Template(hex, "100", "0")},
        {"negative piece length", Template(hex, "100", "-16")},
        {"piece length too large", Template(hex, "100", "268435456")},
        {"zero size", Template(hex, "0", "16")},
        {"size not a number", Template(hex, "1e3", "16")},
        {"size beyond 64 bits", Template(hex, "99999999999999999999", "16")},
        {"too many pieces", Template(hex, "9000000000000", "1")},
        {"markers out of order", "$Size$100$Hash$" + hex + "$Length$16$Tracker$x$End$"},
        {"no tracker marker", "$Hash$" + hex + "$Size$100$Length$16$End$"},
        {"template at the very start", "$End$"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        auto t = NewTorrent();
        t->SetSource(c.source);
        EXPECT_FALSE(t->Load(Target(dir.path(), false)));
        EXPECT_TRUE(t->FileSet().files.empty());
        EXPECT_TRUE(t->InfoHashHex().empty());
        EXPECT_TRUE(t->Trackers().empty());
    }
}

// --- Loading, phases and clearing.

TEST(TorrentTest, PhasesFrameEveryLoadThatStarts) {
    TempDir dir;
    struct Case {
        const char* label;
        std::string data;
        bool ok;
        std::vector<int> phases;
    };
    TTorrentWriter w;
    w.SetName("a.bin");
    std::string good;
    ASSERT_TRUE(w.Build("x", good));
    const std::vector<Case> cases = {
        {"good torrent", good, true, {3, 4}},
        {"upper-case opening", "D" + good.substr(1), true, {3, 4}},
        {"not a dictionary", "l" + good.substr(1), false, {3, 4}},
        {"no data", "", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        auto t = NewTorrent();
        std::vector<int> phases;
        t->SetPhaseCallback([&](int p) { phases.push_back(p); });
        EXPECT_EQ(LoadBytes(*t, c.data, Target(dir.path(), false)), c.ok);
        EXPECT_EQ(phases, c.phases);
    }
}

TEST(TorrentTest, ClearKeepsOnlyTheInputs) {
    TempDir dir;
    TTorrentWriter w;
    w.SetName("a.bin");
    w.SetTrackers({"http://a/announce"});
    w.SetComment("c");
    std::string bytes;
    ASSERT_TRUE(w.Build("x", bytes));
    auto t = NewTorrent();
    t->SetSource("file:///x.torrent");
    ASSERT_TRUE(LoadBytes(*t, bytes, Target(dir.path(), false)));
    t->Clear();
    EXPECT_EQ(t->GetInfoHash(), InfoHash{});
    EXPECT_TRUE(t->Trackers().empty());
    EXPECT_TRUE(t->Announce().empty());
    EXPECT_TRUE(t->Comment().empty());
    EXPECT_TRUE(t->FileSet().files.empty());
    EXPECT_EQ(t->TorrentData(), bytes);
    EXPECT_EQ(t->Source(), "file:///x.torrent");
    // A second load gives the same again, not the trackers twice.
    ASSERT_TRUE(t->Load(Target(dir.path(), false)));
    ASSERT_TRUE(t->Load(Target(dir.path(), false)));
    EXPECT_EQ(t->Trackers().size(), 1u);
}

// --- Hostile torrents.

std::string MultiInfo(const std::string& files, const std::string& name = "dl",
                      const std::string& pieceLength = I(16),
                      const std::string& pieces = B(std::string(20, 'h'))) {
    return D({{"files", files}, {"name", B(name)}, {"piece length", pieceLength}, {"pieces", pieces}});
}

std::string WithTracker(const std::string& info) {
    return D({{"announce", B("http://t/announce")}, {"info", info}});
}

TEST(TorrentTest, HostileTorrentsAreRefusedAndTouchNothing) {
    // A directory entry first: it must not be made when a later entry is refused.
    const std::string dirEntry = Entry(0, {"made", ""});
    const std::string base = WithTracker(MultiInfo(L({dirEntry, Entry(10, {"a"}), Entry(6, {"b"})})));
    const std::string hashes = B(std::string(20, 'h'));
    const int64_t big = std::numeric_limits<int64_t>::max();
    std::string deep = B("http://x");
    for (int i = 0; i < 100; ++i) {
        deep = "l" + deep + "e";
    }
    struct Case {
        const char* label;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {"parent element", WithTracker(MultiInfo(L({dirEntry, Entry(16, {"..", "x"})})))},
        {"parent element deeper down",
         WithTracker(MultiInfo(L({dirEntry, Entry(16, {"a", "..", "..", "x"})})))},
        {"dot element", WithTracker(MultiInfo(L({dirEntry, Entry(16, {".", "x"})})))},
        {"slash inside an element", WithTracker(MultiInfo(L({dirEntry, Entry(16, {"a/../../x"})})))},
        {"absolute element", WithTracker(MultiInfo(L({dirEntry, Entry(16, {"/etc", "passwd"})})))},
        {"backslash inside an element", WithTracker(MultiInfo(L({dirEntry, Entry(16, {"..\\..\\x"})})))},
        {"lead byte before a slash", WithTracker(MultiInfo(L({dirEntry, Entry(16, {"\x81/x"})})))},
        {"0 byte inside an element",
         WithTracker(MultiInfo(L({dirEntry, Entry(16, {std::string("a\0b", 3)})})))},
        {"empty element in the middle", WithTracker(MultiInfo(L({dirEntry, Entry(16, {"a", "", "b"})})))},
        {"path element is a list",
         WithTracker(MultiInfo(L({dirEntry, D({{"length", I(16)}, {"path", L({L({B("a")})})}})})))},
        {"name is the parent", WithTracker(MultiInfo(L({dirEntry, Entry(16, {"a"})}), ".."))},
        {"name with a slash", WithTracker(MultiInfo(L({dirEntry, Entry(16, {"a"})}), "x/../.."))},
        {"name is absolute", WithTracker(MultiInfo(L({dirEntry, Entry(16, {"a"})}), "/tmp"))},
        {"same file twice", WithTracker(MultiInfo(L({dirEntry, Entry(8, {"a"}), Entry(8, {"a"})})))},
        {"single file named parent",
         WithTracker(D({{"length", I(5)}, {"name", B("..")}, {"piece length", I(16)}, {"pieces", hashes}}))},
        {"single file name with a folder",
         WithTracker(
             D({{"length", I(5)}, {"name", B("../x")}, {"piece length", I(16)}, {"pieces", hashes}}))},
        {"negative piece length", WithTracker(MultiInfo(L({Entry(16, {"a"})}), "dl", I(-16)))},
        {"zero piece length", WithTracker(MultiInfo(L({Entry(16, {"a"})}), "dl", I(0)))},
        {"piece length beyond 32 bits", WithTracker(MultiInfo(L({Entry(16, {"a"})}), "dl", I(1LL << 32)))},
        {"piece length as a string", WithTracker(MultiInfo(L({Entry(16, {"a"})}), "dl", B("16")))},
        {"pieces 19 bytes",
         WithTracker(MultiInfo(L({Entry(16, {"a"})}), "dl", I(16), B(std::string(19, 'h'))))},
        {"pieces 21 bytes",
         WithTracker(MultiInfo(L({Entry(16, {"a"})}), "dl", I(16), B(std::string(21, 'h'))))},
        {"pieces empty", WithTracker(MultiInfo(L({Entry(16, {"a"})}), "dl", I(16), B("")))},
        {"pieces a list",
         WithTracker(MultiInfo(L({Entry(16, {"a"})}), "dl", I(16), L({B(std::string(20, 'h'))})))},
        {"more hashes than pieces",
         WithTracker(MultiInfo(L({Entry(16, {"a"})}), "dl", I(16), B(std::string(40, 'h'))))},
        {"fewer hashes than pieces", WithTracker(MultiInfo(L({Entry(17, {"a"})})))},
        // Wrapping at 2^64 would leave a total of 16: one piece, matching the hash list.
        {"sizes that wrap",
         WithTracker(MultiInfo(L({Entry(big, {"a"}), Entry(big, {"b"}), Entry(18, {"c"})})))},
        {"single length zero",
         WithTracker(D({{"length", I(0)}, {"name", B("a")}, {"piece length", I(16)}, {"pieces", hashes}}))},
        {"single length negative",
         WithTracker(D({{"length", I(-5)}, {"name", B("a")}, {"piece length", I(16)}, {"pieces", hashes}}))},
        {"single length a string",
         WithTracker(D({{"length", B("5")}, {"name", B("a")}, {"piece length", I(16)}, {"pieces", hashes}}))},
        {"files empty", WithTracker(MultiInfo("le"))},
        {"files a dictionary", WithTracker(MultiInfo(D({{"a", I(1)}})))},
        {"only directories", WithTracker(MultiInfo(L({dirEntry})))},
        {"neither length nor files",
         WithTracker(D({{"name", B("a")}, {"piece length", I(16)}, {"pieces", hashes}}))},
        {"no info", D({{"announce", B("http://t/announce")}})},
        {"info a string", D({{"announce", B("http://t/announce")}, {"info", B("d4:name1:ae")}})},
        {"info a list", D({{"announce", B("http://t/announce")}, {"info", L({B("x")})}})},
        {"truncated", base.substr(0, base.size() / 2)},
        {"last byte missing", base.substr(0, base.size() - 1)},
        {"list at the top", "l" + base.substr(1)},
        {"garbage", "this is no torrent"},
        {"deep nesting", D({{"announce-list", deep}, {"info", MultiInfo(L({Entry(16, {"a"})}))}})},
    };

    {
        // The base torrent is fine: every case below fails for its own flaw only.
        TempDir dir;
        auto t = NewTorrent();
        ASSERT_TRUE(LoadBytes(*t, base, Target(dir.path())));
        ASSERT_EQ(Names(t->FileSet()), (std::vector<std::string>{"dl/a", "dl/b"}));
        ASSERT_TRUE(std::filesystem::is_directory(dir.file("dl/made")));
    }
    TempDir dir;
    const std::string inside = dir.file("in");
    std::filesystem::create_directories(inside);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        auto t = NewTorrent();
        EXPECT_FALSE(LoadBytes(*t, c.bytes, Target(inside)));
        EXPECT_TRUE(t->FileSet().files.empty());
        EXPECT_TRUE(t->InfoHashHex().empty());
        EXPECT_TRUE(t->Trackers().empty());
        EXPECT_TRUE(FolderIsEmpty(inside));
    }
    // Nothing appeared beside the download folder either.
    size_t entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
}

} // namespace
