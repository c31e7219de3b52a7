#include "engine/piece/TPieceWork.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

class FakePieces : public TPieceQuery {
public:
    FakePieces(int count, int32_t length) : present(static_cast<size_t>(count)), length_(length) {}

    int32_t PieceCount() const override { return static_cast<int32_t>(present.size()); }
    int32_t PieceLength() const override { return length_; }
    int32_t PiecesDone() const override {
        return static_cast<int32_t>(std::count(present.begin(), present.end(), true));
    }
    bool PieceNeeded(int piece) const override {
        return piece >= 0 && piece < PieceCount() && !present[static_cast<size_t>(piece)];
    }
    void DiscardBuffered(int piece) override { discarded.push_back(piece); }

    void Set(int first, int last) {
        for (int i = first; i <= last; ++i)
            present[static_cast<size_t>(i)] = true;
    }

    std::vector<bool> present;
    std::vector<int> discarded;

private:
    int32_t length_;
};

// Counts workers on piece until the rule refuses one more.
int AdmittedWorkers(TPieceWork& work, int piece) {
    int n = 0;
    while (work.MarkInProgress(piece, true, false) && n < 1000)
        ++n;
    return n;
}

struct WorkerCase {
    int pieceCount;
    int done;
    int connections;
    int expected;
};

TEST(PieceWork, WorkersPerPiece) {
    const std::vector<WorkerCase> cases = {
        {100, 30, 10, 1},   // 70 missing: one worker each
        {100, 90, 90, 54},  // max(90 / 3, 64) + 90 - 100
        {100, 90, 300, 90}, // many connections: 300 / 3 + 90 - 100
        {100, 0, 0, 1},     {100, 99, 0, 63},
    };
    for (const WorkerCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.pieceCount << " pieces, " << c.done << " done, " << c.connections
                                        << " connections");
        FakePieces pieces(c.pieceCount, 16384);
        pieces.Set(0, c.done - 1);
        TPieceWork work(pieces);
        work.SetConnectionCount(c.connections);
        EXPECT_EQ(work.AllowedWorkers(), c.expected);
        EXPECT_EQ(AdmittedWorkers(work, c.pieceCount - 1), c.expected);
        EXPECT_EQ(work.InProgressCount(c.pieceCount - 1), c.expected);
        EXPECT_EQ(work.InProgressEntries(), c.expected);
    }
}

TEST(PieceWork, PiecesOutsideTheDownloadAreNeverInProgress) {
    FakePieces pieces(10, 16384);
    TPieceWork work(pieces);
    for (int piece : {-1, 10}) {
        EXPECT_FALSE(work.MarkInProgress(piece, true, false));
        EXPECT_FALSE(work.MarkInProgress(piece, false, true));
        EXPECT_FALSE(work.MarkInProgress(piece, false, false));
    }
    EXPECT_EQ(work.InProgressEntries(), 0);
    EXPECT_TRUE(pieces.discarded.empty());
}

TEST(PieceWork, EndGameWhenEntriesCoverTheMissingPiecesAndTheStickyFlagStays) {
    for (int missing : {3, 4}) {
        SCOPED_TRACE(testing::Message() << missing << " missing");
        FakePieces pieces(10, 16384);
        pieces.Set(0, 9 - missing);
        TPieceWork work(pieces);
        for (int piece : {7, 8, 9})
            ASSERT_TRUE(work.MarkInProgress(piece, true, false));
        EXPECT_EQ(work.EndGame(), missing == 3);
        EXPECT_EQ(work.EndGameReached(), missing == 3);

        // One worker stops: no longer end-game, but it was reached once.
        EXPECT_TRUE(work.MarkInProgress(9, false, false));
        EXPECT_FALSE(work.EndGame());
        EXPECT_EQ(work.EndGameReached(), missing == 3);
    }
}

TEST(PieceWork, VerifiedPieceLeavesTheInProgressSet) {
    FakePieces pieces(10, 16384);
    pieces.Set(0, 6);
    TPieceWork work(pieces);
    work.SetConnectionCount(30);
    ASSERT_TRUE(work.MarkInProgress(7, true, false));
    ASSERT_TRUE(work.MarkInProgress(7, true, false));
    ASSERT_TRUE(work.MarkInProgress(8, true, false));
    EXPECT_TRUE(work.EndGame());
    pieces.Set(7, 7);
    work.PieceVerified(7);
    EXPECT_EQ(work.InProgressCount(7), 0);
    EXPECT_EQ(work.InProgressEntries(), 1);
    EXPECT_FALSE(work.EndGame()); // 1 entry, 2 missing
}

