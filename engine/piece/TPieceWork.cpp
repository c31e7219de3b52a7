#include "engine/piece/TPieceWork.h"

#include <algorithm>

namespace {

constexpr int64_t kBlock = 16384;
// In end-game with more missing pieces than this, a dropped worker's data is kept for
// the connections still fetching the same piece.
constexpr int kKeepDataMissing = 3;

bool BitSet(const std::vector<uint8_t>& bitfield, int piece) {
    const size_t byte = static_cast<size_t>(piece) / 8;
    return byte < bitfield.size() && (bitfield[byte] & (0x80 >> (piece % 8))) != 0;
}

} // namespace

TPieceWork::TPieceWork(TPieceQuery& pieces) : pieces_(pieces) {}

bool TPieceWork::ValidPiece(int piece) const {
    return piece >= 0 && piece < pieces_.PieceCount();
}

void TPieceWork::EnsureSized() {
    const size_t count = static_cast<size_t>(std::max(pieces_.PieceCount(), 0));
    if (workers_.size() != count) {
        // A different layout: the counts speak of pieces that no longer exist.
        workers_.assign(count, 0);
        entries_ = 0;
        endGameList_.clear();
    }
}

int TPieceWork::PieceOfBlock(uint32_t block) const {
    const int64_t length = pieces_.PieceLength();
    if (length <= 0)
        return -1;
    const int64_t piece = static_cast<int64_t>(block) * kBlock / length;
    return piece < pieces_.PieceCount() ? static_cast<int>(piece) : -1;
}

int TPieceWork::AllowedWorkers() const {
    const int spread = std::max(connections_ / 3, 64);
    return std::max(spread + pieces_.PiecesDone() - pieces_.PieceCount(), 1);
}

void TPieceWork::UpdateEndGame() {
    const int count = pieces_.PieceCount();
    endGame_ = count > 0 && entries_ >= count - pieces_.PiecesDone();
    if (endGame_)
        endGameReached_ = true;
}

int TPieceWork::InProgressCount(int piece) const {
    return piece >= 0 && static_cast<size_t>(piece) < workers_.size() ? workers_[piece] : 0;
}

void TPieceWork::ForgetPiece(int piece) {
    entries_ -= workers_[piece];
    workers_[piece] = 0;
}

bool TPieceWork::MarkInProgress(int piece, bool add, bool discard) {
    EnsureSized();
    if (!ValidPiece(piece))
        return false;
    UpdateEndGame();
    int& workers = workers_[piece];
    bool result = workers > 0;
    if (add) {
        result = workers < AllowedWorkers();
        if (result) {
            ++workers;
            ++entries_;
        }
    } else if (discard) {
        const int missing = pieces_.PieceCount() - pieces_.PiecesDone();
        if (!(endGame_ && missing > kKeepDataMissing) && !stopping_)
            pieces_.DiscardBuffered(piece);
        ForgetPiece(piece);
    } else if (result) {
        --workers;
        --entries_;
    }
    UpdateEndGame();
    return result;
}

void TPieceWork::PieceVerified(int piece) {
    EnsureSized();
    if (ValidPiece(piece))
        ForgetPiece(piece);
    UpdateEndGame();
}

bool TPieceWork::AddEndGameBlock(uint32_t block) {
    EnsureSized();
    if (PieceOfBlock(block) < 0)
        return false;
    auto at = std::lower_bound(endGameList_.begin(), endGameList_.end(), block);
    if (at != endGameList_.end() && *at == block)
        return false;
    endGameList_.insert(at, block);
    return true;
}

bool TPieceWork::RemoveEndGameBlock(uint32_t block) {
    auto at = std::lower_bound(endGameList_.begin(), endGameList_.end(), block);
    if (at == endGameList_.end() || *at != block)
        return false;
    endGameList_.erase(at);
    return true;
}

bool TPieceWork::HasEndGameBlock(uint32_t block) const {
    return std::binary_search(endGameList_.begin(), endGameList_.end(), block);
}

bool TPieceWork::TakeEndGameBlocks(const std::vector<uint8_t>& bitfield, const std::vector<int>& excluded,
                                   std::vector<uint32_t>& queue, int max) {
    EnsureSized();
    if (max <= 0)
        max = kDefaultTake;
    auto queued = [&queue](uint32_t block) {
        return std::find(queue.begin(), queue.end(), block) != queue.end();
    };
    size_t begin = 0;
    while (begin < endGameList_.size()) {
        // The list is sorted, so the blocks of one piece lie together.
        const int piece = PieceOfBlock(endGameList_[begin]);
        size_t end = begin + 1;
        while (end < endGameList_.size() && PieceOfBlock(endGameList_[end]) == piece)
            ++end;
        const auto first = endGameList_.begin() + static_cast<std::ptrdiff_t>(begin);
        const auto last = endGameList_.begin() + static_cast<std::ptrdiff_t>(end);
        const bool eligible = piece >= 0 && BitSet(bitfield, piece) &&
                              std::find(excluded.begin(), excluded.end(), piece) == excluded.end() &&
                              pieces_.PieceNeeded(piece) && !std::all_of(first, last, queued);
        if (!eligible) {
            begin = end;
            continue;
        }
        int moved = 0;
        auto kept = first;
        for (auto it = first; it != last; ++it) {
            if (moved < max && !queued(*it)) {
                queue.push_back(*it);
                ++moved;
            } else {
                *kept++ = *it;
            }
        }
        endGameList_.erase(kept, last);
        return moved > 0;
    }
    return false;
}

void TPieceWork::DropListedPiece(int piece) {
    std::erase_if(endGameList_, [this, piece](uint32_t block) { return PieceOfBlock(block) == piece; });
}

void TPieceWork::Housekeeping(const std::function<bool(int)>& anyPeerHas) {
    EnsureSized();
    UpdateEndGame();
    const int count = pieces_.PieceCount();
    if (count > 0 && pieces_.PiecesDone() >= count) {
        endGameList_.clear();
        return;
    }
    if (endGame_)
        return;
    const size_t bound = static_cast<size_t>(std::max(pieces_.PieceLength(), 0) / kBlock) * 64 + 64;
    if (endGameList_.size() <= bound)
        return;
    std::vector<int> unheld;
    int previous = -2;
    for (uint32_t block : endGameList_) {
        const int piece = PieceOfBlock(block);
        if (piece == previous)
            continue;
        previous = piece;
        if (piece < 0 || !anyPeerHas(piece))
            unheld.push_back(piece);
    }
    for (int piece : unheld) {
        DropListedPiece(piece);
        if (ValidPiece(piece))
            ForgetPiece(piece);
    }
    UpdateEndGame();
}

void TPieceWork::Clear() {
    workers_.assign(static_cast<size_t>(std::max(pieces_.PieceCount(), 0)), 0);
    entries_ = 0;
    endGame_ = false;
    endGameReached_ = false;
    endGameList_.clear();
}
