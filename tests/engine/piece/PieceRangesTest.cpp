#include "engine/piece/TPieceRanges.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

class FakePieces : public TPieceQuery {
public:
    explicit FakePieces(int count, int32_t length = 16384)
        : present(static_cast<size_t>(count)), length_(length) {}

    int32_t PieceCount() const override { return static_cast<int32_t>(present.size()); }
    int32_t PieceLength() const override { return length_; }
    int32_t PiecesDone() const override {
        return static_cast<int32_t>(std::count(present.begin(), present.end(), true));
    }
    bool PieceNeeded(int piece) const override {
        return piece >= 0 && piece < PieceCount() && !present[static_cast<size_t>(piece)];
    }
    void DiscardBuffered(int) override {}

    void Set(int first, int last) {
        for (int i = first; i <= last; ++i)
            present[static_cast<size_t>(i)] = true;
    }

    std::vector<bool> present;

private:
    int32_t length_;
};

// A connection that lets go of its range the way the real ones do.
class FakeClient : public TRangeClient {
public:
    FakeClient(TPieceRanges& ranges, int rateValue, int takenValue, int last = -1, uint64_t activity = 0)
        : ranges_(ranges), rate(rateValue), taken(takenValue), lastPiece(last), lastActivity(activity) {}

    int DownloadRate() const override { return rate; }
    int RangesTaken() const override { return taken; }
    void AddRangeTaken() override { ++taken; }
    int LastPiece() const override { return lastPiece; }
    uint64_t LastActivity() const override { return lastActivity; }
    void ReleaseRange() override {
        ++releases;
        ranges_.Release(range);
    }

    TPieceRanges& ranges_;
    int rate;
    int taken;
    int lastPiece;
    uint64_t lastActivity;
    int releases = 0;
    TPieceRange* range = nullptr;
};

constexpr unsigned kExhausted = 1;
constexpr unsigned kHoled = 2;
constexpr unsigned kBackward = 4;
constexpr unsigned kReserved = 8;

// One range as a table row; owner is a client index, -1 for none.
struct Row {
    int first;
    int last;
    int next;
    int owner = -1;
    unsigned flags = 0;
    uint64_t stepAge = 0;

    bool operator==(const Row& o) const {
        return first == o.first && last == o.last && next == o.next && owner == o.owner && flags == o.flags;
    }
};

std::ostream& operator<<(std::ostream& os, const Row& r) {
    return os << "[" << r.first << "-" << r.last << " next " << r.next << " owner " << r.owner << " flags "
              << r.flags << "]";
}

struct ClientRow {
    int rate;
    int taken;
    int lastPiece = -1;
    uint64_t idle = 0;
};

constexpr uint64_t kNow = 1000;

unsigned FlagsOf(const TPieceRange& r) {
    return (r.exhausted ? kExhausted : 0u) | (r.holed ? kHoled : 0u) | (r.backward ? kBackward : 0u) |
           (r.reserved ? kReserved : 0u);
}

// A range list with clients, built from rows, read back as rows.
class RangeWorld {
public:
    RangeWorld(int pieceCount, uint32_t tick = 0)
        : pieces(pieceCount), ranges(
                                  pieces, [this] { return now; }, [this] { return tick_; }),
          tick_(tick) {}

    FakeClient& AddClient(const ClientRow& c) {
        clients.push_back(std::make_unique<FakeClient>(ranges, c.rate, c.taken, c.lastPiece, now - c.idle));
        return *clients.back();
    }

    void AddRanges(const std::vector<Row>& rows) {
        for (const Row& row : rows) {
            TPieceRange r;
            r.first = row.first;
            r.last = row.last;
            r.next = row.next;
            r.exhausted = row.flags & kExhausted;
            r.holed = row.flags & kHoled;
            r.backward = row.flags & kBackward;
            r.reserved = row.flags & kReserved;
            r.stepTime = now - row.stepAge;
            if (row.owner >= 0)
                r.owner = clients[static_cast<size_t>(row.owner)].get();
            TPieceRange* added = ranges.Append(r);
            if (row.owner >= 0)
                clients[static_cast<size_t>(row.owner)]->range = added;
        }
    }

    int OwnerIndex(const TRangeClient* owner) const {
        for (size_t i = 0; i < clients.size(); ++i)
            if (clients[i].get() == owner)
                return static_cast<int>(i);
        return owner ? 99 : -1;
    }

