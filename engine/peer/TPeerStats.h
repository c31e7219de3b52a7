#pragma once
#include <cstdint>

// What a connection has been doing, for the task's choices of whom to keep, whom to
// time out and whom to hand work. Cleared whenever the connection is reset.
struct TPeerStats {
    bool incoming = false; // accepted from outside rather than dialled
    // Engine seconds: set at connect and whenever a block is delivered (in whole-body
    // mode whenever data arrives); time-outs count from here.
    uint64_t activityTime = 0;
    bool sendBacklog = false; // unsent data was left at the end of the last download tick
    bool fresh = true;        // no rate sample taken since the reset
    bool ranked = false;      // a rate sample (or, for BitTorrent, the handshake) has ranked it
    // HTTP: queued blocks the open response will deliver; BitTorrent: requests sent and
    // not answered yet.
    int contiguousBlocks = 0;
    int idleTicks = 0;     // download ticks in a row that moved no bytes
    int currentPiece = -1; // the piece worked on, -1 when none
    int rangesTaken = 0;
    int failures = 0; // pieces it completed that failed their check
};
