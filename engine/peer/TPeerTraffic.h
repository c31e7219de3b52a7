#pragma once
#include <cstdint>

// Bytes a connection moved: in the last tick, in the current rate window (summed until
// the task's next rate sample), and the rates that sample derived. Loopback moves
// gigabytes in a window, so the sums are 64-bit.
struct TPeerTraffic {
    int64_t receivedTick = 0;
    int64_t sentTick = 0;
    int64_t windowReceived = 0;
    int64_t windowSent = 0;
    int downloadRate = 0; // bytes per second
    int uploadRate = 0;
    int64_t receivedKiB = 0; // payload accepted into the piece map, in KiB
};