    std::vector<Row> Rows() const {
        std::vector<Row> rows;
        for (size_t i = 0; i < ranges.Count(); ++i) {
            const TPieceRange& r = *ranges.At(i);
            rows.push_back({r.first, r.last, r.next, OwnerIndex(r.owner), FlagsOf(r)});
        }
        return rows;
    }

    int IndexOf(const TPieceRange* r) const {
        for (size_t i = 0; i < ranges.Count(); ++i)
            if (ranges.At(i) == r)
                return static_cast<int>(i);
        return -1;
    }

    uint64_t now = kNow;
    FakePieces pieces;
    TPieceRanges ranges;
    std::vector<std::unique_ptr<FakeClient>> clients;

private:
    uint32_t tick_;
};

// ---------------------------------------------------------------------------
// The initial cut of the piece set.

struct InitialCase {
    const char* name;
    int pieceCount;
    std::vector<int> limits;
    std::vector<Row> expected;
};

TEST(PieceRanges, InitialRangesShareThePiecesAndCutEachShare) {
    const std::vector<InitialCase> cases = {
        {"four sources, one connection each",
         100,
         {1, 1, 1, 1},
         {{0, 24, 0}, {25, 49, 25}, {50, 74, 50}, {75, 99, 75}}},
        {"shares cut by the connection limit and by ceiling(share / 5)",
         100,
         {1, 2, 10, 3},
         {{0, 24, 0},
          {25, 36, 25},
          {37, 49, 37},
          {50, 54, 50},
          {55, 59, 55},
          {60, 64, 60},
          {65, 69, 65},
          {70, 74, 70},
          {75, 82, 75},
          {83, 90, 83},
          {91, 99, 91}}},
        {"the last share takes the remainder", 10, {1, 1, 1}, {{0, 2, 0}, {3, 5, 3}, {6, 9, 6}}},
        {"a share of five pieces stays whole", 10, {8, 8}, {{0, 4, 0}, {5, 9, 5}}},
        {"a share of six pieces makes ceiling(6 / 5) = 2 ranges",
         12,
         {8, 8},
         {{0, 2, 0}, {3, 5, 3}, {6, 8, 6}, {9, 11, 9}}},
        {"a connection limit of 0 still gives one range", 10, {0}, {{0, 9, 0}}},
        {"as many sources as pieces: one piece each", 3, {4, 4, 4}, {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}}},
        {"more sources than pieces: one piece each while they last",
         3,
         {1, 1, 1, 1, 1},
         {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}}},
    };
    for (const InitialCase& c : cases) {
        SCOPED_TRACE(c.name);
        RangeWorld s(c.pieceCount);
        std::vector<TPieceRanges::SourceShare> shares;
        for (int limit : c.limits)
            shares.push_back({nullptr, limit});
        ASSERT_TRUE(s.ranges.BuildInitialRanges(shares));
        EXPECT_EQ(s.Rows(), c.expected);
        // Only an empty list is built.
        EXPECT_FALSE(s.ranges.BuildInitialRanges(shares));
        EXPECT_EQ(s.Rows(), c.expected);
    }
}

TEST(PieceRanges, NoInitialRangesWithoutSourcesOrPieces) {
    RangeWorld s(0);
    EXPECT_FALSE(s.ranges.BuildInitialRanges({{nullptr, 4}}));
    RangeWorld t(10);
    EXPECT_FALSE(t.ranges.BuildInitialRanges({}));
    EXPECT_TRUE(t.ranges.Empty());
}

// ---------------------------------------------------------------------------
// The allocator. Client 0 is the caller.

struct AllocCase {
    const char* name;
    int pieceCount;
    std::vector<std::pair<int, int>> present;
    std::vector<ClientRow> clients;
    std::vector<Row> before;
    uint32_t tick;
    int handed; // index of the caller's range in `after`, -1 when refused
    std::vector<Row> after;
    std::vector<int> releases; // ReleaseRange calls per client
};