TEST(PieceWork, RemovingOneWorkerOrDiscardingAll) {
    FakePieces pieces(10, 16384);
    TPieceWork work(pieces);
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(work.MarkInProgress(4, true, false));
    ASSERT_TRUE(work.MarkInProgress(5, true, false));

    EXPECT_TRUE(work.MarkInProgress(4, false, false));
    EXPECT_EQ(work.InProgressCount(4), 2);
    EXPECT_TRUE(work.MarkInProgress(4, false, true));
    EXPECT_EQ(work.InProgressCount(4), 0);
    EXPECT_EQ(work.InProgressCount(5), 1);
    EXPECT_EQ(work.InProgressEntries(), 1);
    EXPECT_FALSE(work.MarkInProgress(4, false, false));
    // A discard drops the piece's data even when nobody worked on it, and says so.
    EXPECT_FALSE(work.MarkInProgress(4, false, true));
    EXPECT_EQ(pieces.discarded, (std::vector<int>{4, 4}));
}

struct DiscardCase {
    const char* name;
    int done;        // of 10 pieces
    int workersFrom; // pieces workersFrom..9 get one worker each
    bool stopping;
    bool dropped;
};

TEST(PieceWork, DiscardKeepsDataInEndGameWithMoreThanThreeMissingAndWhileStopping) {
    const std::vector<DiscardCase> cases = {
        {"not in end-game", 0, 8, false, true},
        {"end-game with 5 missing", 5, 5, false, false},
        {"end-game with 4 missing", 6, 6, false, false},
        {"end-game with 3 missing", 7, 7, false, true},
        {"stopping", 0, 8, true, false},
    };
    for (const DiscardCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakePieces pieces(10, 16384);
        pieces.Set(0, c.done - 1);
        TPieceWork work(pieces);
        work.SetStopping(c.stopping);
        for (int piece = c.workersFrom; piece < 10; ++piece)
            ASSERT_TRUE(work.MarkInProgress(piece, true, false));
        EXPECT_TRUE(work.MarkInProgress(9, false, true));
        EXPECT_EQ(pieces.discarded, c.dropped ? std::vector<int>{9} : std::vector<int>{});
        EXPECT_EQ(work.InProgressCount(9), 0);
    }
}

// ---------------------------------------------------------------------------
// The shared end-game list. With 65 536-byte pieces, piece p holds blocks 4p..4p+3.

constexpr int32_t kFourBlocks = 65536;

std::vector<uint8_t> Has(std::initializer_list<int> pieces) {
    std::vector<uint8_t> bits(1);
    for (int p : pieces)
        bits[static_cast<size_t>(p) / 8] |= static_cast<uint8_t>(0x80 >> (p % 8));
    return bits;
}

TEST(PieceWork, EndGameListStaysSortedWithoutDuplicatesInsideTheDownload) {
    FakePieces pieces(8, kFourBlocks);
    TPieceWork work(pieces);
    for (uint32_t block : {9u, 4u, 13u, 5u, 8u})
        EXPECT_TRUE(work.AddEndGameBlock(block));
    EXPECT_FALSE(work.AddEndGameBlock(9));
    EXPECT_FALSE(work.AddEndGameBlock(32)); // piece 8 does not exist
    EXPECT_EQ(work.EndGameList(), (std::vector<uint32_t>{4, 5, 8, 9, 13}));
    EXPECT_TRUE(work.HasEndGameBlock(8));
    EXPECT_TRUE(work.RemoveEndGameBlock(8));
    EXPECT_FALSE(work.RemoveEndGameBlock(8));
    EXPECT_FALSE(work.HasEndGameBlock(8));
}

struct TakeCase {
    const char* name;
    std::vector<uint8_t> bitfield;
    std::vector<int> excluded;
    std::vector<int> present;
    std::vector<uint32_t> queue;
    int max;
    std::vector<uint32_t> queueAfter;
    std::vector<uint32_t> listAfter;
};

