#pragma once
#include "engine/piece/TPieceQuery.h"
#include "engine/piece/TPieceRange.h"
#include "engine/piece/TRangeClient.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// The task's list of piece ranges and the allocator that hands them to connections.
// Several connections on one server each walk their own range; a connection that
// runs dry takes an unowned range, takes over a stalled one, or splits the tail off
// the range that will take longest to finish.
//
// Range pointers stay valid until the range is removed. Every call runs on the task
// thread; the only calls out are to TRangeClient and TPieceQuery.
class TPieceRanges {
public:
    // Whether a connection may fetch a piece: needed by the task and not already
    // requested by that connection.
    using PieceFilter = std::function<bool(int)>;

    struct SourceShare {
        TPieceSource* source = nullptr;
        int connectionLimit = 1;
    };

    // nowSeconds gives engine seconds, tickMs the millisecond tick count that spreads
    // connections over the list; empty functions use the engine clock.
    explicit TPieceRanges(const TPieceQuery& pieces, std::function<uint64_t()> nowSeconds = {},
                          std::function<uint32_t()> tickMs = {});
    ~TPieceRanges();
    TPieceRanges(const TPieceRanges&) = delete;
    TPieceRanges& operator=(const TPieceRanges&) = delete;

    size_t Count() const { return ranges_.size(); }
    bool Empty() const { return ranges_.empty(); }
    TPieceRange* At(size_t i) { return ranges_[i].get(); }
    const TPieceRange* At(size_t i) const { return ranges_[i].get(); }
    bool Contains(const TPieceRange* range) const;
    bool AllExhausted() const;
    void Clear();

    // Cuts the piece set into one share per usable HTTP or FTP source (in source
    // order), and each share into up to ceiling(share / 5) unowned ranges, no more
    // than the source's connection limit. Only on an empty list; false when nothing
    // was built.
    bool BuildInitialRanges(const std::vector<SourceShare>& sources);

    // Hands the caller an existing range or the tail of a split one; null when it
    // refuses. The caller becomes the owner.
    TPieceRange* AssignRange(TRangeClient& caller);

    // The range side of a connection's choice of its next piece: continues the
    // connection's range after `current`, and when that runs out ends the range and
    // acquires another one (from AssignRange, or a new one over the first run of
    // wanted pieces when every range is exhausted). `range` is the connection's
    // claim and is updated; a claim the list no longer gives to caller is dropped, a
    // backward one is left to StepBackward. Returns the piece, -1 when there is none.
    int NextPiece(TRangeClient& caller, TPieceRange*& range, int current, const PieceFilter& wanted);

    // Records the piece the owner works on now.
    void Advance(TPieceRange& range, int piece);
    // Next piece of a backward range, walking down; at the bottom the range is
    // exhausted and removed, range cleared, and -1 returned.
    int StepBackward(TPieceRange*& range);
    // The owner is done with its claim: a backward range is removed, any other one
    // becomes unowned. Clears range.
    void Release(TPieceRange*& range);
    // The owner walked past the end: exhausted and unowned, and holed when a piece
    // is still needed, else removed. Clears range.
    void Exhaust(TPieceRange*& range);
    // Nothing is left for the owner: past the end, or at the last piece and that
    // piece no longer needed.
    bool IsFinished(const TPieceRange& range) const;

    // Splits the range (neither exhausted nor backward) that holds piece so that a
    // new one from piece to its end goes to caller; null when no range holds it.
    TPieceRange* SplitAt(int piece, TRangeClient& caller);
    // A new range over the first run of wanted pieces, only when every range is
    // exhausted; null otherwise or when no piece is wanted.
    TPieceRange* CreateRange(TRangeClient& caller, const PieceFilter& wanted);
    // A new backward range over [first, last] owned by caller, starting at last.
    TPieceRange* AddBackwardRange(TRangeClient& caller, int first, int last);
    // Appends a range as given.
    TPieceRange* Append(const TPieceRange& range);
    void Remove(TPieceRange*& range);
    // A connection goes away: its ranges become unowned (backward ones are removed),
    // so that no range points at a dead connection.
    void DetachOwner(const TRangeClient& client);

private:
    using List = std::vector<std::unique_ptr<TPieceRange>>;

    List::iterator Find(const TPieceRange* range);
    bool AnyNeeded(const TPieceRange& range) const;
    int FirstWanted(const TPieceRange& range, int from, const PieceFilter& wanted) const;
    int PiecesMissing() const;
    void RemoveFinishedUnowned();
    TPieceRange* Hand(TPieceRange& range, TRangeClient& caller);
    TPieceRange* InsertAfter(const TPieceRange* before, const TPieceRange& range);
    TPieceRange* FollowOn(const TRangeClient& caller);
    TPieceRange* FromTickPosition();
    TPieceRange* TakeOver(TRangeClient& caller);
    TPieceRange* ChooseToSplit(const TRangeClient& caller, bool relaxed,
                               const std::vector<const TPieceRange*>& rejected);
    TPieceRange* Split(TRangeClient& caller);

    const TPieceQuery& pieces_;
    std::function<uint64_t()> now_;
    std::function<uint32_t()> tick_;
    List ranges_;
};
