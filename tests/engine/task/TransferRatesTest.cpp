#include "engine/task/TTransferRates.h"

#include <gtest/gtest.h>

namespace {

TEST(TransferRatesTest, AllowancesFollowTheLimits) {
    struct Case {
        int32_t limitKiB;
        uint64_t allowance;
    } cases[] = {{0, 1048576000}, {10, 10240}, {2, 3072}, {30000, 30000u * 1024}};
    for (const Case& c : cases) {
        TTransferRates r;
        r.ComputeAllowances(c.limitKiB, 0);
        EXPECT_EQ(r.ReceiveAllowance(), c.allowance) << c.limitKiB;
        EXPECT_EQ(r.SendAllowance(), TTransferRates::kUnlimited);
    }
}

TEST(TransferRatesTest, AllowanceLeftShrinksWithinTheSecond) {
    TTransferRates r;
    r.ComputeAllowances(10, 0);
    r.AddReceived(4000);
    EXPECT_EQ(r.ReceiveAllowanceLeft(), 6240u);
    r.AddReceived(7000);
    EXPECT_EQ(r.ReceiveAllowanceLeft(), 0u);
    r.Step({.downloading = true, .downloadLimitKiB = 10});
    EXPECT_EQ(r.ReceiveAllowanceLeft(), 10240u);
}

TEST(TransferRatesTest, TickPaceFromBytesPerSecond) {
    struct Case {
        uint64_t bytes;
        uint32_t sleep, modulus;
    } cases[] = {{3145729, 2, 14}, {3145728, 3, 9}, {2000000, 3, 9}, {1536000, 4, 7},
                 {819200, 5, 6},   {307201, 5, 6},  {307200, 6, 5},  {0, 6, 5}};
    for (const Case& c : cases) {
        TTransferRates r;
        r.AddReceived(c.bytes);
        r.Step({});
        EXPECT_EQ(r.TickSleep(), c.sleep) << c.bytes;
        EXPECT_EQ(r.TickModulus(), c.modulus) << c.bytes;
    }
}

TEST(TransferRatesTest, SmoothedRateSecondsLeftAndCompletion) {
    TTransferRates r;
    r.AddPayload(400000);
    r.Step({.downloading = true});
    EXPECT_EQ(r.DownloadRate(), 300000);
    r.AddPayload(400000);
    r.Step({.downloading = true});
    EXPECT_EQ(r.DownloadRate(), (400000 * 3 + 300000) / 4);

    TTransferRates s;
    s.Step({.downloading = true, .peerDownloadRate = 786432, .pieceLength = 262144, .piecesMissing = 30});
    EXPECT_EQ(s.SecondsLeft(), 10);
    s.Step({.downloading = true, .peerDownloadRate = 1000, .pieceLength = 262144, .piecesMissing = 30});
    EXPECT_EQ(s.SecondsLeft(), 0);

    r.AddPayload(400000);
    r.Step({.downloading = false});
    EXPECT_EQ(r.DownloadRate(), 0); // a completed task reports no rate
}

TEST(TransferRatesTest, ConnectionLimitsFromPeerRates) {
    TTransferRates r;
    r.Step({.peerDownloadRate = 0, .peerUploadRate = 0});
    EXPECT_EQ(r.MaxConnections(), 52);
    EXPECT_EQ(r.UploadSlots(), 8); // the floor
    r.Step({.peerDownloadRate = 4096 * 100, .peerUploadRate = 16384 * 70, .directlyReachable = true});
    EXPECT_EQ(r.MaxConnections(), (4096 * 100 + 16384 * 70) / 4096 + 8);
    EXPECT_EQ(r.UploadSlots(), 48); // 62, capped
}

TEST(TransferRatesTest, GlobalSharesSplitByWhatEachMoved) {
    const std::vector<TTransferRates::ShareInput> tasks = {{100 * 1024, 0, 0}, {300 * 1024, 0, 0}};
    const auto shares = TTransferRates::ShareGlobalRates(tasks, 400, 0);
    ASSERT_EQ(shares.size(), 2u);
    EXPECT_GE(shares[0].receive, 3072);
    EXPECT_GT(shares[1].receive, shares[0].receive);
    EXPECT_LE(shares[0].receive + shares[1].receive, 400 * 1024 + 32);
}

} // namespace
