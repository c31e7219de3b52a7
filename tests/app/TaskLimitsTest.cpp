#include "app/TaskLimits.h"

#include <gtest/gtest.h>

namespace {

TEST(TaskLimitsTest, SpeedLimitIsSharedAmongRunningTasksWithAFloorOf10) {
    const struct {
        int k, running, per;
    } cases[] = {
        {100, 3, 33},  {20, 3, 10},   {100, 1, 100}, {100, 0, 100}, {7, 1, 10}, {-5, 2, 10},
        // No limit stays no limit for every task, whether asked for as 0 or as the value it
        // is stored as, and however many tasks run.
        {0, 0, 32767}, {0, 1, 32767}, {0, 2, 32767}, {0, 3, 32767}, {0, 4, 32767},
        {32767, 1, 32767}, {32767, 2, 32767}, {32767, 4, 32767},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TaskLimits::SpeedPerTask(c.k, c.running), c.per) << c.k << " over " << c.running;
}

TEST(TaskLimitsTest, ConnectionLimitsGiveRemaindersToTheFirstUnfinishedFiles) {
    using Limits = std::array<std::pair<int, int>, 4>;
    const std::array<bool, 4> none{false, false, false, false};
    EXPECT_EQ(TaskLimits::PeerLimitsPerFile(36, 108, 4, none),
              (Limits{{{9, 27}, {9, 27}, {9, 27}, {9, 27}}}));
    EXPECT_EQ(TaskLimits::PeerLimitsPerFile(38, 108, 4, none),
              (Limits{{{10, 27}, {10, 27}, {9, 27}, {9, 27}}}));
    // A finished file is skipped: the remainder goes to the next unfinished one.
    EXPECT_EQ(TaskLimits::PeerLimitsPerFile(38, 109, 3, {true, false, false, false}),
              (Limits{{{0, 0}, {13, 37}, {13, 36}, {12, 36}}}));
    // Too few to go round: every running task still gets one.
    EXPECT_EQ(TaskLimits::PeerLimitsPerFile(2, 3, 4, none), (Limits{{{1, 1}, {1, 1}, {1, 1}, {1, 1}}}));
    // Nothing running: nothing to divide by, nothing applied.
    EXPECT_EQ(TaskLimits::PeerLimitsPerFile(36, 108, 0, none), Limits{});
}

} // namespace
