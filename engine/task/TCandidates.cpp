#include "engine/task/TCandidates.h"

#include "engine/core/EngineClock.h"
#include "platform/AsciiText.h"

#include <algorithm>

namespace {
bool SameText(const std::string& a, const std::string& b) {
    return platform::EqualsNoCase(a, b);
}

bool IsLoopback(uint32_t networkOrder) {
    return (networkOrder & 0xff) == 127;
}

// Sorting key: higher origin first, then more delivered pieces, fewer failures, fewer
// attempts, lower back-off.
bool Before(const TPeerId* a, const TPeerId* b) {
    if (!a || !b)
        return a && !b;
    if (a->originCode != b->originCode)
        return a->originCode > b->originCode;
    if (a->piecesDelivered != b->piecesDelivered)
        return a->piecesDelivered > b->piecesDelivered;
    if (a->failures != b->failures)
        return a->failures < b->failures;
    if (a->connectAttempts != b->connectAttempts)
        return a->connectAttempts < b->connectAttempts;
    return a->backoff < b->backoff;
}

// The rule by which Add knows a web or FTP source: the same URL, or the same server
// (address, port, kind and host name).
bool SameServer(const TPeerId& known, const TPeerId& id) {
    if (SameText(known.url.url, id.url.url) &&
        (!known.url.parsed || !id.url.parsed || known.url.address == id.url.address))
        return true;
    return id.url.address != 0 && known.url.address == id.url.address && known.url.port == id.url.port &&
           known.Kind() == id.Kind() && known.url.parsed && id.url.parsed &&
           SameText(known.RequestHost(), id.RequestHost());
}
} // namespace

TCandidates::TCandidates(std::function<uint32_t()> tick)
    : tick_(tick ? std::move(tick) : [] { return static_cast<uint32_t>(EngineTickMs()); }) {}

void TCandidates::Sort() {
    std::stable_sort(list_.begin(), list_.end(),
                     [](const TRef<TPeerId>& a, const TRef<TPeerId>& b) { return Before(a.get(), b.get()); });
}

TPeerId* TCandidates::Find(const TPeerId* id) const {
    for (const auto& c : list_)
        if (c.get() == id)
            return c.get();
    return nullptr;
}

TPeerId* TCandidates::Add(const TPeerId& id, bool refreshPeerId, bool keepPeerId, const Self& self) {
    const bool bt = id.Kind() == kPeerBitTorrent;
    if (bt && IsLoopback(id.url.address))
        return nullptr;
    if (bt && self.torrentBased && id.peerId == self.peerId && self.peerId != std::array<uint8_t, 20>{})
        return nullptr;
    if (id.url.parsed && self.address != 0 && id.url.address == self.address && id.url.port == self.port)
        return nullptr;
    if (id.IsHttpOrFtp() && IsDropped(id))
        return nullptr;

    int first = -1, last = -1;
    for (size_t i = 0; i < list_.size(); ++i) {
        TPeerId* c = list_[i].get();
        if (SameText(c->url.url, id.url.url) &&
            (!c->url.parsed || !id.url.parsed || c->url.address == id.url.address))
            return c;
        if (c->url.address == id.url.address && c->url.port == id.url.port && c->Kind() == id.Kind() &&
            id.url.address != 0) {
            if (c->IsHttpOrFtp() && c->url.parsed && id.url.parsed &&
                SameText(c->RequestHost(), id.RequestHost()))
                return c;
            if (bt) {
                if (refreshPeerId || keepPeerId)
                    c->peerId = id.peerId;
                return c;
            }
        }
        if (c->originCode == id.originCode) {
            if (first < 0)
                first = static_cast<int>(i);
            last = static_cast<int>(i);
        }
    }
    TRef<TPeerId> fresh = TRef<TPeerId>::Adopt(TPeerId::CopyOf(id));
    if (bt)
        fresh->originCode = TPeerId::kOriginPeer;
    size_t at = 0;
    if (((bt && refreshPeerId) || fresh->IsHttpOrFtp()) && first >= 0)
        at = static_cast<size_t>(first) + tick_() % static_cast<uint32_t>(last - first + 1);
    list_.insert(list_.begin() + static_cast<ptrdiff_t>(at), fresh);
    TPeerId* added = fresh.get();
    Sort();
    return added;
}