// Columns: name; piece count; runs of present pieces; clients {rate, ranges taken,
// last piece, idle seconds}; ranges before {first, last, next, owner, flags, seconds
// since the last step}; tick; index of the range handed (-1: refused); ranges after;
// ReleaseRange calls per client.
TEST(PieceRanges, AssignRangeTable) {
    const std::vector<AllocCase> cases = {
        {"a first-time caller takes half (m = 50)",
         10,
         {},
         {{0, 0}, {100, 1}},
         {{0, 9, 0, 1, 0, 5}},
         0,
         1,
         {{0, 4, 0, 1}, {5, 9, 5, 0}},
         {0, 0}},
        {"300 against 100 on a 10-piece remainder takes the last 8",
         20,
         {},
         {{300, 1}, {100, 1}},
         {{0, 19, 10, 1}},
         0,
         1,
         {{0, 11, 10, 1}, {12, 19, 12, 0}},
         {0, 0}},
        {"m is 76, not 75: a 25-piece remainder gives 19 + 1",
         30,
         {},
         {{300, 1}, {100, 1}},
         {{0, 29, 5, 1}},
         0,
         1,
         {{0, 9, 5, 1}, {10, 29, 10, 0}},
         {0, 0}},
        {"a caller without a rate that took a range before is refused",
         20,
         {},
         {{0, 1}, {100, 1}},
         {{0, 19, 10, 1}},
         0,
         -1,
         {{0, 19, 10, 1}},
         {0, 0}},
        {"first choice: the free range right after the caller's last piece",
         30,
         {},
         {{0, 0, 19}},
         {{0, 9, 0}, {10, 19, 10}, {20, 29, 20}},
         0,
         2,
         {{0, 9, 0}, {10, 19, 10}, {20, 29, 20, 0}},
         {0}},
        {"next choice: a free range, searched from a position given by the tick count",
         30,
         {},
         {{0, 0}},
         {{0, 9, 0}, {10, 19, 10}, {20, 29, 20}},
         5,
         2,
         {{0, 9, 0}, {10, 19, 10}, {20, 29, 20, 0}},
         {0}},
        {"the free-range search passes owned, holed and backward ranges and wraps around",
         40,
         {},
         {{0, 0}, {100, 1}},
         {{0, 9, 0, 1}, {10, 19, 10}, {20, 29, 20, -1, kExhausted | kHoled}, {30, 39, 39, -1, kBackward}},
         2,
         1,
         {{0, 9, 0, 1}, {10, 19, 10, 0}, {20, 29, 20, -1, kExhausted | kHoled}, {30, 39, 39, -1, kBackward}},
         {0, 0}},
        {"then an unowned holed range, taken at once",
         20,
         {},
         {{0, 0}, {100, 1}},
         {{0, 9, 5, -1, kExhausted | kHoled}, {10, 19, 12, 1}},
         0,
         0,
         {{0, 9, 5, 0, kExhausted | kHoled}, {10, 19, 12, 1}},
         {0, 0}},
        {"then a range stuck at its first piece for more than 10 s is taken over",
         10,
         {},
         {{50, 1}, {100, 1}},
         {{0, 9, 0, 1, 0, 11}},
         0,
         0,
         {{0, 9, 0, 0}},
         {0, 1}},
        {"a range stuck for exactly 10 s is split instead",
         10,
         {},
         {{50, 1}, {100, 1}},
         {{0, 9, 0, 1, 0, 10}},
         0,
         1,
         {{0, 6, 0, 1}, {7, 9, 7, 0}},
         {0, 0}},
        {"relaxed rule: a first-time caller splits a range whose owner is neither idle nor rated",
         10,
         {},
         {{0, 0}, {0, 1, -1, 5}},
         {{0, 9, 5, 1}},
         0,
         1,
         {{0, 7, 5, 1}, {8, 9, 8, 0}},
         {0, 0}},
        {"relaxed rule: one piece left, stepped more than 3 s ago",
         10,
         {},
         {{0, 0}, {0, 1, -1, 5}},
         {{0, 9, 9, 1, 0, 4}},
         0,
         1,
         {{0, 9, 9, 1}, {9, 9, 9, 0}},
         {0, 0}},
        {"relaxed rule: one piece left, stepped 3 s ago",
         10,
         {},
         {{0, 0}, {0, 1, -1, 5}},
         {{0, 9, 9, 1, 0, 3}},
         0,
         -1,
         {{0, 9, 9, 1}},
         {0, 0}},
        {"no relaxed rule for a caller that took a range before",
         10,
         {},
         {{100, 1}, {0, 1, -1, 5}},
         {{0, 9, 5, 1}},
         0,
         -1,
         {{0, 9, 5, 1}},
         {0, 0}},
        {"three times faster: the old range is exhausted and its owner releases it",
         10,
         {},
         {{300, 1}, {100, 1}},
         {{0, 9, 9, 1}},
         0,
         1,
         {{0, 9, 9, -1, kExhausted}, {9, 9, 9, 0}},
         {0, 1}},
        {"just under three times faster: both work on the shared piece",
         10,
         {},
         {{299, 1}, {100, 1}},
         {{0, 9, 9, 1}},
         0,
         1,
         {{0, 9, 9, 1}, {9, 9, 9, 0}},
         {0, 0}},
        {"a last piece is not split for a caller less than twice as fast as its owner",
         10,
         {},
         {{199, 1}, {100, 1}},
         {{0, 9, 9, 1}},
         0,
         -1,
         {{0, 9, 9, 1}},
         {0, 0}},
        {"pieces no longer needed are dropped from the tail before the split",
         20,
         {{16, 19}},
         {{300, 1}, {100, 1}},
         {{0, 19, 10, 1}},
         0,
         1,
         {{0, 10, 10, 1}, {11, 15, 11, 0}},
         {0, 0}},
        {"the range with the longest remaining time is split",
         40,
         {},
         {{100, 1}, {1000, 1}, {100, 1}},
         {{0, 19, 10, 1}, {20, 39, 35, 2}},
         0,
         2,
         {{0, 19, 10, 1}, {20, 37, 35, 2}, {38, 39, 38, 0}},
         {0, 0, 0}},
        {"an idle owner without a rate is split at once, and released by a faster caller",
         40,
         {},
         {{100, 1}, {10, 1}, {0, 1, -1, 11}},
         {{0, 19, 0, 1}, {20, 29, 22, 2}},
         0,
         2,
         {{0, 19, 0, 1}, {20, 22, 22, -1, kExhausted}, {22, 29, 22, 0}},
         {0, 0, 1}},
        {"a range finishing within 10 s is left alone while 4 or more pieces are missing",
         20,
         {},
         {{3000000, 1}, {1000000, 1}},
         {{0, 9, 8, 1}},
         0,
         -1,
         {{0, 9, 8, 1}},
         {0, 0}},
        {"with fewer than 4 pieces missing it is split",
         20,
         {{0, 7}, {10, 19}},
         {{3000000, 1}, {1000000, 1}},
         {{0, 9, 8, 1}},
         0,
         1,
         {{0, 8, 8, -1, kExhausted}, {8, 9, 8, 0}},
         {0, 1}},
        {"backward and reserved ranges are neither taken over nor split",
         20,
         {},
         {{300, 1}, {100, 1}, {100, 1}},
         {{0, 9, 0, 1, kBackward, 20}, {10, 19, 10, 2, kReserved, 20}},
         0,
         -1,
         {{0, 9, 0, 1, kBackward}, {10, 19, 10, 2, kReserved}},
         {0, 0, 0}},
        {"unowned ranges with nothing needed are removed",
         10,
         {{0, 4}},
         {{0, 0}},
         {{0, 4, 0}, {5, 9, 5}},
         0,
         0,
         {{5, 9, 5, 0}},
         {0}},
        {"nothing to split when the only owned range has nothing left behind its owner",
         10,
         {{6, 9}},
         {{0, 0}, {100, 1}},
         {{0, 9, 6, 1}},
         0,
         -1,
         {{0, 5, 6, 1}},
         {0, 0}},
    };
    for (const AllocCase& c : cases) {
        SCOPED_TRACE(c.name);
        RangeWorld s(c.pieceCount, c.tick);
        for (auto [first, last] : c.present)
            s.pieces.Set(first, last);
        for (const ClientRow& client : c.clients)
            s.AddClient(client);
        s.AddRanges(c.before);
        FakeClient& caller = *s.clients[0];
        const int takenBefore = caller.taken;

        TPieceRange* got = s.ranges.AssignRange(caller);

        EXPECT_EQ(s.Rows(), c.after);
        EXPECT_EQ(s.IndexOf(got), c.handed);
        if (got) {
            EXPECT_EQ(got->owner, &caller);
            EXPECT_EQ(got->stepTime, kNow);
            EXPECT_EQ(caller.taken, takenBefore + 1);
        } else {
            EXPECT_EQ(caller.taken, takenBefore);
        }
        for (size_t i = 0; i < c.releases.size(); ++i)
            EXPECT_EQ(s.clients[i]->releases, c.releases[i]) << "client " << i;
    }
}

