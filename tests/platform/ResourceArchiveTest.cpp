#include "platform/ResourceArchive.h"
#include "platform/Crc32.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

namespace {

using platform::ResourceArchive;
using platform::ResourceEntry;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

constexpr size_t kTrailer = 32;

// Stands in for a built program: bytes that happen to hold nothing like a trailer.
std::string ProgramBytes() {
    std::string p = "\x7f"
                    "ELF";
    for (int i = 0; i < 5000; ++i)
        p.push_back(static_cast<char>(i * 7));
    return p;
}

ResourceArchive Sample() {
    ResourceArchive a;
    a.Put({"SETTINGS", 12, platform::kLanguageChineseSimplified, "W1N1Ym1pdF0="});
    a.Put({"BLOB", 500, platform::kLanguageChineseSimplified, std::string("d4:info\0de", 10)});
    a.Put({"VERSION", 1, 1033, "1.2.3.4"});
    a.Put({"EMPTY", 7, platform::kLanguageChineseSimplified, ""});
    return a;
}

void PutLe(std::string& bytes, size_t at, uint64_t v, int width) {
    for (int i = 0; i < width; ++i, v >>= 8)
        bytes[at + static_cast<size_t>(i)] = static_cast<char>(v & 0xff);
}

// After changing archive bytes, makes the checksum right again so that the checks
// behind it are reached.
void Resign(std::string& file, size_t archiveLength) {
    const size_t start = file.size() - archiveLength;
    PutLe(file, file.size() - 4, platform::Crc32(0, file.data() + start, archiveLength - 4), 4);
}

TEST(Crc32Test, KnownValuesAndContinuation) {
    EXPECT_EQ(platform::Crc32(0, "123456789", 9), 0xCBF43926u);
    EXPECT_EQ(platform::Crc32(0, "", 0), 0u);
    EXPECT_EQ(platform::Crc32(platform::Crc32(0, "1234", 4), "56789", 5), 0xCBF43926u);
}

TEST(ResourceArchiveTest, RoundTripThroughAProgramFile) {
    TempDir dir;
    const std::string file = dir.file("program");
    const ResourceArchive written = Sample();
    WriteFile(file, ProgramBytes() + written.Serialize());

    ResourceArchive read;
    ASSERT_EQ(read.Load(file), ResourceArchive::Status::Ok) << read.error();
    EXPECT_EQ(read.status(), ResourceArchive::Status::Ok);
    EXPECT_TRUE(read.error().empty());
    ASSERT_EQ(read.entries().size(), 4u);
    for (const ResourceEntry& e : written.entries()) {
        const ResourceEntry* found = read.Find(e.type, e.id, e.language);
        ASSERT_NE(found, nullptr) << e.type;
        EXPECT_EQ(found->data, e.data);
    }
    // Language is part of the name: VERSION 1 was stored for 1033 only.
    EXPECT_EQ(read.Find("VERSION", 1), nullptr);
    EXPECT_EQ(read.Find("BLOB", 501), nullptr);
    EXPECT_EQ(read.Find("blob", 500), nullptr);

    std::string program;
    ASSERT_TRUE(ResourceArchive::StripArchive(ReadFile(file), program));
    EXPECT_EQ(program, ProgramBytes());
}

TEST(ResourceArchiveTest, PutReplacesTheSameName) {
    ResourceArchive a = Sample();
    a.Put({"SETTINGS", 12, platform::kLanguageChineseSimplified, "new"});
    EXPECT_EQ(a.entries().size(), 4u);
    EXPECT_EQ(a.Find("SETTINGS", 12)->data, "new");
    // Replacing keeps the order, so the same archive always serialises the same.
    EXPECT_EQ(a.entries().front().type, "SETTINGS");
}

TEST(ResourceArchiveTest, FilesWithoutArchive) {
    TempDir dir;
    struct Case {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"empty file", ""},
        {"shorter than a trailer", "abc"},
        {"a program as built", ProgramBytes()},
        {"an empty archive", ProgramBytes() + ResourceArchive().Serialize()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(dir.file("p"), c.bytes);
        ResourceArchive a;
        a.Put({"OLD", 1, 2052, "stale"});
        EXPECT_EQ(a.Load(dir.file("p")), ResourceArchive::Status::Ok) << a.error();
        EXPECT_TRUE(a.entries().empty());
        std::string program;
        EXPECT_TRUE(ResourceArchive::StripArchive(c.bytes, program));
    }
    ResourceArchive a;
    EXPECT_EQ(a.Load(dir.file("missing")), ResourceArchive::Status::NoFile);
    EXPECT_FALSE(a.error().empty());
    EXPECT_EQ(a.Load(dir.path()), ResourceArchive::Status::NoFile);
}

TEST(ResourceArchiveTest, DamageIsReportedNeverReadPast) {
    const std::string good = ProgramBytes() + Sample().Serialize();
    const size_t archiveLength = Sample().Serialize().size();
    const size_t start = good.size() - archiveLength;
    const size_t trailer = good.size() - kTrailer;
    struct Case {
        const char* what;
        std::function<void(std::string&)> damage;
        const char* message;
    } cases[] = {
        {"a flipped data byte", [&](std::string& f) { f[start + 20] ^= 0x01; }, "checksum"},
        {"a flipped checksum byte", [&](std::string& f) { f[f.size() - 1] ^= 0x40; }, "checksum"},
        {"bytes lost inside the archive", [&](std::string& f) { f.erase(start + 10, 5); }, "checksum"},
        {"a length beyond the file", [&](std::string& f) { PutLe(f, trailer + 16, good.size() + 1, 8); },
         "length"},
        {"a huge length", [&](std::string& f) { PutLe(f, trailer + 16, ~0ull >> 1, 8); }, "length"},
        {"a length below the trailer", [&](std::string& f) { PutLe(f, trailer + 16, 8, 8); }, "length"},
        {"a huge entry count", [&](std::string& f) { PutLe(f, trailer + 12, 0xffffffffu, 4); }, "entries"},
        {"another version", [&](std::string& f) { PutLe(f, trailer + 8, 2, 4); }, "version"},
        {"a reserved field set", [&](std::string& f) { PutLe(f, trailer + 24, 1, 4); }, "reserved"},
        {"an entry longer than the archive, checksum right",
         [&](std::string& f) {
             PutLe(f, start + 8, ~0ull, 8);
             Resign(f, archiveLength);
         },
         "past the end"},
        {"one entry fewer than stored, checksum right",
         [&](std::string& f) {
             PutLe(f, trailer + 12, 3, 4);
             Resign(f, archiveLength);
         },
         "stray"},
        {"an empty type name, checksum right",
         [&](std::string& f) {
             PutLe(f, start, 0, 2);
             Resign(f, archiveLength);
         },
         "type name"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string bytes = good;
        c.damage(bytes);
        WriteFile(dir.file("p"), bytes);
        ResourceArchive a;
        EXPECT_EQ(a.Load(dir.file("p")), ResourceArchive::Status::Damaged);
        EXPECT_EQ(a.status(), ResourceArchive::Status::Damaged);
        EXPECT_NE(a.error().find(c.message), std::string::npos) << a.error();
        EXPECT_TRUE(a.entries().empty());
        std::string program = "untouched";
        EXPECT_FALSE(ResourceArchive::StripArchive(bytes, program));
    }
}

TEST(ResourceArchiveTest, DuplicateEntriesAreDamage) {
    // Put never stores two entries of one name; only a foreign writer could.
    ResourceArchive one;
    one.Put({"A", 1, 2052, "x"});
    std::string entry = one.Serialize().substr(0, 16 + 1 + 1);
    std::string archive = entry + entry + one.Serialize().substr(entry.size());
    PutLe(archive, archive.size() - kTrailer + 12, 2, 4);
    PutLe(archive, archive.size() - kTrailer + 16, archive.size(), 8);
    Resign(archive, archive.size());
    TempDir dir;
    WriteFile(dir.file("p"), archive);
    ResourceArchive a;
    EXPECT_EQ(a.Load(dir.file("p")), ResourceArchive::Status::Damaged);
    EXPECT_NE(a.error().find("twice"), std::string::npos) << a.error();
}

} // namespace
