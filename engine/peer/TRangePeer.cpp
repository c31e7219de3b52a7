#include "engine/peer/TRangePeer.h"

#include "engine/peer/TPeerTask.h"
#include "engine/piece/TPiece.h"
#include "engine/piece/TPieceRanges.h"
#include "engine/piece/TPieceWork.h"
#include "engine/piece/TPieces.h"

#include <algorithm>
#include <cstdlib>

TRangePeer::TRangePeer(TPeerKind kind, TPeerTask* task) : TPeerObject(kind, task) {}

TRangePeer::~TRangePeer() {
    TRangePeer::Reset();
}

void TRangePeer::Reset() {
    if (task_ && !requests_.empty())
        ReturnQueue();
    ReleaseRange();
    if (task_)
        if (TPieceRanges* ranges = task_->Ranges())
            ranges->DetachOwner(*this);
    range_ = nullptr;
    lastPriorityPiece_ = 0;
    streamPosition_ = 0;
    bytesToSkip_ = 0;
    TPeerObject::Reset();
}

void TRangePeer::AbandonRange() {
    if (range_)
        range_->holed = true;
}

void TRangePeer::OnBlockAccepted() {
    if (TPieceRange* range = OwnedRange())
        ++range->blocksReceived;
}

TPieceRange* TRangePeer::OwnedRange() {
    TPieceRanges* ranges = task_ ? task_->Ranges() : nullptr;
    if (range_ && (!ranges || !ranges->Contains(range_) || range_->owner != static_cast<TRangeClient*>(this)))
        range_ = nullptr;
    return range_;
}

void TRangePeer::ReleaseRange() {
    TPieceRange* range = OwnedRange();
    if (!range)
        return;
    TPieceRanges* ranges = task_->Ranges();
    if (range->backward) {
        if (!range->exhausted)
            if (TPieceWork* work = task_->Work())
                for (int i = range->first; i < range->next; ++i)
                    work->MarkInProgress(i, false, false);
    } else {
        ReturnQueue();
    }
    ranges->Release(range_);
}

int TRangePeer::NextPieceIndex() {
    TPieces* pieces = task_ ? task_->PieceMap() : nullptr;
    TPieceRanges* ranges = task_ ? task_->Ranges() : nullptr;
    if (!pieces || !pieces->Usable() || !ranges)
        return -1;
    if (ranges->Empty())
        task_->BuildRanges();
    const int piece = ranges->NextPiece(*this, range_, stats_.currentPiece, [this](int i) {
        return task_->PieceWanted(i) && !HasRequestInPiece(i);
    });
    if (piece >= 0)
        stats_.currentPiece = piece;
    return piece;
}

void TRangePeer::PlanBlocks(const TPieces& pieces, int piece, int32_t size, int32_t firstMissing) {
    const TPieceWork* work = task_->Work();
    const bool endGame = work && work->EndGame();
    const uint64_t start = static_cast<uint64_t>(piece) * static_cast<uint64_t>(pieces.PieceLength());
    const uint32_t queued = task_->Uptime();
    for (int32_t offset = firstMissing / kBlockSize * kBlockSize; offset < size; offset += kBlockSize) {
        const uint32_t block = static_cast<uint32_t>((start + static_cast<uint64_t>(offset)) / kBlockSize);
        const bool listed = std::any_of(requests_.begin(), requests_.end(),
                                        [block](const TBlockRequest& r) { return r.block == block; });
        if (listed || (endGame && pieces.HasBlock(block)))
            continue;
        const int32_t length = pieces.BlockLength(block);
        if (length > 0)
            requests_.push_back(TBlockRequest{block, length, queued});
    }
}

bool TRangePeer::DoRequest() {
    TPieces* pieces = task_ ? task_->PieceMap() : nullptr;
    if (!pieces || !pieces->Usable())
        return true;
    // Enough requests to cover two seconds at the measured rate, and two more.
    // Before its first rate sample a connection's window already says how fast it is;
    // without it a new download would crawl at two blocks a tick for seconds.
    const int64_t rate = std::max<int64_t>(traffic_.downloadRate, traffic_.windowReceived);
    const int64_t depth = rate * 2 / kBlockSize + 2;
    if (static_cast<int64_t>(requests_.size()) >= depth)
        return true;

    int piece = -1;
    int32_t size = 0;
    int32_t firstMissing = 0;
    for (int attempt = 0; attempt < 4 && piece < 0; ++attempt) {
        const int candidate = NextPieceIndex();
        if (candidate < 0)
            return true;
        if (pieces->PieceInfo(candidate, size, firstMissing) && firstMissing < size)
            piece = candidate;
    }
    if (piece < 0)
        return true;

    const int priority = task_->PriorityPiece();
    const bool jump = source_ && source_->IsHttpOrFtp() && piece > 0 && priority > 0 &&
                      std::abs(priority - lastPriorityPiece_) > 6 && task_->PieceWanted(priority);
    // Remembered before the jump is tried: a jump that cannot be made is not tried
    // again until the priority moves, or every step would give the range away anew.
    lastPriorityPiece_ = priority;
    if (jump) {
        ReleaseRange();
        TPieceRanges* ranges = task_->Ranges();
        range_ = ranges ? ranges->SplitAt(priority, *this) : nullptr;
        if (!range_ || !pieces->PieceInfo(priority, size, firstMissing))
            return true;
        piece = priority;
        stats_.currentPiece = piece;
    }
    if (TPieceRange* range = OwnedRange())
        task_->Ranges()->Advance(*range, piece);
    PlanBlocks(*pieces, piece, size, firstMissing);
    return true;
}

bool TRangePeer::RangeFinished() {
    TPieceRange* range = OwnedRange();
    const TPieces* pieces = task_ ? task_->PieceMap() : nullptr;
    if (!range || !pieces || range->next != range->last || !pieces->HasPiece(range->last))
        return false;
    ReturnQueue();
    task_->Ranges()->Exhaust(range_);
    return true;
}