// ---------------------------------------------------------------------------
// Walking a range.

TEST(PieceRanges, NextPieceWalksTheRangeThenEndsItAndMovesOn) {
    RangeWorld s(20);
    FakeClient& c = s.AddClient({100, 0});
    s.AddRanges({{0, 9, 0}, {10, 19, 10}});
    std::vector<bool> requested(20, false);
    auto wanted = [&](int i) { return s.pieces.PieceNeeded(i) && !requested[static_cast<size_t>(i)]; };

    // The first call acquires range 0 (tick 0) and starts at its next piece.
    int piece = s.ranges.NextPiece(c, c.range, -1, wanted);
    ASSERT_EQ(piece, 0);
    ASSERT_EQ(s.IndexOf(c.range), 0);
    s.ranges.Advance(*c.range, piece);
    requested[0] = true;

    // Pieces that are present or already requested are passed.
    s.pieces.Set(1, 2);
    requested[3] = true;
    piece = s.ranges.NextPiece(c, c.range, 0, wanted);
    EXPECT_EQ(piece, 4);

    // At the end of the range it is exhausted; piece 5 is still missing, so it stays as
    // a holed range, and the connection moves on to the range after its last piece.
    for (int i = 4; i <= 9; ++i)
        requested[static_cast<size_t>(i)] = true;
    c.lastPiece = 9;
    piece = s.ranges.NextPiece(c, c.range, 9, wanted);
    EXPECT_EQ(piece, 10);
    EXPECT_EQ(s.Rows(), (std::vector<Row>{{0, 9, 0, -1, kExhausted | kHoled}, {10, 19, 10, 0}}));
    EXPECT_EQ(c.taken, 2);
}

