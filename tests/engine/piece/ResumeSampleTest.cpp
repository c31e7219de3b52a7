// Resume records written by an earlier version must keep loading: the samples under
// tests/data/resume-v1 were written once by this code and are checked in. Setting
// BRISKLANE_WRITE_SAMPLES=1 writes them anew (only when the format changes on purpose,
// as a new versioned folder).
#include "engine/piece/PieceFixture.h"
#include "engine/piece/TResumeInfo.h"
#include "platform/Disk.h"
#include "support/RandomBytes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace {

using namespace piecetest;
using testsupport::RandomByteVector;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

const std::string kSamples = std::string(BRISKLANE_SOURCE_DIR) + "/tests/data/resume-v1";
constexpr uint64_t kFileTime = 133000000000000000ull; // a fixed FILETIME for the data file

// The download of the sample: 5 pieces of 256 KiB over one file; pieces 0 and 3 done,
// piece 1 with 9 blocks stored and 2 buffered.
struct Sample {
    std::vector<uint8_t> data = RandomByteVector(5 * 262144 - 1000, 1234);
    TFileLayout Layout(const std::string& folder) const {
        return MakeLayout(folder, {data.size()}, 262144, data);
    }
};

TEST(ResumeSampleTest, VersionOneRecordsStillLoad) {
    Sample s;
    TempDir dir;
    const TFileLayout layout = s.Layout(dir.path());
    const std::string file = layout.files[0].path + ".qvtmp";
    RecordingHost host;
    TPieces::Options options;
    options.partialPiecePath = dir.file("sample.resumedf");

    if (std::getenv("BRISKLANE_WRITE_SAMPLES")) {
        TRef<TPieces> map = TRef<TPieces>::Adopt(new TPieces(&host));
        ASSERT_TRUE(map->CommitLayout(layout, TestHash(), options));
        for (uint32_t b : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 12u, 13u, 14u, 15u})
            Deliver(*map, s.data, b);
        for (uint32_t b = 48; b < 64; ++b)
            Deliver(*map, s.data, b);
        for (uint32_t b = 16; b < 25; ++b)
            Deliver(*map, s.data, b);
        map->StoreBufferedData();
        Deliver(*map, s.data, 25);
        Deliver(*map, s.data, 26);
        map->CloseFiles(true, false);
        platform::SetModificationFileTime(file, kFileTime);
        host.bits = map->BuildPieceStateRecord();
        ASSERT_TRUE(map->WritePartialData());
        TResumeInfo info;
        info.bits = host.bits;
        info.part = host.part;
        std::filesystem::create_directories(kSamples);
        WriteFile(kSamples + "/sample.resume", info.Encode());
        WriteFile(kSamples + "/sample.resumedf", ReadFile(options.partialPiecePath));
        GTEST_SKIP() << "samples written to " << kSamples;
    }

    // Rebuild the data file as the sample saw it: the stored pieces and prefix only.
    std::filesystem::create_directories(dir.path() + "/pkg");
    std::string disk(s.data.size(), '\0');
    for (uint64_t i = 0; i < 262144; ++i)
        disk[i] = static_cast<char>(s.data[i]);
    for (uint64_t i = 3 * 262144; i < 4 * 262144; ++i)
        disk[i] = static_cast<char>(s.data[i]);
    for (uint64_t i = 262144; i < 262144 + 9 * kBlockSize; ++i)
        disk[i] = static_cast<char>(s.data[i]);
    WriteFile(file, disk);
    ASSERT_TRUE(platform::SetModificationFileTime(file, kFileTime));
    WriteFile(options.partialPiecePath, ReadFile(kSamples + "/sample.resumedf"));

    TResumeInfo info;
    ASSERT_TRUE(info.Load(kSamples + "/sample.resume"));
    TRef<TPieces> map = TRef<TPieces>::Adopt(new TPieces(&host));
    ASSERT_TRUE(map->CommitLayout(layout, TestHash(), options));
    map->InitialCheck(nullptr, info.bits);
    EXPECT_EQ(map->Files().ReadCount(), 0u) << "the record was not accepted";
    EXPECT_EQ(map->Bitfield()[0], 0x90); // pieces 0 and 3
    EXPECT_EQ(map->Piece(1)->storedBytes, 9 * kBlockSize);
    EXPECT_EQ(map->Piece(1)->ContiguousEnd(), 11 * kBlockSize);
    for (uint32_t b = 27; b < 32; ++b)
        Deliver(*map, s.data, b);
    EXPECT_TRUE(map->HasPiece(1)); // the saved hash context continued correctly
}

} // namespace
