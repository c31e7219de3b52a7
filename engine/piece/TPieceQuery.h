#pragma once
#include <cstdint>

// What the work distribution needs to know of the piece map. Everything but
// DiscardBuffered is a question; none of it may call back into the work distribution.
class TPieceQuery {
public:
    virtual ~TPieceQuery() = default;

    virtual int32_t PieceCount() const = 0;
    virtual int32_t PieceLength() const = 0;
    // Verified pieces; PieceCount() - PiecesDone() is what the download still misses.
    virtual int32_t PiecesDone() const = 0;
    // The index is valid, the piece is not skipped and not present.
    virtual bool PieceNeeded(int piece) const = 0;
    // Drops the buffered data of an unverified piece that is not yet on disk.
    virtual void DiscardBuffered(int piece) = 0;
};
