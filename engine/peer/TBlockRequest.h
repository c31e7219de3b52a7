#pragma once
#include <cstdint>

// One 16 KiB block asked of a remote side (or by it).
struct TBlockRequest {
    uint32_t block = 0;  // absolute byte offset / 16 384
    int32_t length = 0;  // at most 16 384; less for the last block of a piece
    uint32_t queued = 0; // engine uptime seconds
};