TEST(PieceWork, TakeEndGameBlocks) {
    // Listed: piece 1 (blocks 4-7), piece 2 (8, 9, 11), piece 3 (12).
    const std::vector<uint32_t> listed = {12, 8, 4, 5, 6, 7, 9, 11};
    const std::vector<TakeCase> cases = {
        {"first listed piece the remote has", Has({1, 2, 3}), {}, {}, {}, 0, {4, 5, 6, 7}, {8, 9, 11, 12}},
        {"a piece the remote lacks is passed", Has({2, 3}), {}, {}, {}, 0, {8, 9, 11}, {4, 5, 6, 7, 12}},
        {"an excluded piece is passed", Has({1, 2, 3}), {1, 2}, {}, {}, 0, {12}, {4, 5, 6, 7, 8, 9, 11}},
        {"a piece no longer needed is passed", Has({1, 2, 3}), {}, {1}, {}, 0, {8, 9, 11}, {4, 5, 6, 7, 12}},
        {"at most max blocks", Has({1}), {}, {}, {}, 3, {4, 5, 6}, {7, 8, 9, 11, 12}},
        {"queued blocks stay listed and are not counted",
         Has({1}),
         {},
         {},
         {5, 40},
         2,
         {5, 40, 4, 6},
         {5, 7, 8, 9, 11, 12}},
        {"a piece whose blocks are all queued is passed",
         Has({1, 2}),
         {},
         {},
         {4, 5, 6, 7},
         0,
         {4, 5, 6, 7, 8, 9, 11},
         {4, 5, 6, 7, 12}},
        {"nothing the remote has", Has({0, 4, 7}), {}, {}, {}, 0, {}, {4, 5, 6, 7, 8, 9, 11, 12}},
        {"a bitfield too short for the piece", {}, {}, {}, {}, 0, {}, {4, 5, 6, 7, 8, 9, 11, 12}},
    };
    for (const TakeCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakePieces pieces(8, kFourBlocks);
        for (int p : c.present)
            pieces.Set(p, p);
        TPieceWork work(pieces);
        for (uint32_t block : listed)
            ASSERT_TRUE(work.AddEndGameBlock(block));
        std::vector<uint32_t> queue = c.queue;
        const bool moved = work.TakeEndGameBlocks(c.bitfield, c.excluded, queue, c.max);
        EXPECT_EQ(moved, queue.size() > c.queue.size());
        EXPECT_EQ(queue, c.queueAfter);
        EXPECT_EQ(work.EndGameList(), c.listAfter);
    }
}

TEST(PieceWork, TakeEndGameBlocksDefaultsToSixteen) {
    // 20 blocks in a piece; piece 0 is the most significant bit of the first byte.
    FakePieces pieces(2, 20 * 16384);
    TPieceWork work(pieces);
    for (uint32_t block = 0; block < 20; ++block)
        ASSERT_TRUE(work.AddEndGameBlock(block));
    std::vector<uint32_t> queue;
    EXPECT_TRUE(work.TakeEndGameBlocks({0x80}, {}, queue, 0));
    EXPECT_EQ(queue.size(), 16u);
    EXPECT_EQ(queue.front(), 0u);
    EXPECT_EQ(queue.back(), 15u);
    EXPECT_EQ(work.EndGameList(), (std::vector<uint32_t>{16, 17, 18, 19}));
    EXPECT_FALSE(work.TakeEndGameBlocks({0x40}, {}, queue, 0));
}

// ---------------------------------------------------------------------------
// Housekeeping. 32 768-byte pieces: two blocks each, and a bound of 2 * 64 + 64 = 192.

constexpr int32_t kTwoBlocks = 32768;

TEST(PieceWork, HousekeepingDropsPiecesNoPeerHasOnceTheListOutgrowsItsBound) {
    FakePieces pieces(100, kTwoBlocks);
    TPieceWork work(pieces);
    for (uint32_t block = 0; block < 192; ++block)
        ASSERT_TRUE(work.AddEndGameBlock(block));
    ASSERT_TRUE(work.MarkInProgress(1, true, false));
    ASSERT_TRUE(work.MarkInProgress(2, true, false));
    auto evenOnly = [](int piece) { return piece % 2 == 0; };

    work.Housekeeping(evenOnly);
    EXPECT_EQ(work.EndGameList().size(), 192u);

    ASSERT_TRUE(work.AddEndGameBlock(192)); // piece 96
    work.Housekeeping(evenOnly);
    // Even pieces 0..94 keep both blocks, piece 96 its one.
    EXPECT_EQ(work.EndGameList().size(), 48u * 2 + 1);
    for (uint32_t block : work.EndGameList())
        EXPECT_EQ(block / 2 % 2, 0u) << block;
    EXPECT_EQ(work.InProgressCount(1), 0);
    EXPECT_EQ(work.InProgressCount(2), 1);
    EXPECT_EQ(work.InProgressEntries(), 1);
}

TEST(PieceWork, HousekeepingLeavesTheListAloneInEndGame) {
    FakePieces pieces(100, kTwoBlocks);
    pieces.Set(0, 89);
    TPieceWork work(pieces);
    for (uint32_t block = 0; block < 193; ++block)
        ASSERT_TRUE(work.AddEndGameBlock(block));
    for (int piece = 90; piece < 100; ++piece)
        ASSERT_TRUE(work.MarkInProgress(piece, true, false));
    ASSERT_TRUE(work.EndGame());
    work.Housekeeping([](int) { return false; });
    EXPECT_EQ(work.EndGameList().size(), 193u);
    EXPECT_EQ(work.InProgressEntries(), 10);
}

TEST(PieceWork, HousekeepingEmptiesTheListWhenEverythingIsPresent) {
    FakePieces pieces(4, kTwoBlocks);
    TPieceWork work(pieces);
    ASSERT_TRUE(work.AddEndGameBlock(3));
    ASSERT_TRUE(work.AddEndGameBlock(6));
    pieces.Set(0, 3);
    work.Housekeeping([](int) { return true; });
    EXPECT_TRUE(work.EndGameList().empty());
}

} // namespace
