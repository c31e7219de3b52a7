#pragma once
#include "engine/peer/TPeerObject.h"
#include "engine/piece/TRangeClient.h"

#include <cstdint>

class TPieces;
struct TPieceRange;

// A connection to a server that streams the file: HTTP and FTP sources. It claims a run
// of pieces (its range) from the task's range allocator, plans whole pieces of 16 KiB
// blocks from it and follows the position of the stream it reads, so that several
// connections to one server each fetch their own part of the file.
class TRangePeer : public TPeerObject, public TRangeClient {
public:
    TRangePeer(TPeerKind kind, TPeerTask* task);
    ~TRangePeer() override;

    // Plans the blocks of the next pieces of the range: enough to cover two seconds at
    // the measured rate, and two more.
    bool DoRequest() override;
    // Hands queued work and the range back, then resets the connection.
    void Reset() override;
    void AbandonRange() override;

    // Gives up the piece range: a backward range is dropped with its pieces no longer in
    // progress, any other one becomes unowned after the queued requests went back.
    void ReleaseRange() override;
    // The next piece to fetch from the connection's range (acquiring another range when
    // it runs out); -1 when there is none.
    virtual int NextPieceIndex();
    // The range's last piece is complete: the range is ended (holes stay for others) and
    // the queue handed back. True when that happened.
    bool RangeFinished();

    // TRangeClient
    int DownloadRate() const override { return traffic_.downloadRate; }
    int RangesTaken() const override { return stats_.rangesTaken; }
    void AddRangeTaken() override { ++stats_.rangesTaken; }
    int LastPiece() const override { return stats_.currentPiece; }
    uint64_t LastActivity() const override { return stats_.activityTime; }

    TPieceRange* Range() const { return range_; }
    // Absolute offset of the next byte the stream delivers, and the bytes still to be
    // passed over before the first queued block.
    int64_t StreamPosition() const { return streamPosition_; }
    int64_t BytesToSkip() const { return bytesToSkip_; }

protected:
    void OnBlockAccepted() override;
    // The connection's range while the task's list still gives it to this connection;
    // otherwise the stale pointer is dropped and null returned.
    TPieceRange* OwnedRange();
    // Queues the blocks of piece from its first missing byte on.
    void PlanBlocks(const TPieces& pieces, int piece, int32_t size, int32_t firstMissing);

    int64_t streamPosition_ = 0;
    int64_t bytesToSkip_ = 0;

private:
    TPieceRange* range_ = nullptr;
    int lastPriorityPiece_ = 0;
};
