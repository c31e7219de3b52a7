#include "engine/core/QAdler32.h"
#include "engine/piece/PieceFixture.h"
#include "engine/piece/TResumeInfo.h"
#include "platform/Disk.h"
#include "support/RandomBytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <numeric>
#include <random>

namespace {

using namespace piecetest;
using testsupport::FileExists;
using testsupport::RandomByteVector;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

constexpr int32_t kPiece = 65536; // four blocks

std::string Slice(const std::vector<uint8_t>& data, uint64_t from, uint64_t n) {
    return std::string(reinterpret_cast<const char*>(data.data()) + from, n);
}

class PiecesTest : public ::testing::Test {
protected:
    // Three files whose borders fall inside pieces, the last piece short.
    void Build(bool withHashes = true) {
        sizes_ = {100000, 150001, 70000};
        data_ = RandomByteVector(320001, 42);
        layout_ = MakeLayout(dir_.path(), sizes_, kPiece, data_, withHashes);
        Open(map_);
    }
    void Open(TRef<TPieces>& map, const std::string& partial = "") {
        map = TRef<TPieces>::Adopt(new TPieces(&host_));
        TPieces::Options options;
        options.partialPiecePath = partial;
        ASSERT_TRUE(map->CommitLayout(layout_, TestHash(), options));
    }
    std::string FinalPath(int i) const { return layout_.files[static_cast<size_t>(i)].path; }

