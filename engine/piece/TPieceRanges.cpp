#include "engine/piece/TPieceRanges.h"

#include "engine/core/EngineClock.h"

#include <algorithm>

namespace {

// A range whose owner has not stepped for this long is taken over, and an owner this
// long without activity may have its range split even without a measured rate.
constexpr uint64_t kStallSeconds = 10;
// A range that its owner finishes within this time is left alone while more pieces
// are missing elsewhere.
constexpr int64_t kFinishSoonSeconds = 10;
constexpr int kFewMissing = 4;
// A first-time caller may split a range stepped at least this long ago.
constexpr uint64_t kRelaxedStepSeconds = 3;

bool OlderThan(uint64_t then, uint64_t now, uint64_t seconds) {
    return now > then && now - then > seconds;
}

} // namespace

TPieceRanges::TPieceRanges(const TPieceQuery& pieces, std::function<uint64_t()> nowSeconds,
                           std::function<uint32_t()> tickMs)
    : pieces_(pieces), now_(std::move(nowSeconds)), tick_(std::move(tickMs)) {
    if (!now_)
        now_ = [] { return EngineWallClock(); };
    if (!tick_)
        tick_ = [] { return static_cast<uint32_t>(EngineTickMs()); };
}

TPieceRanges::~TPieceRanges() = default;

TPieceRanges::List::iterator TPieceRanges::Find(const TPieceRange* range) {
    return std::find_if(ranges_.begin(), ranges_.end(), [range](const auto& r) { return r.get() == range; });
}

bool TPieceRanges::Contains(const TPieceRange* range) const {
    return range &&
           std::any_of(ranges_.begin(), ranges_.end(), [range](const auto& r) { return r.get() == range; });
}

bool TPieceRanges::AllExhausted() const {
    return std::all_of(ranges_.begin(), ranges_.end(), [](const auto& r) { return r->exhausted; });
}

void TPieceRanges::Clear() {
    ranges_.clear();
}

bool TPieceRanges::AnyNeeded(const TPieceRange& range) const {
    for (int i = std::max(range.first, 0); i <= range.last; ++i)
        if (pieces_.PieceNeeded(i))
            return true;
    return false;
}

int TPieceRanges::FirstWanted(const TPieceRange& range, int from, const PieceFilter& wanted) const {
    for (int i = std::max(from, range.first); i <= range.last; ++i)
        if (wanted(i))
            return i;
    return -1;
}

int TPieceRanges::PiecesMissing() const {
    return pieces_.PieceCount() - pieces_.PiecesDone();
}

TPieceRange* TPieceRanges::Append(const TPieceRange& range) {
    ranges_.push_back(std::make_unique<TPieceRange>(range));
    return ranges_.back().get();
}

TPieceRange* TPieceRanges::InsertAfter(const TPieceRange* before, const TPieceRange& range) {
    auto at = Find(before);
    if (at != ranges_.end())
        ++at;
    return ranges_.insert(at, std::make_unique<TPieceRange>(range))->get();
}

void TPieceRanges::Remove(TPieceRange*& range) {
    auto it = Find(range);
    if (it != ranges_.end())
        ranges_.erase(it);
    range = nullptr;
}

void TPieceRanges::DetachOwner(const TRangeClient& client) {
    std::erase_if(ranges_, [&client](const auto& r) { return r->owner == &client && r->backward; });
    for (auto& r : ranges_)
        if (r->owner == &client) {
            r->owner = nullptr;
            r->reserved = false;
        }
}

bool TPieceRanges::BuildInitialRanges(const std::vector<SourceShare>& sources) {
    const int count = pieces_.PieceCount();
    const int a = static_cast<int>(sources.size());
    if (!ranges_.empty() || a == 0 || count <= 0)
        return false;
    const uint64_t now = now_();
    const int step = count / a;
    for (int k = 0; k < a; ++k) {
        int lo = 0;
        int hi = 0;
        if (step == 0) {
            // More sources than pieces: one piece each while pieces last, instead of
            // the empty shares the division would give.
            if (k >= count)
                break;
            lo = hi = k;
        } else {
            lo = step * k;
            hi = k == a - 1 ? count - 1 : step * (k + 1) - 1;
        }
        const int share = hi - lo + 1;
        const int n = std::min((share + 4) / 5, std::max(sources[k].connectionLimit, 1));
        for (int j = 0; j < n; ++j) {
            TPieceRange r;
            r.first = lo + static_cast<int>(static_cast<int64_t>(share) * j / n);
            r.last = lo + static_cast<int>(static_cast<int64_t>(share) * (j + 1) / n) - 1;
            r.next = r.first;
            r.stepTime = now;
            r.source = sources[k].source;
            Append(r);
        }
    }
    return true;
}

void TPieceRanges::RemoveFinishedUnowned() {
    std::erase_if(ranges_, [this](const auto& r) { return !r->owner && !r->reserved && !AnyNeeded(*r); });
}

TPieceRange* TPieceRanges::Hand(TPieceRange& range, TRangeClient& caller) {
    range.owner = &caller;
    range.reserved = false;
    range.stepTime = now_();
    caller.AddRangeTaken();
    return &range;
}

