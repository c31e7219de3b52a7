#include "engine/peer/TPeerObject.h"

#include "engine/core/EngineSettings.h"
#include "engine/net/QHostResolver.h"
#include "engine/peer/TPeerTask.h"
#include "engine/piece/TPiece.h"
#include "engine/piece/TPieceRanges.h"
#include "engine/piece/TPieceWork.h"
#include "engine/piece/TPieces.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <vector>

namespace {

// The ordering rule compares byte counts in units of this size, so that connections
// of about the same speed keep their places instead of swapping at every sort.
constexpr int64_t kCompareUnit = 2048;

// Negative when the condition holds for the first one only.
int FirstWhere(bool a, bool b) {
    return a == b ? 0 : a ? -1 : 1;
}

// Negative when a is the larger.
int LargerFirst(int64_t a, int64_t b) {
    return a == b ? 0 : a > b ? -1 : 1;
}

int64_t Units(uint64_t bytes) {
    return static_cast<int64_t>(bytes / kCompareUnit);
}

int64_t PerSecondSince(uint64_t bytes, uint64_t since, uint64_t now) {
    const uint64_t seconds = now > since ? now - since : 1;
    return Units(bytes / seconds);
}

} // namespace

TPeerObject::TPeerObject(TPeerKind kind, TPeerTask* task) : kind_(kind), task_(task) {}

TPeerObject::~TPeerObject() {
    TPeerObject::Reset();
}

uint64_t TPeerObject::ReceiveCounter() const {
    return socket_ ? socket_->BytesReceived() : 0;
}

bool TPeerObject::IsConnected() const {
    return linkState_ != kLinkNone && socket_ != nullptr;
}

const TPeerStats* TPeerObject::GetInfo(int what) const {
    return what == 0 ? &stats_ : nullptr;
}

bool TPeerObject::ShouldClose(bool keepIdle) {
    if (!IsConnected() || IsUseless())
        return true;
    if (!keepIdle && IsStarved())
        return true;
    return task_ && task_->HasAllPieces() && IsSeed();
}

// ---- source and socket lifecycle ----

TRef<TPeerId> TPeerObject::DetachSource() {
    TRef<TPeerId> kept(std::move(source_));
    if (kept && kept->openConnections > 0)
        --kept->openConnections;
    return kept;
}

bool TPeerObject::ConnectTo(TPeerId* source) {
    if (!source || source == source_.get())
        return false;
    const TSourceUrl& url = source->url;
    if (!url.parsed || url.dnsFailed || url.port == 0 || url.address == 0 || url.address == kAddressNone)
        return false;
    // The connection counts itself on its source for as long as it holds it, so that
    // every way out of a connection (reset, reconnect, destruction) gives the count back.
    DetachSource();
    source_ = TRef<TPeerId>::Share(source);
    ++source->openConnections;
    source->done = false;
    if (socket_)
        socket_->Close();
    else
        socket_ = std::make_unique<QSocket>();
    // The receive buffer is filled and emptied every tick; keeping it saves an
    // allocation and a free per tick and connection.
    socket_->SetKeepBuffer(true);
    stats_.activityTime = task_ ? task_->Now() : 0;
    return true;
}

bool TPeerObject::AttachSocket(QSocket* socket) {
    Reset();
    socket_.reset(socket);
    stats_.incoming = true;
    linkState_ = socket ? kLinkConnecting : kLinkNone;
    stats_.activityTime = task_ ? task_->Now() : 0;
    return IsConnected();
}

void TPeerObject::Reset() {
    if (task_ && !requests_.empty())
        ReturnQueue();
    requests_.clear();
    uploads_.clear();
    if (socket_)
        socket_->Close();
    ReleaseRange();
    if (task_)
        if (TPieceRanges* ranges = task_->Ranges())
            ranges->DetachOwner(*this);
    range_ = nullptr;
    linkState_ = kLinkNone;
    peerState_ = kPeerIdle;
    spare_ = 0;
    stats_ = TPeerStats{};
    traffic_ = TPeerTraffic{};
    streamPosition_ = 0;
    bytesToSkip_ = 0;
    DetachSource();
}

// ---- ranges and planning ----

void TPeerObject::ReturnQueue() {
    stats_.contiguousBlocks = 0;
    if (requests_.empty())
        return;
    const std::vector<TBlockRequest> back(requests_.begin(), requests_.end());
    requests_.clear();
    if (task_)
        task_->ReturnRequests(back);
}

TPieceRange* TPeerObject::OwnedRange() {
    TPieceRanges* ranges = task_ ? task_->Ranges() : nullptr;
    if (range_ && (!ranges || !ranges->Contains(range_) || range_->owner != static_cast<TRangeClient*>(this)))
        range_ = nullptr;
    return range_;
}