TEST(PieceRanges, AStaleCurrentPieceDoesNotMoveTheWalk) {
    RangeWorld s(20);
    FakeClient& c = s.AddClient({100, 1});
    s.AddRanges({{0, 9, 5, 0}});
    auto wanted = [&](int i) { return s.pieces.PieceNeeded(i); };
    // Left over from a range elsewhere, before and after this one.
    EXPECT_EQ(s.ranges.NextPiece(c, c.range, 2, wanted), 5);
    EXPECT_EQ(s.ranges.NextPiece(c, c.range, 15, wanted), 5);
    EXPECT_EQ(s.ranges.NextPiece(c, c.range, 5, wanted), 6);
}

TEST(PieceRanges, ExhaustKeepsAHoledRangeAndRemovesADoneOne) {
    RangeWorld s(20);
    FakeClient& a = s.AddClient({100, 1});
    FakeClient& b = s.AddClient({100, 1});
    s.AddRanges({{0, 9, 9, 0}, {10, 19, 19, 1}});
    s.pieces.Set(0, 8);
    s.pieces.Set(10, 19);
    s.ranges.Exhaust(a.range);
    s.ranges.Exhaust(b.range);
    EXPECT_EQ(a.range, nullptr);
    EXPECT_EQ(b.range, nullptr);
    EXPECT_EQ(s.Rows(), (std::vector<Row>{{0, 9, 9, -1, kExhausted | kHoled}}));
}

TEST(PieceRanges, AnExhaustedRangeWithNothingMissingIsRemoved) {
    RangeWorld s(10);
    FakeClient& c = s.AddClient({100, 1});
    s.AddRanges({{0, 4, 4, 0}, {5, 9, 5}});
    s.pieces.Set(0, 4);
    auto wanted = [&](int i) { return s.pieces.PieceNeeded(i); };
    EXPECT_EQ(s.ranges.NextPiece(c, c.range, 4, wanted), 5);
    EXPECT_EQ(s.Rows(), (std::vector<Row>{{5, 9, 5, 0}}));
}

