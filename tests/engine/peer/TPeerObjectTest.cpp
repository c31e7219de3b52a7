// The connection base and its piece-range part without a protocol: block planning, delivery
// of blocks into the piece map, the claim on ranges and sources, and the ordering rule.
#include "engine/peer/TRangePeer.h"

#include "engine/peer/FakePeerTask.h"
#include "engine/piece/TPiece.h"
#include "engine/piece/TPieceRanges.h"
#include "engine/piece/TPieceWork.h"
#include "support/RandomBytes.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using peertest::FakePeerTask;
using peertest::MakeSource;
using testsupport::TempDir;

// A connection that reads nothing; the link is pretended, as planning and delivery need
// no socket traffic.
class QuietPeer : public TRangePeer {
public:
    explicit QuietPeer(TPeerTask* task, TPeerKind kind = kPeerHttp) : TRangePeer(kind, task) {}
    bool DoRead() override { return true; }

    bool Establish(TPeerId* source) {
        if (!ConnectTo(source))
            return false;
        linkState_ = kLinkEstablished;
        return true;
    }
    void SetLink(int state) { linkState_ = state; }
    void SetWindow(int64_t received, int64_t sent) {
        traffic_.windowReceived = received;
        traffic_.windowSent = sent;
    }
    void SetRanked(bool ranked) { stats_.ranked = ranked; }
    void SetBacklog(bool backlog) { stats_.sendBacklog = backlog; }
    std::vector<uint32_t> Blocks() const {
        std::vector<uint32_t> out;
        for (const TBlockRequest& r : requests_)
            out.push_back(r.block);
        return out;
    }
};

const std::string kUrl = "http://127.0.0.1:9/file.bin";

class PeerObjectTest : public ::testing::Test {
protected:
    // A plain download of size bytes in pieces of pieceLength, one source sharing it.
    void Layout(uint64_t size, int32_t pieceLength, const std::vector<uint8_t>* hashed = nullptr) {
        data_ = testsupport::RandomByteVector(size, 11);
        ASSERT_TRUE(task_.Commit(size, pieceLength, hashed ? &data_ : nullptr));
        source_ = MakeSource(kUrl, 1);
        source_->fileSize = static_cast<int64_t>(size);
        task_.AddShare(source_.get(), 1);
    }
    const uint8_t* BlockData(uint32_t block) const {
        return data_.data() + static_cast<size_t>(block) * kBlockSize;
    }

    TempDir dir_;
    FakePeerTask task_{dir_.path()};
    std::vector<uint8_t> data_;
    TRef<TPeerId> source_;
};

TEST_F(PeerObjectTest, PlanningKeepsTwoSecondsOfTheRateQueuedAndTwoMore) {
    Layout(8 * kBlockSize, kBlockSize);
    QuietPeer peer(&task_);
    ASSERT_TRUE(peer.Establish(source_.get()));
    for (int i = 0; i < 3; ++i)
        peer.DoRequest();
    EXPECT_EQ(peer.Blocks(), (std::vector<uint32_t>{0, 1})) << "a rate of 0 keeps 2 queued";

    peer.SetWindow(3 * 16384, 0);
    peer.SampleRates(3);
    EXPECT_EQ(peer.DownloadRate(), 16384);
    EXPECT_TRUE(peer.Stats().ranked);
    for (int i = 0; i < 3; ++i)
        peer.DoRequest();
    EXPECT_EQ(peer.Blocks(), (std::vector<uint32_t>{0, 1, 2, 3})) << "16 384 bytes per second keep 4";
    for (const TBlockRequest& r : peer.Requests()) {
        EXPECT_EQ(r.length, kBlockSize);
        EXPECT_EQ(r.queued, task_.uptime);
    }
}

TEST_F(PeerObjectTest, PlanningStartsAtTheFirstMissingByteAndGivesTheLastBlockItsLength) {
    Layout(5 * kBlockSize + 100, 4 * kBlockSize);
    task_.Preload(data_, 0, 0);
    bool completed = false;
    task_.PieceMap()->WriteBlock(4, BlockData(4), kBlockSize, nullptr, completed); // piece 1 begins
    QuietPeer peer(&task_);
    ASSERT_TRUE(peer.Establish(source_.get()));
    peer.DoRequest();
    ASSERT_EQ(peer.Requests().size(), 1u);
    EXPECT_EQ(peer.Requests()[0].block, 5u);
    EXPECT_EQ(peer.Requests()[0].length, 100);
    EXPECT_EQ(peer.Stats().currentPiece, 1);
    EXPECT_EQ(peer.Range()->next, 1);
}