void TPeerObject::ReleaseRange() {
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

bool TPeerObject::HasRequestInPiece(int piece) const {
    const TPieces* pieces = task_ ? task_->PieceMap() : nullptr;
    if (!pieces || pieces->PieceLength() <= 0)
        return false;
    const uint64_t length = static_cast<uint64_t>(pieces->PieceLength());
    return std::any_of(requests_.begin(), requests_.end(), [&](const TBlockRequest& r) {
        return static_cast<uint64_t>(r.block) * kBlockSize / length == static_cast<uint64_t>(piece);
    });
}

int TPeerObject::NextPieceIndex() {
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

void TPeerObject::PlanBlocks(const TPieces& pieces, int piece, int32_t size, int32_t firstMissing) {
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

bool TPeerObject::DoRequest() {
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

bool TPeerObject::NothingLeft() {
    if (!requests_.empty() || !task_ || !task_->HasAllPieces())
        return false;
    peerState_ = kPeerFinished;
    return true;
}

bool TPeerObject::RangeFinished() {
    TPieceRange* range = OwnedRange();
    const TPieces* pieces = task_ ? task_->PieceMap() : nullptr;
    if (!range || !pieces || range->next != range->last || !pieces->HasPiece(range->last))
        return false;
    ReturnQueue();
    task_->Ranges()->Exhaust(range_);
    return true;
}

// ---- block delivery ----

void TPeerObject::DropRequestsInPiece(int piece) {
    const TPieces* pieces = task_->PieceMap();
    const uint64_t length = static_cast<uint64_t>(pieces->PieceLength());
    int contiguous = std::min<int>(stats_.contiguousBlocks, static_cast<int>(requests_.size()));
    int index = 0;
    for (auto it = requests_.begin(); it != requests_.end(); ++index) {
        if (static_cast<uint64_t>(it->block) * kBlockSize / length == static_cast<uint64_t>(piece)) {
            if (index < stats_.contiguousBlocks)
                --contiguous;
            it = requests_.erase(it);
        } else {
            ++it;
        }
    }
    stats_.contiguousBlocks = std::max(contiguous, 0);
}

bool TPeerObject::OnBlockReceived(uint32_t block, int32_t length, const uint8_t* data) {
    if (length <= 0 || !data || !IsConnected() || !task_)
        return false;
    TPieces* pieces = task_->PieceMap();
    if (!pieces || !pieces->Usable())
        return true;

    // A BitTorrent peer answers in order, so only the requests it has been sent count.
    const size_t searched =
        kind_ == kPeerBitTorrent
            ? std::min(requests_.size(), static_cast<size_t>(std::max(stats_.contiguousBlocks, 0)))
            : requests_.size();
    const auto end = requests_.begin() + static_cast<std::ptrdiff_t>(searched);
    const auto found = std::find_if(requests_.begin(), end, [&](const TBlockRequest& r) {
        return r.block == block && r.length == length;
    });
    TPieceWork* work = task_->Work();
    if (found != end) {
        requests_.erase(found);
        if (stats_.contiguousBlocks > 0)
            --stats_.contiguousBlocks;
    } else if (!work || !work->RemoveEndGameBlock(block)) {
        return false;
    }

    stats_.activityTime = task_->Now();
    if (TPieceRange* range = OwnedRange())
        ++range->blocksReceived;

    bool completed = false;
    const int status = task_->WriteBlock(block, data, length, source_.get(), completed);
    const int piece = static_cast<int>(static_cast<uint64_t>(block) * kBlockSize /
                                       static_cast<uint64_t>(pieces->PieceLength()));
    if (status < 0) {
        int32_t size = 0;
        int32_t firstMissing = 0;
        if (pieces->PieceInfo(piece, size, firstMissing))
            task_->AddWasted(static_cast<uint64_t>(size));
        ++stats_.failures;
        return false;
    }
    // A block that is not written was delivered first by another connection (end-game,
    // or a piece finished elsewhere): not a fault of this one, its bytes are just not
    // needed, so it is accepted without counting as payload.
    if (status > 0) {
        task_->AddPayload(kind_, static_cast<uint64_t>(length));
        traffic_.receivedKiB += length / 1024;
        traffic_.windowReceived += length;
    }
    if (completed && work && work->EndGame())
        DropRequestsInPiece(piece);
    return true;
}

// ---- ticks ----

void TPeerObject::AccountTick(uint64_t receivedBefore, uint64_t sentBefore) {
    const uint64_t receivedNow = ReceiveCounter();
    const uint64_t sentNow = socket_ ? socket_->BytesSent() : sentBefore;
    const int64_t received =
        receivedNow > receivedBefore ? static_cast<int64_t>(receivedNow - receivedBefore) : 0;
    const int64_t sent = sentNow > sentBefore ? static_cast<int64_t>(sentNow - sentBefore) : 0;
    traffic_.receivedTick = received;
    traffic_.sentTick = sent;
    traffic_.windowSent += sent;
    if (received > 0 || sent > 0)
        stats_.idleTicks = 0;
    else
        ++stats_.idleTicks;
    if (linkState_ == kLinkEstablished && socket_ && socket_->SendLength() > 0)
        stats_.sendBacklog = true;
    if (task_)
        task_->AddTraffic(static_cast<uint64_t>(received), static_cast<uint64_t>(sent));
}

bool TPeerObject::OnDownloadTick() {
    if (!IsConnected())
        return false;
    if (kind_ == kPeerBitTorrent && !EngineSettings::P2PEnabled())
        return false;
    const uint64_t receivedBefore = ReceiveCounter();
    const uint64_t sentBefore = socket_->BytesSent();
    traffic_.receivedTick = 0;
    traffic_.sentTick = 0;
    stats_.sendBacklog = false;
    const bool ok = DoRead() && DoRequest() && SendRequests() && DoWrite() && IsConnected();
    AccountTick(receivedBefore, sentBefore);
    return ok;
}

bool TPeerObject::OnUploadTick() {
    if (kind_ != kPeerBitTorrent)
        return true;
    if (!IsConnected())
        return false;
    const uint64_t receivedBefore = ReceiveCounter();
    const uint64_t sentBefore = socket_->BytesSent();
    traffic_.receivedTick = 0;
    traffic_.sentTick = 0;
    stats_.sendBacklog = false;
    const bool ok = DoUpload();
    AccountTick(receivedBefore, sentBefore);
    return ok;
}

void TPeerObject::SampleRates(int windowSeconds) {
    const int64_t seconds = std::max(windowSeconds, 1);
    traffic_.downloadRate = static_cast<int>(std::min<int64_t>(traffic_.windowReceived / seconds, INT_MAX));
    traffic_.uploadRate = static_cast<int>(std::min<int64_t>(traffic_.windowSent / seconds, INT_MAX));
    traffic_.windowReceived = 0;
    traffic_.windowSent = 0;
    stats_.fresh = false;
    stats_.ranked = true;
}

// ---- ordering ----

int TPeerObject::Compare(const TPeerObject* a, const TPeerObject* b) {
    if (a == b)
        return 0;
    if (!a || !b)
        return a ? -1 : 1;
    const bool aUp = a->linkState_ == kLinkEstablished && a->socket_;
    const bool bUp = b->linkState_ == kLinkEstablished && b->socket_;
    if (aUp != bUp)
        return aUp ? -1 : 1;
    if (!aUp)
        return 0;

    const uint64_t now = a->task_ ? a->task_->Now() : b->task_ ? b->task_->Now() : 0;
    const uint64_t aSince = a->socket_->ConnectTime();
    const uint64_t bSince = b->socket_->ConnectTime();
    const bool seeding = (a->task_ && a->task_->HasAllPieces()) || (b->task_ && b->task_->HasAllPieces());
    int c = 0;
    if (seeding) {
        if ((c = FirstWhere(!a->stats_.ranked, !b->stats_.ranked)) != 0)
            return c;
        if ((c = FirstWhere(!a->stats_.sendBacklog, !b->stats_.sendBacklog)) != 0)
            return c;
        if (a->kind_ == kPeerBitTorrent && b->kind_ == kPeerBitTorrent &&
            (c = LargerFirst(a->RemotePieceCount(), b->RemotePieceCount())) != 0)
            return c;
        if ((c = LargerFirst(a->traffic_.windowSent / kCompareUnit, b->traffic_.windowSent / kCompareUnit)) !=
            0)
            return c;
        return LargerFirst(PerSecondSince(a->socket_->BytesSent(), aSince, now),
                           PerSecondSince(b->socket_->BytesSent(), bSince, now));
    }
    if ((c = LargerFirst(a->traffic_.windowReceived / kCompareUnit,
                         b->traffic_.windowReceived / kCompareUnit)) != 0)
        return c;
    if ((c = LargerFirst(PerSecondSince(a->ReceiveCounter(), aSince, now),
                         PerSecondSince(b->ReceiveCounter(), bSince, now))) != 0)
        return c;
    if ((c = FirstWhere(!a->stats_.ranked, !b->stats_.ranked)) != 0)
        return c;
    if ((c = LargerFirst(b->traffic_.windowSent / kCompareUnit, a->traffic_.windowSent / kCompareUnit)) != 0)
        return c;
    if ((c = LargerFirst(Units(b->socket_->BytesSent()), Units(a->socket_->BytesSent()))) != 0)
        return c;
    return LargerFirst(static_cast<int64_t>(aSince), static_cast<int64_t>(bSince));
}