TEST(PieceRanges, AcquiredRangeStepsBackOrRestartsAtItsHoles) {
    // A range released with the piece before its next one unfinished resumes there.
    {
        RangeWorld s(10);
        FakeClient& c = s.AddClient({100, 1});
        s.AddRanges({{0, 9, 6}});
        s.pieces.Set(0, 4);
        EXPECT_EQ(s.ranges.NextPiece(c, c.range, -1, [&](int i) { return s.pieces.PieceNeeded(i); }), 5);
        EXPECT_EQ(c.range->next, 5);
    }
    // A holed range starts again at its first piece and is a plain range again.
    {
        RangeWorld s(10);
        FakeClient& c = s.AddClient({100, 1});
        s.AddRanges({{0, 9, 9, -1, kExhausted | kHoled}});
        s.pieces.Set(0, 1);
        s.pieces.Set(3, 9);
        EXPECT_EQ(s.ranges.NextPiece(c, c.range, -1, [&](int i) { return s.pieces.PieceNeeded(i); }), 2);
        EXPECT_EQ(s.Rows(), (std::vector<Row>{{0, 9, 0, 0}}));
    }
}

TEST(PieceRanges, AcquiredRangeWithNothingWantedIsDroppedAndAnotherTried) {
    RangeWorld s(20);
    FakeClient& c = s.AddClient({100, 1, 9});
    s.AddRanges({{0, 9, 0}, {10, 19, 10}});
    // Everything in range 1 is requested by the caller already (needed, so not swept).
    auto wanted = [](int i) { return i < 10; };
    EXPECT_EQ(s.ranges.NextPiece(c, c.range, -1, wanted), 0);
    EXPECT_EQ(s.Rows(), (std::vector<Row>{{0, 9, 0, 0}}));
}

TEST(PieceRanges, RefusedCallerCreatesANewRangeOnlyWhenEveryRangeIsExhausted) {
    auto wanted = [](int i) { return i >= 3 && i != 7; };
    {
        RangeWorld s(10);
        FakeClient& c = s.AddClient({0, 1});
        FakeClient& other = s.AddClient({100, 1});
        s.AddRanges({{0, 9, 2, 1}});
        EXPECT_EQ(s.ranges.NextPiece(c, c.range, -1, wanted), -1);
        EXPECT_EQ(c.range, nullptr);
        EXPECT_EQ(other.releases, 0);
    }
    {
        RangeWorld s(10);
        FakeClient& c = s.AddClient({0, 1});
        s.AddClient({100, 1});
        s.AddRanges({{0, 9, 9, 1, kExhausted}});
        EXPECT_EQ(s.ranges.NextPiece(c, c.range, -1, wanted), 3);
        EXPECT_EQ(s.Rows(), (std::vector<Row>{{0, 9, 9, 1, kExhausted}, {3, 6, 3, 0}}));
    }
    // With everything present there is nothing to create.
    {
        RangeWorld s(4);
        FakeClient& c = s.AddClient({0, 1});
        s.pieces.Set(0, 3);
        EXPECT_EQ(s.ranges.NextPiece(c, c.range, -1, [](int) { return true; }), -1);
        EXPECT_TRUE(s.ranges.Empty());
    }
}

TEST(PieceRanges, NextPieceIgnoresAClaimThatIsNoLongerTheCallers) {
    RangeWorld s(20);
    FakeClient& c = s.AddClient({100, 1});
    FakeClient& other = s.AddClient({100, 1});
    s.AddRanges({{0, 9, 3, 1}, {10, 19, 10}});
    // c still points at a range that now belongs to someone else.
    c.range = s.ranges.At(0);
    EXPECT_EQ(s.ranges.NextPiece(c, c.range, 3, [](int) { return true; }), 10);
    EXPECT_EQ(s.Rows(), (std::vector<Row>{{0, 9, 3, 1}, {10, 19, 10, 0}}));
    EXPECT_EQ(other.range, s.ranges.At(0));

    // A backward claim is walked by StepBackward, not here.
    TPieceRange* backward = s.ranges.AddBackwardRange(other, 12, 15);
    EXPECT_EQ(s.ranges.NextPiece(other, backward, 15, [](int) { return true; }), -1);
    EXPECT_EQ(backward, s.ranges.At(2));
    EXPECT_EQ(backward->next, 15);
}