TPeerId* TCandidates::AddByAddress(uint32_t address, uint16_t port, TPeerKind kind, bool front,
                                   int originCode) {
    for (const auto& c : list_)
        if (c->url.address == address && c->url.port == port && c->Kind() == kind && c->url.parsed) {
            c->originCode = originCode;
            return c.get();
        }
    TRef<TPeerId> fresh = TRef<TPeerId>::Adopt(new TPeerId);
    fresh->url.kind = kind;
    fresh->url.address = address;
    fresh->url.port = port;
    fresh->originCode = originCode;
    if (kind == kPeerBitTorrent) {
        fresh->connectionLimit = 1;
        fresh->url.parsed = true;
        fresh->originCode = std::max(TPeerId::kOriginPeer, originCode);
        fresh->peerId.fill(0);
        const auto* a = reinterpret_cast<const uint8_t*>(&address);
        std::copy(a, a + 4, fresh->peerId.begin() + 14);
        fresh->peerId[18] = static_cast<uint8_t>(port >> 8);
        fresh->peerId[19] = static_cast<uint8_t>(port & 0xff);
    }
    TPeerId* added = fresh.get();
    if (front || fresh->IsHttpOrFtp())
        list_.insert(list_.begin(), fresh);
    else
        list_.push_back(fresh);
    return added;
}

bool TCandidates::SourceFailed(const TPeerId* source, bool retry, int backoffSeconds) {
    if (!source)
        return false;
    // A failure for good is remembered, so the mirror lists cannot bring it back.
    if (!retry)
        Refuse(*source);
    bool any = false;
    for (size_t i = 0; i < list_.size();) {
        TPeerId* c = list_[i].get();
        bool same = c == source;
        if (!same && c->url.address == source->url.address) {
            if (c->Kind() == kPeerBitTorrent && source->Kind() == kPeerBitTorrent)
                same = c->url.port == source->url.port;
            else
                same = SameText(c->url.url, source->url.url);
        }
        if (!same) {
            ++i;
            continue;
        }
        any = true;
        if (retry) {
            c->backoff += std::max(1, backoffSeconds);
            ++i;
        } else {
            list_.erase(list_.begin() + static_cast<ptrdiff_t>(i));
        }
    }
    return any;
}

void TCandidates::Remove(const TPeerId* id) {
    list_.erase(
        std::remove_if(list_.begin(), list_.end(), [&](const TRef<TPeerId>& c) { return c.get() == id; }),
        list_.end());
}

void TCandidates::Drop(const TPeerId* id) {
    if (!Find(id))
        return;
    Refuse(*id);
    Remove(id);
}

void TCandidates::Refuse(const TPeerId& id) {
    if (id.IsHttpOrFtp() && !IsDropped(id))
        dropped_.push_back(TRef<TPeerId>::Adopt(TPeerId::CopyOf(id)));
}

bool TCandidates::IsDropped(const TPeerId& id) const {
    return std::any_of(dropped_.begin(), dropped_.end(),
                       [&](const TRef<TPeerId>& d) { return SameServer(*d, id); });
}

void TCandidates::MoveToEnd(const TPeerId* id) {
    auto it = std::find_if(list_.begin(), list_.end(), [&](const TRef<TPeerId>& c) { return c.get() == id; });
    if (it == list_.end())
        return;
    TRef<TPeerId> keep = *it;
    list_.erase(it);
    list_.push_back(keep);
}

void TCandidates::Clear() {
    list_.clear();
    dropped_.clear();
}
