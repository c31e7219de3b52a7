#pragma once
// How the user's speed limit and the connection limits are shared among the running
// tasks of the package.
#include <array>
#include <utility>

class TaskLimits {
public:
    static constexpr int kNoLimit = 32767; // KiB/s; what "no limit" is stored as
    static constexpr int kMinimumPerTask = 10;

    // The download limit for each task in KiB/s. k = 0 (or the stored kNoLimit) means
    // no limit, and then every task runs without one, however many run; a user limit is
    // shared by the running tasks (0 and 1 both leave the whole value to each task), at
    // least kMinimumPerTask each.
    static int SpeedPerTask(int k, int running);

    // Connection limits (sources, peers) per file: a and b are divided by running, and
    // the remainders go one each to the first unfinished files; a share of 0 becomes 1.
    // Finished files get {0, 0} and are left alone. All {0, 0} when running is 0.
    static std::array<std::pair<int, int>, 4> PeerLimitsPerFile(int a, int b, int running,
                                                                const std::array<bool, 4>& finished);
};