TPieceRange* TPieceRanges::FollowOn(const TRangeClient& caller) {
    const int last = caller.LastPiece();
    if (last < 0)
        return nullptr;
    for (auto& r : ranges_)
        if (!r->owner && !r->reserved && !r->exhausted && !r->backward && r->next == last + 1)
            return r.get();
    return nullptr;
}

TPieceRange* TPieceRanges::FromTickPosition() {
    const size_t n = ranges_.size();
    const size_t start = tick_() % n;
    for (size_t i = 0; i < n; ++i) {
        TPieceRange& r = *ranges_[(start + i) % n];
        if (!r.owner && !r.reserved && !r.exhausted && !r.backward && !r.holed)
            return &r;
    }
    return nullptr;
}

TPieceRange* TPieceRanges::TakeOver(TRangeClient& caller) {
    const uint64_t now = now_();
    for (auto& entry : ranges_) {
        TPieceRange& r = *entry;
        // A backward range is dropped rather than unowned when its owner lets go, so it
        // can never change hands.
        if (r.reserved || r.backward)
            continue;
        if (!r.owner) {
            if (r.holed)
                return &r;
            continue;
        }
        if (r.owner == &caller || r.holed || r.next != r.first || !OlderThan(r.stepTime, now, kStallSeconds))
            continue;
        TRangeClient* old = r.owner;
        r.reserved = true;
        old->ReleaseRange();
        // The old owner ran code of its own; make sure the range is still ours to give.
        if (!Contains(&r))
            return nullptr;
        r.reserved = false;
        r.owner = nullptr;
        return &r;
    }
    return nullptr;
}

TPieceRange* TPieceRanges::ChooseToSplit(const TRangeClient& caller, bool relaxed,
                                         const std::vector<const TPieceRange*>& rejected) {
    const uint64_t now = now_();
    const int64_t callerRate = caller.DownloadRate();
    const int64_t pieceLength = pieces_.PieceLength();
    const bool manyMissing = PiecesMissing() >= kFewMissing;
    TPieceRange* best = nullptr;
    int64_t bestSeconds = -1;
    for (auto& entry : ranges_) {
        TPieceRange& r = *entry;
        // Splitting a backward range would hand out pieces its owner has already
        // walked; the caller's own range is not split for itself.
        if (!r.owner || r.owner == &caller || r.reserved || r.backward)
            continue;
        if (std::find(rejected.begin(), rejected.end(), &r) != rejected.end())
            continue;
        const int64_t ownerRate = std::max(r.owner->DownloadRate(), 0);
        const int remaining = r.Remaining();
        if (relaxed) {
            if (!OlderThan(r.stepTime, now, kRelaxedStepSeconds) && remaining <= 1)
                continue;
        } else {
            if (IsFinished(r))
                continue;
            const bool idle = OlderThan(r.owner->LastActivity(), now, kStallSeconds);
            if (!idle && ownerRate == 0)
                continue;
            if (remaining <= 1 && ownerRate != 0 && ownerRate * 2 > callerRate)
                continue;
        }
        if (ownerRate == 0)
            return &r;
        const int64_t seconds = std::max(remaining, 0) * pieceLength / ownerRate;
        if (!relaxed && seconds <= kFinishSoonSeconds && manyMissing)
            continue;
        if (seconds > bestSeconds) {
            bestSeconds = seconds;
            best = &r;
        }
    }
    return best;
}

TPieceRange* TPieceRanges::Split(TRangeClient& caller) {
    const int64_t callerRate = std::max(caller.DownloadRate(), 0);
    const bool fresh = caller.RangesTaken() == 0;
    if (callerRate == 0 && !fresh)
        return nullptr;
    std::vector<const TPieceRange*> rejected;
    for (;;) {
        TPieceRange* victim = ChooseToSplit(caller, false, rejected);
        if (!victim && fresh)
            victim = ChooseToSplit(caller, true, rejected);
        if (!victim)
            return nullptr;
        while (victim->last >= victim->next && !pieces_.PieceNeeded(victim->last))
            --victim->last;
        const int r = victim->Remaining();
        if (r < 1) {
            // Nothing was left behind the owner; look at the next candidate.
            rejected.push_back(victim);
            continue;
        }

        const int64_t ownerRate = std::max(victim->owner->DownloadRate(), 0);
        const bool twiceAsFast = callerRate > 2 * ownerRate;
        int64_t m = 50;
        if (!fresh && ownerRate + callerRate > 0)
            m = callerRate * 100 / (ownerRate + callerRate);
        if (m < 100 && twiceAsFast)
            ++m;
        int64_t e = r == 1 ? 1 : r * m / 100;
        if (e < r && twiceAsFast)
            ++e;
        if (e <= 0)
            return nullptr;
        e = std::min<int64_t>(e, r);

        const bool ownerUnfinished = !IsFinished(*victim);
        TPieceRange tail;
        tail.first = victim->last - static_cast<int>(e) + 1;
        tail.last = victim->last;
        tail.next = tail.first;
        tail.source = victim->source;
        victim->last = std::max(tail.first - 1, victim->next);
        TPieceRange* taken = InsertAfter(victim, tail);

        // An owner at least three times slower than the caller would only hold up the
        // piece both ranges now share; the caller takes it alone.
        const bool threeTimesFaster = callerRate > 0 && callerRate >= 3 * ownerRate;
        if (ownerUnfinished && victim->last == tail.first && threeTimesFaster) {
            victim->exhausted = true;
            TRangeClient* old = victim->owner;
            old->ReleaseRange();
            if (Contains(victim))
                victim->owner = nullptr;
            if (!Contains(taken))
                return nullptr;
        }
        return Hand(*taken, caller);
    }
}

