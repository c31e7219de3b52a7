#pragma once
#include "engine/core/QSha1.h"
#include "engine/core/TRefObject.h"
#include "engine/piece/TPieceSource.h"

#include <cstdint>
#include <map>
#include <vector>

constexpr int32_t kBlockSize = 16384;

// One piece of a download and the data of it not yet on disk.
class TPiece {
public:
    int32_t index = 0;
    int32_t length = 0;
    bool skipped = false;          // lies only in excluded files; never needed
    bool inMemoryComplete = false; // every byte is held in memory
    bool verified = false;
    // The prefix already written to disk and hashed into hashState.
    int32_t storedBytes = 0;
    // Buffered blocks by offset in the piece; none overlaps storedBytes.
    std::map<int32_t, std::vector<uint8_t>> buffer;
    Sha1Context hashState{};
    const uint8_t* expectedHash = nullptr;
    uint64_t lastActivity = 0;
    // Whose blocks the piece is receiving, and how many of its bytes came from there.
    TRef<TPieceSource> creditSource;
    int64_t creditBytes = 0;

    TPiece() { hashState.Reset(); }

    // The end of the run of bytes present from offset 0: storedBytes plus the buffered
    // blocks that follow it without a gap.
    int32_t ContiguousEnd() const;
    size_t BufferedBytes() const;
    bool HasBufferedBlockAt(int32_t offset) const { return buffer.count(offset) != 0; }
    // Back to missing: no data, the hash from the start.
    void Clear();
};
