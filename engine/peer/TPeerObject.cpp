#include "engine/peer/TPeerObject.h"

#include "engine/net/QHostResolver.h"
#include "engine/peer/TPeerTask.h"
#include "engine/piece/TPiece.h"
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
    if (socket_)
        socket_->Close();
    linkState_ = kLinkNone;
    peerState_ = kPeerIdle;
    stats_ = TPeerStats{};
    traffic_ = TPeerTraffic{};
    DetachSource();
}

// ---- planning ----

void TPeerObject::ReturnQueue() {
    stats_.contiguousBlocks = 0;
    if (requests_.empty())
        return;
    const std::vector<TBlockRequest> back(requests_.begin(), requests_.end());
    requests_.clear();
    if (task_)
        task_->ReturnRequests(back);
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

bool TPeerObject::NothingLeft() {
    if (!requests_.empty() || !task_ || !task_->HasAllPieces())
        return false;
    peerState_ = kPeerFinished;
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

    const size_t searched = std::min(requests_.size(), AnswerableRequests());
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
    OnBlockAccepted();

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

bool TPeerObject::CountedStep(bool (TPeerObject::*step)()) {
    if (!IsConnected())
        return false;
    const uint64_t receivedBefore = ReceiveCounter();
    const uint64_t sentBefore = socket_->BytesSent();
    traffic_.receivedTick = 0;
    traffic_.sentTick = 0;
    stats_.sendBacklog = false;
    const bool ok = (this->*step)();
    AccountTick(receivedBefore, sentBefore);
    return ok;
}

bool TPeerObject::DownloadStep() {
    return DoRead() && DoRequest() && SendRequests() && DoWrite() && IsConnected();
}

bool TPeerObject::OnDownloadTick() {
    return CountedStep(&TPeerObject::DownloadStep);
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
