#pragma once
#include "engine/piece/TPieceQuery.h"

#include <cstdint>
#include <functional>
#include <vector>

// Which pieces connections are working on, the end-game rule, and the shared list of
// blocks that several connections may request at once near the end of a download.
// Runs on the task thread.
class TPieceWork {
public:
    static constexpr int kDefaultTake = 16;

    explicit TPieceWork(TPieceQuery& pieces);

    void SetConnectionCount(int connections) { connections_ = connections; }
    void SetStopping(bool stopping) { stopping_ = stopping; }

    // How many connections may work on one piece at once: one early in a download,
    // more as the missing pieces become fewer than the connections can cover.
    int AllowedWorkers() const;
    // add: count one more worker on piece when it admits one; true when counted.
    // discard: drop the piece's unverified buffered data (kept in end-game while more
    // than 3 pieces are missing, and while stopping), then forget every worker on it;
    // true when there was one.
    // neither: forget one worker; true when there was one.
    bool MarkInProgress(int piece, bool add, bool discard);
    // The piece passed its check: nobody works on it any more.
    void PieceVerified(int piece);
    int InProgressCount(int piece) const;
    int InProgressEntries() const { return entries_; }

    // True when at least as many workers are counted as pieces are missing.
    bool EndGame() const { return endGame_; }
    // Stays set once end-game was reached.
    bool EndGameReached() const { return endGameReached_; }
    // Recomputes the end-game flags, for when the piece map changed behind our back.
    void UpdateEndGame();

    // The shared end-game list, sorted by block number, each block at most once.
    const std::vector<uint32_t>& EndGameList() const { return endGameList_; }
    // False when the block is already listed or lies outside the download.
    bool AddEndGameBlock(uint32_t block);
    bool RemoveEndGameBlock(uint32_t block);
    bool HasEndGameBlock(uint32_t block) const;
    // Moves to `queue` up to max (kDefaultTake when max <= 0) listed blocks of the
    // first listed piece that the remote has (its bit set in bitfield, most
    // significant bit first), that is not excluded, that is still needed, and that has
    // blocks not in `queue` yet. `queue` holds the caller's queued block numbers.
    // True when blocks were moved.
    bool TakeEndGameBlocks(const std::vector<uint8_t>& bitfield, const std::vector<int>& excluded,
                           std::vector<uint32_t>& queue, int max);
    // The periodic clean-up. When every piece is present the list is emptied. Outside
    // end-game, a list grown beyond (pieceLength / 16384) * 64 + 64 blocks loses the
    // pieces no connected peer has (anyPeerHas false), with their worker counts.
    void Housekeeping(const std::function<bool(int)>& anyPeerHas);

    // Forgets everything, for a new piece layout.
    void Clear();

private:
    int PieceOfBlock(uint32_t block) const;
    bool ValidPiece(int piece) const;
    void EnsureSized();
    void ForgetPiece(int piece);
    void DropListedPiece(int piece);

    TPieceQuery& pieces_;
    int connections_ = 0;
    bool stopping_ = false;
    // Workers per piece; a multiset of piece indexes kept as counts.
    std::vector<int> workers_;
    int entries_ = 0;
    bool endGame_ = false;
    bool endGameReached_ = false;
    std::vector<uint32_t> endGameList_;
};
