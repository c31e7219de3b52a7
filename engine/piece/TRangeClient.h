#pragma once
#include <cstdint>

// A connection as the piece-range allocator sees it. Connections that work through
// piece ranges implement this; the allocator knows nothing of sockets or protocols.
class TRangeClient {
public:
    virtual ~TRangeClient() = default;

    // Bytes per second at the last rate sample; 0 for a connection that has not
    // delivered anything yet.
    virtual int DownloadRate() const = 0;
    // How many ranges this connection has been handed so far.
    virtual int RangesTaken() const = 0;
    // Counts one more range handed to this connection.
    virtual void AddRangeTaken() = 0;
    // The piece this connection fetched last (its current piece), -1 when none.
    virtual int LastPiece() const = 0;
    // Engine seconds of the connection's last activity (connect or block delivered).
    virtual uint64_t LastActivity() const = 0;
    // The allocator takes this connection's range away. The connection gives its
    // queued requests back and calls TPieceRanges::Release on its range pointer.
    virtual void ReleaseRange() = 0;
};