    TempDir dir_;
    RecordingHost host_;
    std::vector<uint64_t> sizes_;
    std::vector<uint8_t> data_;
    TFileLayout layout_;
    TRef<TPieces> map_;
};

TEST_F(PiecesTest, BlockAddressingAndBitOrder) {
    Build();
    EXPECT_EQ(map_->PieceCount(), 5);
    int32_t size = 0, missing = 0;
    ASSERT_TRUE(map_->PieceInfo(4, size, missing));
    EXPECT_EQ(size, 320001 - 4 * kPiece);
    EXPECT_EQ(map_->BlockLength(19), 320001 - 19 * kBlockSize); // the short last block
    EXPECT_EQ(map_->BlockLength(20), 0);
    // Block 5 is piece 1 at offset 16 384; completing piece 0 sets the top bit.
    for (uint32_t b = 0; b < 4; ++b)
        ASSERT_GT(Deliver(*map_, data_, b), 0);
    EXPECT_EQ(map_->Bitfield()[0], 0x80);
    ASSERT_GT(Deliver(*map_, data_, 5), 0);
    EXPECT_TRUE(map_->HasBlock(5));
    EXPECT_FALSE(map_->HasBlock(4));
    ASSERT_TRUE(map_->PieceInfo(1, size, missing));
    EXPECT_EQ(missing, 0); // offset 16 384 is buffered, but 0 is still missing
}

TEST_F(PiecesTest, LayoutsThatCannotWorkAreRefused) {
    sizes_ = {100000};
    data_ = RandomByteVector(100000, 1);
    struct Case {
        const char* what;
        std::function<void(TFileLayout&)> spoil;
    } cases[] = {
        {"too few pieces", [](TFileLayout& l) { l.pieceCount -= 1; }},
        {"too many pieces", [](TFileLayout& l) { l.pieceCount += 1; }},
        {"hash count", [](TFileLayout& l) { l.pieceHashes.resize(l.pieceHashes.size() - 20); }},
        {"piece length not whole blocks", [](TFileLayout& l) { l.pieceLength = 20000, l.pieceCount = 5; }},
        {"zero piece length", [](TFileLayout& l) { l.pieceLength = 0; }},
        {"files do not add up", [](TFileLayout& l) { l.files[0].size -= 1; }},
        {"no files", [](TFileLayout& l) { l.files.clear(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TFileLayout l = MakeLayout(dir_.path(), sizes_, kPiece, data_);
        c.spoil(l);
        TRef<TPieces> map = TRef<TPieces>::Adopt(new TPieces(&host_));
        EXPECT_FALSE(map->CommitLayout(l, TestHash(), {}));
        EXPECT_FALSE(map->Usable());
    }
}

TEST_F(PiecesTest, RandomOrderWithDuplicatesFillsEveryFileUnderItsFinalName) {
    Build();
    std::vector<uint32_t> order(BlockCount(*map_));
    std::iota(order.begin(), order.end(), 0u);
    // Every block twice, some three times, shuffled: duplicates and overlaps with data
    // already stored must change nothing.
    std::vector<uint32_t> deliveries = order;
    deliveries.insert(deliveries.end(), order.begin(), order.end());
    deliveries.insert(deliveries.end(), order.begin(), order.begin() + 7);
    std::shuffle(deliveries.begin(), deliveries.end(), std::mt19937(7));
    CountingSource source;
    int accepted = 0;
    for (size_t n = 0; n < deliveries.size(); ++n) {
        if (Deliver(*map_, data_, deliveries[n], &source) > 0)
            ++accepted;
        if (n % 5 == 0)
            map_->StoreBufferedData();
    }
    EXPECT_EQ(accepted, static_cast<int>(order.size()));
    EXPECT_EQ(map_->PiecesDone(), map_->PieceCount());
    EXPECT_EQ(map_->DoneBytes(), 320001u);
    EXPECT_EQ(source.good, map_->PieceCount());
    map_->CloseFiles(true, false); // verified pieces held in memory reach the disk
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(FileExists(FinalPath(i) + ".qvtmp")) << i; // written under the temporary name
        EXPECT_FALSE(FileExists(FinalPath(i))) << i;
    }

    map_->CloseFiles(true, true);
    uint64_t offset = 0;
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_FALSE(FileExists(FinalPath(i) + ".qvtmp"));
        EXPECT_EQ(ReadFile(FinalPath(i)), Slice(data_, offset, sizes_[static_cast<size_t>(i)]));
        offset += sizes_[static_cast<size_t>(i)];
    }
    EXPECT_FALSE(host_.bits.empty());
}

TEST_F(PiecesTest, WrongBytesGiveMinus99AndThePieceStartsAfresh) {
    Build();
    CountingSource source;
    std::vector<uint8_t> bad = data_;
    bad[kPiece + 5] ^= 0xff; // piece 1, first block
    for (uint32_t b = 4; b < 7; ++b)
        ASSERT_GT(Deliver(*map_, bad, b, &source), 0);
    EXPECT_EQ(Deliver(*map_, bad, 7, &source), TPieces::kCorruptPiece);
    EXPECT_FALSE(map_->HasPiece(1));
    EXPECT_TRUE(map_->PieceNeeded(1));
    EXPECT_FALSE(map_->HasBlock(4));
    EXPECT_EQ(source.bad, 1);
    EXPECT_EQ(host_.corrupt, std::vector<int>{1});
    // Good blocks now complete it from nothing.
    for (uint32_t b = 4; b < 8; ++b)
        ASSERT_GT(Deliver(*map_, data_, b, &source), 0);
    EXPECT_TRUE(map_->HasPiece(1));
    EXPECT_EQ(source.good, 1);
}

TEST_F(PiecesTest, MixedSourcesCreditNobody) {
    Build();
    CountingSource a, b;
    Deliver(*map_, data_, 0, &a);
    Deliver(*map_, data_, 1, &b);
    Deliver(*map_, data_, 2, &b);
    Deliver(*map_, data_, 3, &b);
    EXPECT_TRUE(map_->HasPiece(0));
    EXPECT_EQ(a.good + b.good, 0);
}

TEST_F(PiecesTest, PlainLayoutWithoutHashesAcceptsCompletePieces) {
    Build(false);
    for (uint32_t b = 0; b < BlockCount(*map_); ++b)
        Deliver(*map_, data_, b);
    EXPECT_EQ(map_->PiecesDone(), map_->PieceCount());
}

TEST_F(PiecesTest, ResumeRestoresBitfieldAndPartialPiecesWithoutRereading) {
    sizes_ = {300000, 400000};
    data_ = RandomByteVector(700000, 9);
    layout_ = MakeLayout(dir_.path(), sizes_, 262144, data_); // three pieces of 16 blocks
    const std::string partial = dir_.file("resume.df");
    Open(map_, partial);
    for (uint32_t b = 0; b < 16; ++b) // piece 0 complete
        Deliver(*map_, data_, b);
    for (uint32_t b = 16; b < 27; ++b) // piece 1: 11 blocks
        Deliver(*map_, data_, b);
    map_->StoreBufferedData();         // stores 11 blocks (>= 128 KiB) of piece 1 and hashes them
    for (uint32_t b = 27; b < 30; ++b) // three more, buffered only
        Deliver(*map_, data_, b);
    Deliver(*map_, data_, 33); // piece 2: one lone block, not contiguous from 0
    const int32_t stored1 = map_->Piece(1)->storedBytes;
    ASSERT_EQ(stored1, 11 * kBlockSize);

    map_->CloseFiles(true, false);
    ASSERT_TRUE(map_->WritePartialData());
    TResumeInfo info;
    info.bits = host_.bits;
    info.part = host_.part;
    ASSERT_TRUE(info.Save(dir_.file("resume")));
    const std::vector<uint8_t> bitsBefore = map_->Bitfield();
    map_.reset();

    TResumeInfo loaded;
    ASSERT_TRUE(loaded.Load(dir_.file("resume")));
    TRef<TPieces> again;
    Open(again, partial);
    again->InitialCheck(nullptr, loaded.bits);
    EXPECT_EQ(again->Bitfield(), bitsBefore);
    EXPECT_EQ(again->Files().ReadCount(), 0u); // nothing stored was read back to hash it
    const TPiece* p1 = again->Piece(1);
    EXPECT_EQ(p1->storedBytes, stored1);
    EXPECT_EQ(p1->ContiguousEnd(), 14 * kBlockSize);
    EXPECT_EQ(again->Piece(2)->buffer.size(), 0u); // a lone block has no place in the record
    // The restored hash context continues: the last two blocks complete piece 1.
    Deliver(*again, data_, 30);
    Deliver(*again, data_, 31);
    EXPECT_TRUE(again->HasPiece(1));
}

TEST_F(PiecesTest, RejectedRecordsLeadToAFullCheck) {
    sizes_ = {300000};
    data_ = RandomByteVector(300000, 3);
    layout_ = MakeLayout(dir_.path(), sizes_, kPiece, data_);
    Open(map_);
    for (uint32_t b = 0; b < 8; ++b)
        Deliver(*map_, data_, b);
    map_->CloseFiles(true, false);
    const std::string good = host_.bits;
    map_.reset();
    const std::string file = layout_.files[0].path + ".qvtmp";

    struct Case {
        const char* what;
        std::function<void(std::string& record)> spoil;
        bool accepted;
    } cases[] = {
        {"as written", [](std::string&) {}, true},
        {"another info hash",
         [](std::string& r) {
             const size_t at = r.find("8:infohash20:") + 13;
             r[at] = static_cast<char>(r[at] ^ 1);
         },
         false},
        {"other size",
         [](std::string& r) {
             const std::string key = "4:Sizei300000e";
             r.replace(r.find(key), key.size(), "4:Sizei300001e");
         },
         false},
        {"bitfield of another length",
         [](std::string& r) {
             const size_t at = r.find("8:BitField1:");
             r.replace(at, 13, "8:BitField2:\x01");
         },
         false},
        {"empty", [](std::string& r) { r.clear(); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string record = good;
        c.spoil(record);
        TRef<TPieces> map;
        Open(map);
        EXPECT_EQ(map->LoadPieceStateRecord(record), c.accepted);
        TRef<TPieces> checked;
        Open(checked);
        checked->InitialCheck(nullptr, record);
        // Either way the map ends with exactly the pieces on disk.
        EXPECT_EQ(checked->PiecesDone(), 2);
        EXPECT_EQ(checked->Files().ReadCount() > 0, !c.accepted);
    }
    // A file touched after the record was written no longer matches it.
    platform::SetModificationFileTime(file, 132000000000000000ull);
    TRef<TPieces> map;
    Open(map);
    EXPECT_FALSE(map->LoadPieceStateRecord(good));
}

TEST_F(PiecesTest, DamagedPieceStatusAndPartialRecordsAreDroppedNotTrusted) {
    sizes_ = {800000};
    data_ = RandomByteVector(800000, 5);
    layout_ = MakeLayout(dir_.path(), sizes_, 262144, data_);
    const std::string partial = dir_.file("p.df");
    Open(map_, partial);
    // Pieces 0, 1 and 2 each: 9 blocks stored and hashed, then 2 buffered.
    for (uint32_t piece = 0; piece < 3; ++piece) {
        for (uint32_t b = 0; b < 9; ++b)
            Deliver(*map_, data_, piece * 16 + b);
        map_->StoreBufferedData();
        for (uint32_t b = 9; b < 11; ++b)
            Deliver(*map_, data_, piece * 16 + b);
    }
    map_->CloseFiles(true, false);
    ASSERT_TRUE(map_->WritePartialData());
    std::string record = host_.bits;
    map_.reset();

    // Corrupt the CRC32 of the second PieceStatus entry: that piece starts from scratch.
    size_t at = record.find("5:CRC32i");
    at = record.find("5:CRC32i", at + 1);
    ASSERT_NE(at, std::string::npos);
    record[at + 8] = record[at + 8] == '1' ? '2' : '1';
    // Damage the second record of the partial-piece file: reading ends there.
    std::string df = ReadFile(partial);
    const size_t second = 16 + 2 * kBlockSize;
    df[second + 16 + 100] ^= 0x55;
    WriteFile(partial, df);

    TRef<TPieces> again;
    Open(again, partial);
    ASSERT_TRUE(again->LoadPieceStateRecord(record));
    EXPECT_EQ(again->Piece(0)->storedBytes, 9 * kBlockSize);
    EXPECT_EQ(again->Piece(0)->ContiguousEnd(), 11 * kBlockSize); // first record read
    EXPECT_EQ(again->Piece(1)->storedBytes, 0);                   // its CRC32 was wrong
    EXPECT_EQ(again->Piece(2)->storedBytes, 9 * kBlockSize);
    EXPECT_EQ(again->Piece(2)->ContiguousEnd(), 9 * kBlockSize); // reading stopped before it
}

TEST_F(PiecesTest, FileRecordedAbsentMustStillBeAbsent) {
    sizes_ = {65536, 65536};
    data_ = RandomByteVector(131072, 8);
    layout_ = MakeLayout(dir_.path(), sizes_, kPiece, data_);
    Open(map_);
    for (uint32_t b = 0; b < 4; ++b)
        Deliver(*map_, data_, b);
    map_->CloseFiles(true, false); // the second file was never created: Low = High = Size = 0
    const std::string record = host_.bits;
    {
        TRef<TPieces> map;
        Open(map);
        EXPECT_TRUE(map->LoadPieceStateRecord(record));
    }
    WriteFile(layout_.files[1].path + ".qvtmp", "");
    TRef<TPieces> map;
    Open(map);
    EXPECT_FALSE(map->LoadPieceStateRecord(record));
}

TEST_F(PiecesTest, QuickCheckTrustsCompleteFilesAfterThreePieces) {
    sizes_ = {200000, 200000};
    data_ = RandomByteVector(400000, 4);
    layout_ = MakeLayout(dir_.path(), sizes_, kPiece, data_);
    std::filesystem::create_directories(dir_.path() + "/pkg");
    WriteFile(layout_.files[0].path, Slice(data_, 0, 200000));
    WriteFile(layout_.files[1].path, Slice(data_, 200000, 200000));
    TRef<TPieces> map = TRef<TPieces>::Adopt(new TPieces(&host_));
    TPieces::Options options;
    options.quickCheck = true;
    ASSERT_TRUE(map->CommitLayout(layout_, TestHash(), options));
    map->InitialCheck(nullptr, "");
    EXPECT_EQ(map->PiecesDone(), map->PieceCount());
    EXPECT_EQ(map->Files().ReadCount(), 3u);
    EXPECT_FALSE(FileExists(layout_.files[0].path + ".qvtmp")); // an existing file is written in place
}

TEST_F(PiecesTest, DiskFullWaitsAndReportsBothEvents) {
    sizes_ = {65536};
    data_ = RandomByteVector(65536, 6);
    layout_ = MakeLayout(dir_.path(), sizes_, kPiece, data_);
    Open(map_);
    int calls = 0;
    map_->Files().SetFreeSpaceFunction([&](const std::string&, uint64_t& bytes) {
        bytes = ++calls < 3 ? 1000 : 1u << 30;
        return true;
    });
    for (uint32_t b = 0; b < 4; ++b)
        Deliver(*map_, data_, b);
    map_->CloseFiles(true, true);
    EXPECT_EQ(host_.fileEvents, (std::vector<int>{1002, 1003}));
    EXPECT_EQ(ReadFile(layout_.files[0].path), Slice(data_, 0, 65536));
}

TEST_F(PiecesTest, DiskFullGivesUpWhenTheTaskStops) {
    sizes_ = {65536};
    data_ = RandomByteVector(65536, 6);
    layout_ = MakeLayout(dir_.path(), sizes_, kPiece, data_);
    Open(map_);
    map_->Files().SetFreeSpaceFunction([](const std::string&, uint64_t& bytes) {
        bytes = 10;
        return true;
    });
    host_.stop = true;
    for (uint32_t b = 0; b < 4; ++b)
        Deliver(*map_, data_, b);
    map_->CloseFiles(true, false);
    EXPECT_EQ(host_.fileEvents, std::vector<int>{1002});
    EXPECT_FALSE(map_->HasPiece(0)); // the data never reached the disk
}

TEST_F(PiecesTest, OpenFileLimitFollowsThePieceLength) {
    sizes_.assign(20, 1000);
    data_ = RandomByteVector(20000, 2);
    layout_ = MakeLayout(dir_.path(), sizes_, 4 * 1024 * 1024, data_);
    Open(map_);
    EXPECT_EQ(map_->Files().OpenLimit(), 9u); // 128 / 16 + 1
    for (uint32_t b = 0; b < 2; ++b)
        Deliver(*map_, data_, b);
    map_->CloseFiles(true, true);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(ReadFile(layout_.files[static_cast<size_t>(i)].path), Slice(data_, 1000u * i, 1000)) << i;
}

} // namespace
