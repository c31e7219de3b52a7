#include "engine/core/HostLookup.h"
#include "engine/task/TCandidates.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

TRef<TPeerId> Parsed(const std::string& line) {
    TRef<TPeerId> id = TRef<TPeerId>::Adopt(new TPeerId);
    EXPECT_TRUE(id->Parse(line)) << line;
    return id;
}

uint32_t Addr(const char* dotted) {
    return inet_addr(dotted);
}

TEST(CandidatesTest, SameUrlInAnyLetterCaseIsOneCandidate) {
    TCandidates c([] { return 0u; });
    auto a = Parsed("http://127.0.0.1:8080/pkg/game.bin");
    auto b = Parsed("HTTP://127.0.0.1:8080/pkg/game.bin");
    TPeerId* first = c.Add(*a, false, false, {});
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(c.Add(*a, false, false, {}), first);
    EXPECT_EQ(c.Add(*b, false, false, {}), first);
    EXPECT_EQ(c.Size(), 1u);
    // One task fetches one file: another path on the same server and host name is
    // the same source; another server is not.
    auto samePlace = Parsed("http://127.0.0.1:8080/mirror/game.bin");
    EXPECT_EQ(c.Add(*samePlace, false, false, {}), first);
    auto other = Parsed("http://127.0.0.1:8081/pkg/game.bin");
    EXPECT_NE(c.Add(*other, false, false, {}), first);
    EXPECT_EQ(c.Size(), 2u);
}

TEST(CandidatesTest, RefusesLoopbackPeersAndOurselves) {
    TCandidates c;
    auto loop = Parsed("btnode://127.0.0.1:6881");
    EXPECT_EQ(c.Add(*loop, false, false, {}), nullptr);
    auto peer = Parsed("btnode://10.1.2.3:6881");
    TCandidates::Self self;
    self.address = Addr("10.1.2.3");
    self.port = 6881;
    EXPECT_EQ(c.Add(*peer, false, false, self), nullptr);
    EXPECT_NE(c.Add(*peer, false, false, {}), nullptr);
    EXPECT_EQ(c.At(0)->originCode, TPeerId::kOriginPeer);
}

TEST(CandidatesTest, OrderAndFailures) {
    TCandidates c([] { return 0u; });
    auto http = Parsed("http://127.0.0.1:1/a");
    auto redirect = Parsed("http://127.0.0.1:2/b");
    redirect->originCode = TPeerId::kOriginRedirect;
    TPeerId* r = c.Add(*redirect, false, false, {});
    TPeerId* h = c.Add(*http, false, false, {});
    EXPECT_EQ(c.At(0), h); // 29 before 28
    h->failures = 3;
    r->originCode = 29;
    c.Sort();
    EXPECT_EQ(c.At(0), r); // fewer failures first

    EXPECT_TRUE(c.SourceFailed(r, true, 60));
    EXPECT_EQ(r->backoff, 60);
    EXPECT_TRUE(c.SourceFailed(r, true, 0));
    EXPECT_EQ(r->backoff, 61); // at least one
    EXPECT_TRUE(c.SourceFailed(h, false, 0));
    EXPECT_EQ(c.Size(), 1u);
    EXPECT_FALSE(c.SourceFailed(nullptr, false, 0));
}

TEST(CandidatesTest, SourcesGoneForGoodStayOutUntilCleared) {
    TCandidates c([] { return 0u; });
    auto liar = Parsed("http://127.0.0.1:81/pkg/game.bin");
    auto missing = Parsed("http://127.0.0.1:82/pkg/game.bin");
    auto busy = Parsed("http://127.0.0.1:83/pkg/game.bin");
    TPeerId* l = c.Add(*liar, false, false, {});
    TPeerId* m = c.Add(*missing, false, false, {});
    TPeerId* b = c.Add(*busy, false, false, {});
    c.Drop(l);                                // its pieces kept failing
    EXPECT_TRUE(c.SourceFailed(m, false, 0)); // it has not got the file
    EXPECT_TRUE(c.SourceFailed(b, true, 60)); // only for now
    EXPECT_EQ(c.Size(), 1u);
    // Whatever brings them back (a mirror list, a redirect) finds them refused, under
    // any spelling of the URL and any path on the same server.
    for (const char* line : {"http://127.0.0.1:81/pkg/game.bin", "HTTP://127.0.0.1:81/pkg/game.bin",
                             "http://127.0.0.1:81/other/game.bin", "http://127.0.0.1:82/pkg/game.bin"})
        EXPECT_EQ(c.Add(*Parsed(line), false, false, {}), nullptr) << line;
    EXPECT_EQ(c.Add(*busy, false, false, {}), b);
    EXPECT_NE(c.Add(*Parsed("http://127.0.0.1:84/pkg/game.bin"), false, false, {}), nullptr);
    // A reset of the task starts from a clean slate.
    c.Clear();
    EXPECT_NE(c.Add(*liar, false, false, {}), nullptr);
    EXPECT_NE(c.Add(*missing, false, false, {}), nullptr);
}

TEST(CandidatesTest, AddressOnlyPeersCarryTheirAddressInThePeerId) {
    TCandidates c;
    const uint32_t a = Addr("10.0.0.7");
    TPeerId* p = c.AddByAddress(a, 6881, kPeerBitTorrent, false, 35);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->originCode, 35);
    EXPECT_EQ(p->connectionLimit, 1);
    EXPECT_EQ(p->peerId[14], 10);
    EXPECT_EQ(p->peerId[17], 7);
    EXPECT_EQ(p->peerId[18], 6881 >> 8);
    EXPECT_EQ(p->peerId[19], 6881 & 0xff);
    EXPECT_EQ(c.AddByAddress(a, 6881, kPeerBitTorrent, false, 20), p);
    EXPECT_EQ(p->originCode, 20);
}

TEST(PeerIdTest, ReadinessBackoffRules) {
    struct Case {
        int delivered;
        int backoff;
        bool downloading;
        bool firstReady, secondReady;
    } cases[] = {
        {7, 25, true, false, true},  // 25 / 10 = 2, then 1; then 0
        {16, 500, true, true, true}, // a proven source waits for nothing
        {0, 3, true, false, false},  // 2, then 1
        {2, 12, true, false, true},  // 12 / 5 = 2, then 1; then 0
        {0, 10, false, true, true},  // an idle task does not wait on small back-offs
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << k.delivered << "/" << k.backoff);
        auto id = Parsed("http://127.0.0.1:1/x");
        id->piecesDelivered = k.delivered;
        id->backoff = k.backoff;
        id->fileSize = 100;
        EXPECT_EQ(id->IsReady(k.downloading, 0), k.firstReady);
        EXPECT_EQ(id->IsReady(k.downloading, 0), k.secondReady);
    }
    auto probing = Parsed("http://127.0.0.1:1/x");
    probing->openConnections = 1; // one connection open and the size still unknown
    EXPECT_FALSE(probing->IsReady(true, 0));
    probing->fileSize = 100;
    EXPECT_TRUE(probing->IsReady(true, 0));
    probing->openConnections = probing->connectionLimit;
    EXPECT_FALSE(probing->IsReady(true, 0));
}

TEST(PeerIdTest, CreditAndCorruptRun) {
    auto id = Parsed("http://127.0.0.1:1/x");
    id->CreditPiece(false);
    id->CreditPiece(false);
    EXPECT_EQ(id->corruptRun, 2);
    id->CreditPiece(true);
    EXPECT_EQ(id->corruptRun, 0);
    EXPECT_EQ(id->piecesDelivered, 3);
}

} // namespace