TEST_F(PeerObjectTest, DeliveredBlocksGoToThePieceMapOnlyWhenAskedFor) {
    Layout(8 * kBlockSize, 4 * kBlockSize);
    QuietPeer peer(&task_);
    ASSERT_TRUE(peer.Establish(source_.get()));
    peer.DoRequest(); // blocks 0..3
    task_.now += 5;

    EXPECT_FALSE(peer.OnBlockReceived(6, kBlockSize, BlockData(6))) << "never asked for";
    EXPECT_FALSE(peer.OnBlockReceived(0, 100, BlockData(0))) << "not the length asked for";
    EXPECT_FALSE(peer.OnBlockReceived(0, kBlockSize, nullptr));
    EXPECT_EQ(task_.writes, 0);

    ASSERT_TRUE(peer.OnBlockReceived(0, kBlockSize, BlockData(0)));
    EXPECT_EQ(task_.payload, 16384u);
    EXPECT_EQ(peer.Traffic().receivedKiB, 16);
    EXPECT_EQ(peer.Traffic().windowReceived, 16384);
    EXPECT_EQ(peer.Stats().activityTime, task_.now);
    EXPECT_EQ(peer.Range()->blocksReceived, 1);
    EXPECT_EQ(peer.Blocks(), (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_FALSE(peer.OnBlockReceived(0, kBlockSize, BlockData(0))) << "asked for once, taken once";

    // Another source got block 1 in first: the bytes are not needed, but this connection
    // did nothing wrong.
    bool completed = false;
    task_.PieceMap()->WriteBlock(1, BlockData(1), kBlockSize, nullptr, completed);
    EXPECT_TRUE(peer.OnBlockReceived(1, kBlockSize, BlockData(1)));
    EXPECT_EQ(task_.payload, 16384u);

    // A block of the shared end-game list may come from anyone who asked.
    ASSERT_TRUE(task_.Work()->AddEndGameBlock(5));
    EXPECT_TRUE(peer.OnBlockReceived(5, kBlockSize, BlockData(5)));
    EXPECT_FALSE(task_.Work()->HasEndGameBlock(5));

    peer.SetLink(TPeerObject::kLinkNone);
    EXPECT_FALSE(peer.OnBlockReceived(2, kBlockSize, BlockData(2))) << "not connected";
}

TEST_F(PeerObjectTest, APieceThatFailsItsCheckIsWastedAndCountedOnTheConnection) {
    Layout(2 * kBlockSize, kBlockSize, &data_);
    QuietPeer peer(&task_);
    ASSERT_TRUE(peer.Establish(source_.get()));
    peer.DoRequest();
    std::vector<uint8_t> wrong(BlockData(0), BlockData(0) + kBlockSize);
    wrong[7] ^= 1;
    EXPECT_FALSE(peer.OnBlockReceived(0, kBlockSize, wrong.data()));
    EXPECT_EQ(task_.wasted, 16384u);
    EXPECT_EQ(task_.payload, 0u);
    EXPECT_EQ(peer.Stats().failures, 1);
    EXPECT_TRUE(task_.PieceMap()->PieceNeeded(0));
}

TEST_F(PeerObjectTest, InEndGameACompletedPieceTakesTheConnectionsOtherRequestsWithIt) {
    for (const bool endGame : {false, true}) {
        TempDir dir;
        FakePeerTask task(dir.path());
        const std::vector<uint8_t> data = testsupport::RandomByteVector(8 * kBlockSize, 12);
        ASSERT_TRUE(task.Commit(data.size(), 4 * kBlockSize));
        TRef<TPeerId> source = MakeSource(kUrl, 1);
        task.AddShare(source.get(), 1);
        QuietPeer peer(&task);
        ASSERT_TRUE(peer.Establish(source.get()));
        peer.DoRequest(); // blocks 0..3
        // Another connection brings the rest of piece 0 but block 0.
        for (uint32_t k = 1; k < 4; ++k)
            piecetest::Deliver(*task.PieceMap(), data, k);
        if (endGame) {
            task.Work()->MarkInProgress(0, true, false);
            task.Work()->MarkInProgress(1, true, false);
            ASSERT_TRUE(task.Work()->EndGame());
        }
        ASSERT_TRUE(peer.OnBlockReceived(0, kBlockSize, data.data()));
        EXPECT_TRUE(task.PieceMap()->HasPiece(0));
        EXPECT_EQ(peer.Blocks().size(), endGame ? 0u : 3u) << (endGame ? "end-game" : "no end-game");
    }
}

TEST_F(PeerObjectTest, AGoneConnectionLeavesNoRangeOrSourceCountBehind) {
    Layout(40 * kBlockSize, kBlockSize);
    TRef<TPeerObject> peer = TRef<TPeerObject>::Adopt(new QuietPeer(&task_));
    ASSERT_TRUE(static_cast<QuietPeer*>(peer.get())->Establish(source_.get()));
    peer->DoRequest();
    peer->DoRequest();
    TPieceRanges& ranges = *task_.Ranges();
    ASSERT_EQ(ranges.Count(), 1u);
    EXPECT_EQ(ranges.At(0)->owner, static_cast<TRangeClient*>(static_cast<QuietPeer*>(peer.get())));
    EXPECT_EQ(source_->openConnections, 1);

    peer.reset();
    EXPECT_EQ(ranges.At(0)->owner, nullptr);
    EXPECT_EQ(source_->openConnections, 0);
    ASSERT_EQ(task_.returned.size(), 2u) << "the queued requests went back to the task";
    EXPECT_EQ(task_.returned[0].block, 0u);
}

TEST_F(PeerObjectTest, ReleasingTheRangeHandsTheQueueBackAndLeavesTheRangeToOthers) {
    Layout(40 * kBlockSize, kBlockSize);
    QuietPeer first(&task_);
    QuietPeer second(&task_);
    ASSERT_TRUE(first.Establish(source_.get()));
    ASSERT_TRUE(second.Establish(source_.get()));
    first.DoRequest();
    TPieceRange* range = first.Range();
    ASSERT_NE(range, nullptr);
    first.ReleaseRange();
    EXPECT_EQ(first.Range(), nullptr);
    EXPECT_TRUE(first.Requests().empty());
    EXPECT_EQ(task_.returned.size(), 1u);
    EXPECT_EQ(range->owner, nullptr);

    second.DoRequest();
    EXPECT_EQ(second.Range(), range) << "an unowned range is taken by the next connection";
    EXPECT_EQ(second.Blocks(), (std::vector<uint32_t>{0})) << "and the piece handed back with it";
}

TEST_F(PeerObjectTest, TheSourceIsCountedWhileTheConnectionHoldsIt) {
    Layout(4 * kBlockSize, kBlockSize);
    TRef<TPeerId> other = MakeSource("http://127.0.0.1:10/file.bin");
    TRef<TPeerId> unresolved = TRef<TPeerId>::Adopt(new TPeerId);
    QuietPeer peer(&task_);
    EXPECT_FALSE(peer.ConnectTo(nullptr));
    EXPECT_FALSE(peer.ConnectTo(unresolved.get()));
    ASSERT_TRUE(peer.ConnectTo(source_.get()));
    EXPECT_EQ(source_->openConnections, 1);
    EXPECT_FALSE(peer.ConnectTo(source_.get())) << "already its source";
    EXPECT_EQ(source_->openConnections, 1);
    ASSERT_TRUE(peer.ConnectTo(other.get()));
    EXPECT_EQ(source_->openConnections, 0);
    EXPECT_EQ(other->openConnections, 1);
    EXPECT_EQ(peer.Source(), other.get());
    peer.Reset();
    EXPECT_EQ(other->openConnections, 0);
    EXPECT_EQ(peer.Source(), nullptr);
    EXPECT_FALSE(peer.IsConnected());
}

TEST_F(PeerObjectTest, FinishTests) {
    Layout(8 * kBlockSize, kBlockSize);
    QuietPeer peer(&task_);
    ASSERT_TRUE(peer.Establish(source_.get()));
    peer.DoRequest(); // piece 0 of the range 0..7
    EXPECT_FALSE(peer.RangeFinished());
    EXPECT_FALSE(peer.NothingLeft());

    // The range's last piece arrives from elsewhere while the walk is there.
    task_.Preload(data_, 1, 7);
    task_.Ranges()->Advance(*peer.Range(), 7);
    EXPECT_TRUE(peer.RangeFinished());
    EXPECT_EQ(peer.Range(), nullptr);
    EXPECT_TRUE(peer.Requests().empty());
    ASSERT_EQ(task_.Ranges()->Count(), 1u) << "piece 0 is still missing: the range stays, holed";
    EXPECT_TRUE(task_.Ranges()->At(0)->holed);

    task_.Preload(data_, 0, 0);
    EXPECT_TRUE(peer.NothingLeft());
    EXPECT_EQ(peer.PeerState(), TPeerObject::kPeerFinished);
}

TEST_F(PeerObjectTest, APriorityPieceFarAwayMovesTheConnectionThere) {
    Layout(40 * kBlockSize, kBlockSize);
    QuietPeer peer(&task_);
    ASSERT_TRUE(peer.Establish(source_.get()));
    peer.DoRequest(); // piece 0, no priority yet
    task_.priority = 20;
    peer.DoRequest();
    EXPECT_EQ(peer.Blocks(), (std::vector<uint32_t>{20}));
    ASSERT_NE(peer.Range(), nullptr);
    EXPECT_EQ(peer.Range()->first, 20);
    EXPECT_EQ(task_.returned.size(), 1u) << "the old range's queue went back";
    peer.DoRequest();
    EXPECT_EQ(peer.Blocks(), (std::vector<uint32_t>{20, 21})) << "the same priority does not jump again";

    // A priority piece that is already there is not jumped to.
    task_.Preload(data_, 30, 30);
    task_.priority = 30;
    QuietPeer late(&task_);
    ASSERT_TRUE(late.Establish(source_.get()));
    late.DoRequest();
    late.DoRequest();
    EXPECT_EQ(late.Requests().size(), 2u);
}

TEST(PeerObjectOrder, EstablishedFastReceiversComeFirstWhileDownloading) {
    TempDir dir;
    FakePeerTask task(dir.path());
    ASSERT_TRUE(task.Commit(4 * kBlockSize, kBlockSize));
    TRef<TPeerId> source = MakeSource(kUrl);
    auto make = [&](int64_t received, int64_t sent, bool ranked) {
        auto* p = new QuietPeer(&task);
        p->Establish(source.get());
        p->SetWindow(received, sent);
        p->SetRanked(ranked);
        return TRef<QuietPeer>::Adopt(p);
    };
    struct Case {
        const char* what;
        TRef<QuietPeer> a, b;
        int expected;
    };
    std::vector<Case> cases;
    cases.push_back({"more received first", make(4096, 0, true), make(0, 0, true), -1});
    cases.push_back({"received compared in 2 KiB units", make(3000, 0, true), make(2500, 0, true), 0});
    cases.push_back({"then the unranked first", make(3000, 0, false), make(2500, 0, true), -1});
    cases.push_back({"then fewer sent first", make(0, 8192, true), make(0, 0, true), 1});
    TRef<QuietPeer> connecting = make(1 << 20, 0, true);
    connecting->SetLink(TPeerObject::kLinkConnecting);
    cases.push_back({"established before connecting", make(0, 0, true), connecting, -1});
    for (const Case& c : cases) {
        EXPECT_EQ(TPeerObject::Compare(c.a.get(), c.b.get()), c.expected) << c.what;
        EXPECT_EQ(TPeerObject::Compare(c.b.get(), c.a.get()), -c.expected) << c.what;
    }
    EXPECT_EQ(TPeerObject::Compare(nullptr, cases[0].b.get()), 1) << "null last";
    EXPECT_EQ(TPeerObject::Compare(cases[0].b.get(), nullptr), -1);

    std::vector<TPeerObject*> list = {nullptr, connecting.get(), cases[0].b.get(), cases[0].a.get()};
    std::sort(list.begin(), list.end(), TPeerObject::SortsBefore);
    EXPECT_EQ(list,
              (std::vector<TPeerObject*>{cases[0].a.get(), cases[0].b.get(), connecting.get(), nullptr}));
}

TEST(PeerObjectOrder, OnceTheTaskHasEverythingTheUploadersComeFirst) {
    TempDir dir;
    FakePeerTask task(dir.path());
    const std::vector<uint8_t> data = testsupport::RandomByteVector(4 * kBlockSize, 13);
    ASSERT_TRUE(task.Commit(data.size(), kBlockSize));
    task.Preload(data, 0, 3);
    ASSERT_TRUE(task.HasAllPieces());
    TRef<TPeerId> source = MakeSource(kUrl);
    auto make = [&](int64_t sent, bool ranked, bool backlog) {
        auto* p = new QuietPeer(&task);
        p->Establish(source.get());
        p->SetWindow(1 << 20, sent);
        p->SetRanked(ranked);
        p->SetBacklog(backlog);
        return TRef<QuietPeer>::Adopt(p);
    };
    EXPECT_EQ(TPeerObject::Compare(make(0, false, false).get(), make(9999, true, false).get()), -1)
        << "the unranked first";
    EXPECT_EQ(TPeerObject::Compare(make(9999, true, true).get(), make(0, true, false).get()), 1)
        << "then the one without a send backlog";
    EXPECT_EQ(TPeerObject::Compare(make(8192, true, false).get(), make(0, true, false).get()), -1)
        << "then the one that sent more";
}

} // namespace
