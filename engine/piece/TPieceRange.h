#pragma once
#include <cstdint>

class TPieceSource;
class TRangeClient;

// One run of pieces that an HTTP or FTP connection (or a BitTorrent connection
// working from the tail) claims. Ranges live in TPieceRanges, which hands them out.
struct TPieceRange {
    int first = 0;
    int last = -1;
    // The piece being worked on; first <= next <= last + 1. A backward range walks
    // from last down to first instead.
    int next = 0;
    int blocksReceived = 0;
    bool exhausted = false; // the owner walked past the last piece
    bool holed = false;     // after exhaustion some piece was still found needed
    bool backward = false;  // taken from the tail by a BitTorrent connection
    bool reserved = false;  // being handed from one owner to another
    // Engine seconds when the range was handed out or last stepped.
    uint64_t stepTime = 0;
    // The source whose share the range was cut from; not counted.
    TPieceSource* source = nullptr;
    // Null when unowned.
    TRangeClient* owner = nullptr;

    // Pieces from next to last.
    int Remaining() const { return last - next + 1; }
    bool Contains(int piece) const { return piece >= first && piece <= last; }
};
