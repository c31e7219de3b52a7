#include "app/TaskLimits.h"

#include <algorithm>

int TaskLimits::SpeedPerTask(int k, int running) {
    // "No limit" is a value the engine reads as no limit, not an amount to share: divided
    // among the tasks it would become a real cap (8 MiB/s each for four of them).
    if (k == 0 || k >= kNoLimit)
        return kNoLimit;
    const int per = running > 1 ? k / running : k;
    return std::max(per, kMinimumPerTask);
}

std::array<std::pair<int, int>, 4> TaskLimits::PeerLimitsPerFile(int a, int b, int running,
                                                                 const std::array<bool, 4>& finished) {
    std::array<std::pair<int, int>, 4> out{};
    if (running <= 0)
        return out;
    const int qa = a / running, qb = b / running;
    int ra = a % running, rb = b % running;
    for (int i = 0; i < 4; ++i) {
        if (finished[i])
            continue;
        const int ea = ra > 0 ? 1 : 0;
        const int eb = rb > 0 ? 1 : 0;
        out[i] = {std::max(qa + ea, 1), std::max(qb + eb, 1)};
        ra -= ea;
        rb -= eb;
    }
    return out;
}