TEST(PieceRanges, FinishedTest) {
    RangeWorld s(10);
    s.pieces.Set(9, 9);
    TPieceRange r;
    r.first = 0;
    r.last = 9;
    r.next = 8;
    EXPECT_FALSE(s.ranges.IsFinished(r));
    r.next = 9;
    EXPECT_TRUE(s.ranges.IsFinished(r)); // at the last piece, and it is present
    r.next = 10;
    EXPECT_TRUE(s.ranges.IsFinished(r));
    r.next = 5;
    r.exhausted = true;
    EXPECT_TRUE(s.ranges.IsFinished(r));
}

// ---------------------------------------------------------------------------
// Range operations a connection uses directly.

TEST(PieceRanges, ReleaseUnownsAForwardRangeAndDropsABackwardOne) {
    RangeWorld s(20);
    FakeClient& a = s.AddClient({100, 1});
    FakeClient& b = s.AddClient({100, 1});
    s.AddRanges({{0, 9, 4, 0}, {10, 19, 15, 1, kBackward}});
    s.ranges.Release(a.range);
    s.ranges.Release(b.range);
    EXPECT_EQ(a.range, nullptr);
    EXPECT_EQ(b.range, nullptr);
    EXPECT_EQ(s.Rows(), (std::vector<Row>{{0, 9, 4}}));
    // Releasing again, or a pointer the list no longer holds, does nothing.
    TPieceRange stray;
    TPieceRange* gone = &stray;
    s.ranges.Release(gone);
    EXPECT_EQ(gone, nullptr);
    EXPECT_EQ(s.ranges.Count(), 1u);
}

TEST(PieceRanges, DetachOwnerLeavesNoRangePointingAtTheConnection) {
    RangeWorld s(30);
    FakeClient& a = s.AddClient({100, 1});
    FakeClient& b = s.AddClient({100, 1});
    s.AddRanges({{0, 9, 4, 0}, {10, 19, 12, 1}, {20, 29, 25, 0, kBackward}});
    s.ranges.DetachOwner(a);
    EXPECT_EQ(s.Rows(), (std::vector<Row>{{0, 9, 4}, {10, 19, 12, 1}}));
    EXPECT_EQ(b.range, s.ranges.At(1));
}

TEST(PieceRanges, SplitAtThePriorityPiece) {
    RangeWorld s(40);
    FakeClient& owner = s.AddClient({100, 1});
    FakeClient& c = s.AddClient({100, 1});
    s.AddRanges({{0, 9, 0, -1, kExhausted}, {10, 29, 25, 0}, {30, 39, 30}});
    TPieceRange* r = s.ranges.SplitAt(20, c);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->owner, &c);
    EXPECT_EQ(c.taken, 2);
    // The old owner was past the new end; its range now ends right behind it.
    EXPECT_EQ(s.Rows(),
              (std::vector<Row>{{0, 9, 0, -1, kExhausted}, {10, 19, 20, 0}, {30, 39, 30}, {20, 29, 20, 1}}));
    EXPECT_TRUE(s.ranges.IsFinished(*owner.range));
    // At the first piece of a range both share that piece.
    TPieceRange* at = s.ranges.SplitAt(30, c);
    ASSERT_NE(at, nullptr);
    EXPECT_EQ(s.ranges.At(2)->last, 30);
    EXPECT_EQ(at->first, 30);
    EXPECT_EQ(at->last, 39);
    // Exhausted ranges and pieces outside every range are not split.
    EXPECT_EQ(s.ranges.SplitAt(5, c), nullptr);
    EXPECT_EQ(s.ranges.SplitAt(40, c), nullptr);
}

TEST(PieceRanges, BackwardRangeWalksDownThenIsRemoved) {
    RangeWorld s(10);
    FakeClient& c = s.AddClient({100, 0});
    TPieceRange* r = s.ranges.AddBackwardRange(c, 6, 8);
    ASSERT_NE(r, nullptr);
    EXPECT_TRUE(r->backward);
    EXPECT_EQ(r->next, 8);
    EXPECT_EQ(c.taken, 1);
    EXPECT_EQ(s.ranges.StepBackward(r), 7);
    EXPECT_EQ(s.ranges.StepBackward(r), 6);
    EXPECT_EQ(s.ranges.StepBackward(r), -1);
    EXPECT_EQ(r, nullptr);
    EXPECT_TRUE(s.ranges.Empty());
    EXPECT_EQ(s.ranges.AddBackwardRange(c, 8, 10), nullptr);
    EXPECT_EQ(s.ranges.AddBackwardRange(c, 5, 4), nullptr);
}

} // namespace