TPieceRange* TPieceRanges::AssignRange(TRangeClient& caller) {
    RemoveFinishedUnowned();
    if (ranges_.empty())
        return nullptr;
    if (TPieceRange* r = FollowOn(caller))
        return Hand(*r, caller);
    if (TPieceRange* r = FromTickPosition())
        return Hand(*r, caller);
    if (TPieceRange* r = TakeOver(caller))
        return Hand(*r, caller);
    return Split(caller);
}

bool TPieceRanges::IsFinished(const TPieceRange& range) const {
    return range.exhausted || range.next > range.last ||
           (range.next == range.last && !pieces_.PieceNeeded(range.last));
}

void TPieceRanges::Advance(TPieceRange& range, int piece) {
    range.next = std::clamp(piece, range.first, range.last + 1);
    range.stepTime = now_();
}

void TPieceRanges::Release(TPieceRange*& range) {
    if (!Contains(range)) {
        range = nullptr;
        return;
    }
    if (range->backward) {
        Remove(range);
        return;
    }
    range->owner = nullptr;
    range = nullptr;
}

void TPieceRanges::Exhaust(TPieceRange*& range) {
    if (!Contains(range)) {
        range = nullptr;
        return;
    }
    range->exhausted = true;
    range->owner = nullptr;
    if (AnyNeeded(*range)) {
        range->holed = true;
        range = nullptr;
    } else {
        Remove(range);
    }
}

int TPieceRanges::StepBackward(TPieceRange*& range) {
    if (!Contains(range)) {
        range = nullptr;
        return -1;
    }
    if (range->next <= range->first) {
        range->exhausted = true;
        Remove(range);
        return -1;
    }
    --range->next;
    range->stepTime = now_();
    return range->next;
}

int TPieceRanges::NextPiece(TRangeClient& caller, TPieceRange*& range, int current,
                            const PieceFilter& wanted) {
    if (range && (!Contains(range) || range->owner != &caller))
        range = nullptr;
    if (range && range->backward)
        return -1;
    if (range) {
        // A current piece outside the range is left over from an earlier claim.
        const int from = current >= range->next && current <= range->last ? current + 1 : range->next;
        const int piece = FirstWanted(*range, from, wanted);
        if (piece >= 0)
            return piece;
        Exhaust(range);
    }

    for (int attempt = 0; attempt < 3; ++attempt) {
        TPieceRange* got = AssignRange(caller);
        if (!got) {
            if (pieces_.PiecesDone() >= pieces_.PieceCount())
                return -1;
            range = CreateRange(caller, wanted);
            return range ? range->first : -1;
        }
        // The previous owner may have let go with the piece before next unfinished.
        if (got->next > got->first && wanted(got->next - 1))
            --got->next;
        if (got->holed) {
            got->next = got->first;
            got->holed = false;
            got->exhausted = false;
        }
        const int piece = FirstWanted(*got, got->next, wanted);
        if (piece >= 0) {
            range = got;
            return piece;
        }
        Remove(got);
    }
    return -1;
}

TPieceRange* TPieceRanges::SplitAt(int piece, TRangeClient& caller) {
    for (auto& entry : ranges_) {
        TPieceRange& old = *entry;
        if (old.exhausted || old.backward || !old.Contains(piece))
            continue;
        TPieceRange tail;
        tail.first = piece;
        tail.last = old.last;
        tail.next = piece;
        tail.source = old.source;
        old.last = std::max(old.first, piece - 1);
        // The old owner may already be past the new end; it then finds the range
        // exhausted at its next step.
        old.next = std::min(old.next, old.last + 1);
        return Hand(*Append(tail), caller);
    }
    return nullptr;
}

TPieceRange* TPieceRanges::CreateRange(TRangeClient& caller, const PieceFilter& wanted) {
    if (!AllExhausted())
        return nullptr;
    const int count = pieces_.PieceCount();
    int first = 0;
    while (first < count && !wanted(first))
        ++first;
    if (first >= count)
        return nullptr;
    int last = first;
    while (last + 1 < count && wanted(last + 1))
        ++last;
    TPieceRange r;
    r.first = first;
    r.last = last;
    r.next = first;
    return Hand(*Append(r), caller);
}

TPieceRange* TPieceRanges::AddBackwardRange(TRangeClient& caller, int first, int last) {
    if (first < 0 || last < first || last >= pieces_.PieceCount())
        return nullptr;
    TPieceRange r;
    r.first = first;
    r.last = last;
    r.next = last;
    r.backward = true;
    return Hand(*Append(r), caller);
}
