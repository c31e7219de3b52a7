#include "engine/task/TWorkWithPeers.h"

#include "engine/core/EngineClock.h"
#include "engine/core/EngineLog.h"
#include "engine/core/EngineSettings.h"
#include "engine/core/QScopedLock.h"
#include "engine/net/QNetworkState.h"
#include "engine/peer/TPeerFactory.h"
#include "engine/peer/TPeerObject.h"
#include "engine/task/TActiveTorrents.h"
#include "engine/task/TIncomingRouter.h"

#include <algorithm>
#include <random>

TWorkWithPeers::TWorkWithPeers() = default;

TWorkWithPeers::~TWorkWithPeers() {
    Stop();
    TActiveTorrents::Unregister(this);
}

uint64_t TWorkWithPeers::CachedNow() {
    return EngineWallClock();
}

void TWorkWithPeers::SetPeerLimits(int maxSourceConnections, int maxPeerConnections) {
    QScopedLock guard(ObjectLock());
    maxSourceConnections_ = maxSourceConnections;
    maxPeerConnections_ = maxPeerConnections;
}

int TWorkWithPeers::MaxSourceConnections() {
    QScopedLock guard(ObjectLock());
    return maxSourceConnections_;
}

int TWorkWithPeers::MaxPeerConnections() {
    QScopedLock guard(ObjectLock());
    return maxPeerConnections_;
}

int TWorkWithPeers::ConnectedPeerCount() const {
    int n = 0;
    for (const auto& c : connections_)
        if (c && c->LinkState() == TPeerObject::kLinkEstablished && c->IsConnected())
            ++n;
    return n;
}

TCandidates::Self TWorkWithPeers::SelfIdentity() const {
    TCandidates::Self self;
    self.torrentBased = IsTorrentBased();
    return self;
}

bool TWorkWithPeers::AddCandidate(const TPeerId& id, bool refreshPeerId, bool keepPeerId) {
    return candidates_.Add(id, refreshPeerId, keepPeerId, SelfIdentity()) != nullptr;
}

bool TWorkWithPeers::SourceFailedImpl(TPeerId* source, bool retry, int backoffSeconds) {
    return candidates_.SourceFailed(source, retry, backoffSeconds);
}

TWorkWithPeers::FeedResult TWorkWithPeers::FeedSource(const std::string& url, bool /*torrentSource*/) {
    TRef<TPeerId> id = TRef<TPeerId>::Adopt(new TPeerId);
    const bool parsed = id->Parse(url);
    if (id->url.dnsFailed)
        return FeedResult::InvalidHost;
    if (!parsed || !(id->IsHttpOrFtp() || id->Kind() == kPeerTracker || id->Kind() == kPeerBitTorrent))
        return FeedResult::NotUsable;
    id->originCode = TPeerId::kOriginSource;
    return AddCandidate(*id, false, false) ? FeedResult::Added : FeedResult::NotUsable;
}

void TWorkWithPeers::FeedSources() {
    QScopedLock guard(ObjectLock());
    if (sourceHistory_.empty())
        sourceHistory_ = sources_;
    bool badHost = false;
    for (auto it = sources_.rbegin(); it != sources_.rend(); ++it) {
        SourceEntry& s = *it;
        if (s.state == SourceEntry::Used || s.state == SourceEntry::UsedTorrent)
            continue;
        const bool torrent = s.state == SourceEntry::UnusedTorrent;
        switch (FeedSource(s.url, torrent)) {
        case FeedResult::Added:
            s.state = torrent ? SourceEntry::UsedTorrent : SourceEntry::Used;
            passesNow_ = true; // a new source is connected now, not at the next second
            break;
        case FeedResult::InvalidHost:
            badHost = true;
            break;
        case FeedResult::NotUsable:
            break;
        }
    }
    if (badHost) {
        live_.stateCode = kTaskStateBadHost;
        PublishStatus(true, true);
    }
}

void TWorkWithPeers::RefreshPeers() {
    bool badHost = false;
    for (size_t i = 0; i < candidates_.Size();) {
        TPeerId* c = candidates_.At(i);
        if (c->url.dnsFailed) {
            badHost = true;
            candidates_.Remove(c);
            continue;
        }
        ++i;
    }
    if (badHost) {
        {
            QScopedLock guard(ObjectLock());
            live_.stateCode = kTaskStateBadHost;
        }
        PublishStatus(true, true);
    }
}

TRef<TPeerObject> TWorkWithPeers::ObtainPeer(TPeerKind kind) {
    for (auto it = recycled_.begin(); it != recycled_.end(); ++it)
        if ((*it)->Kind() == kind) {
            TRef<TPeerObject> c = *it;
            recycled_.erase(it);
            c->Reset();
            return c;
        }
    return TPeerFactory::Create(kind, PeerTask());
}

void TWorkWithPeers::Recycle(TRef<TPeerObject> connection) {
    if (!connection)
        return;
    connection->Reset();
    if (std::find_if(recycled_.begin(), recycled_.end(), [&](const TRef<TPeerObject>& r) {
            return r.get() == connection.get();
        }) == recycled_.end())
        recycled_.push_back(connection);
    if (recycled_.size() > static_cast<size_t>(maxConnections_ + 12))
        recycled_.clear();
}

void TWorkWithPeers::RemoveConnection(size_t index) {
    TRef<TPeerObject> c = connections_[index];
    connections_.erase(connections_.begin() + static_cast<ptrdiff_t>(index));
    if (c->PeerState() != TPeerObject::kPeerTimedOut && c->PeerState() != TPeerObject::kPeerFinished)
        ConnectionEnded(c->Source(), c.get(), 1);
    Recycle(c);
}

int TWorkWithPeers::OpenOfKind(int kindMask) const {
    int n = 0;
    for (const auto& c : connections_)
        if (c->Kind() & kindMask)
            ++n;
    return n;
}

void TWorkWithPeers::ServiceConnections() {
    const uint64_t nowMs = EngineTickMs();
    if (nowMs - lastRouteMs_ >= kRouteIncomingMs) {
        lastRouteMs_ = nowMs;
        TIncomingRouter::Instance().RouteIncoming(*this);
    }
    const bool fullTick = RateStepDue() || tickCounter_ % std::max<uint32_t>(TickModulus(), 1) == 0;
    const bool allPieces = HasAllPiecesNow();
    bool removedSource = false;
    for (size_t i = 0; i < connections_.size();) {
        TPeerObject* c = connections_[i].get();
        // A connection that already moved a fast second's worth in the current window
        // counts as fast before its first rate sample, so a new download does not crawl
        // for the seconds until the review.
        const TPeerTraffic& t = c->Traffic();
        const bool fast = allPieces ? (t.uploadRate > 28671 || t.windowSent > 28671)
                                    : (t.downloadRate > 28671 || t.windowReceived > 28671);
        if (!fullTick && !fast) {
            ++i;
            continue;
        }
        if (c->OnDownloadTick()) {
            ++i;
            continue;
        }
        removedSource = removedSource || (c->Kind() & (kPeerHttp | kPeerFtp));
        RemoveConnection(i);
    }
    if (removedSource)
        candidates_.Sort();
    if (!HasLayout() || passesNow_)
        ConnectionPasses();
    ++tickCounter_;
}

void TWorkWithPeers::ConnectionEnded(TPeerId* source, TPeerObject* connection, int penalty) {
    if (connection && connection->Stats().incoming)
        return;
    TPeerId* c = candidates_.Find(source);
    if (!c)
        return;
    if (c->IsHttpOrFtp() && c->openConnections > 1) {
        if (c->backoff <= 0)
            c->backoff += 2;
        return;
    }
    c->backoff += std::max(c->failures - 1, 0) * 3;
    c->backoff += penalty;
    ++c->failures;
    if (c->Kind() == kPeerBitTorrent) {
        if (penalty < 0 || penalty > 4095)
            penalty = 1;
        const bool many = static_cast<int64_t>(std::max(c->failures - 1, penalty)) *
                              static_cast<int64_t>(candidates_.Size()) >
                          400;
        c->backoff += many ? 2 * penalty + 5 : penalty + 5;
        if (HasAllPiecesNow())
            c->backoff += 20;
        if (c->backoff <= 0)
            c->backoff = 10;
        candidates_.MoveToEnd(c);
    }
}

int TWorkWithPeers::HalfOpenBudget() const {
    int settingUp = 0;
    for (const auto& c : connections_)
        if (c->LinkState() != TPeerObject::kLinkEstablished)
            ++settingUp;
    const int cap =
        std::min(2 * std::min(QNetworkState::HalfOpenConnectionLimit(), maxConnections_), maxConnections_);
    const int step = maxConnections_ >= 100 && !QNetworkState::DirectlyReachable() ? 32 : 16;
    int budget = std::min(step, maxConnections_ - static_cast<int>(connections_.size()));
    if (settingUp + budget >= cap)
        budget = cap - settingUp - 1;
    return std::max(budget, 0);
}

bool TWorkWithPeers::OpenConnections(TPeerId* candidate, int& room) {
    int limit = 1;
    if (candidate->IsHttpOrFtp()) {
        limit = candidate->connectionLimit;
        if (!candidate->fixedLimit)
            limit = std::max(limit, static_cast<int>(settings_.minConnectionsPerSource));
    }
    bool opened = false;
    while (room > 0 && candidate->openConnections < limit) {
        TRef<TPeerObject> c = ObtainPeer(candidate->Kind());
        if (!c)
            break;
        // The connection counts itself on its source while it holds it.
        ++candidate->connectAttempts;
        c->SetSerial(++nextConnectionId_);
        if (!c->ConnectTo(candidate)) {
            Recycle(c);
            break;
        }
        connections_.push_back(c);
        candidate->lastConnect = CachedNow();
        --room;
        opened = true;
        if (!candidate->IsHttpOrFtp() || candidate->fileSize == 0)
            break;
    }
    return opened;
}

void TWorkWithPeers::SourcePass() {
    const int open = OpenOfKind(kPeerHttp | kPeerFtp);
    const int maxSources = MaxSourceConnections();
    if (open >= maxSources)
        return;
    int room = std::min(maxSources - open, HalfOpenBudget());
    const bool downloading = CurrentDownloadRate() > 0;
    const bool allPieces = HasAllPiecesNow();
    bool openedAny = false;
    for (size_t i = 0; i < candidates_.Size() && room > 0; ++i) {
        TPeerId* c = candidates_.At(i);
        if (!c->IsHttpOrFtp() || allPieces || !c->IsReady(downloading, CachedNow()))
            continue;
        if (OpenConnections(c, room))
            openedAny = true;
        else
            ++c->failures;
    }
    if (!openedAny && ++idlePasses_ >= 10) {
        if (OpenOfKind(kPeerHttp | kPeerFtp) < maxSources)
            FeedSources();
        RefreshPeers();
        ConnectMirrors(std::max(maxSources - OpenOfKind(kPeerHttp | kPeerFtp), 0), true);
        idlePasses_ = 0;
    } else if (openedAny) {
        idlePasses_ = 0;
    }
    candidates_.Sort();
}

void TWorkWithPeers::ConnectMirrors(int room, bool connectNow) {
    std::vector<std::string> urls, hosts;
    {
        QScopedLock guard(ObjectLock());
        if (!mirrorsInUse_ || mirrorUrls_.empty())
            return;
        urls = mirrorUrls_;
        hosts = mirrorHosts_;
    }
    std::mt19937 rng(static_cast<uint32_t>(CachedNow()) ^ ++mirrorSeed_);
    for (int tries = 0; tries < 2 * room && room > 0; ++tries) {
        const size_t k = rng() % urls.size();
        TRef<TPeerId> id = TRef<TPeerId>::Adopt(new TPeerId);
        if (!id->Parse(urls[k]) || !id->IsHttpOrFtp())
            continue;
        if (k < hosts.size() && hosts[k] != "null")
            id->hostOverride = hosts[k];
        id->originCode = TPeerId::kOriginSource;
        TPeerId* known = candidates_.Add(*id, false, false, SelfIdentity());
        if (!known)
            continue;
        if (connectNow && known->IsReady(CurrentDownloadRate() > 0, CachedNow()))
            OpenConnections(known, room);
    }
}

void TWorkWithPeers::ConnectionPasses() {
    const uint64_t now = CachedNow();
    if (now == lastPasses_ && !passesNow_)
        return;
    passesNow_ = false;
    lastPasses_ = now;
    // Mirrors become candidates like any source, so the source pass spreads the
    // connections over them.
    ConnectMirrors(std::max(MaxSourceConnections() - OpenOfKind(kPeerHttp | kPeerFtp), 0), false);
    SourcePass();
    if (EngineSettings::P2PEnabled()) {
        // BitTorrent peers join the passes with their connection class.
    } else {
        DropConnections(kPeerBitTorrent, 2, false);
    }
}

void TWorkWithPeers::PeerReview(bool force) {
    const uint64_t now = CachedNow();
    if (!force && now < lastReview_ + 4)
        return;
    lastReview_ = now;
    std::stable_sort(connections_.begin(), connections_.end(),
                     [](const TRef<TPeerObject>& a, const TRef<TPeerObject>& b) {
                         return TPeerObject::SortsBefore(a.get(), b.get());
                     });
    peerDownloadRate_ = peerUploadRate_ = 0;
    for (auto& c : connections_) {
        c->SampleRates(3);
        peerDownloadRate_ += c->Traffic().downloadRate;
        peerUploadRate_ += c->Traffic().uploadRate;
    }
    // A source that keeps delivering pieces that fail their check is dropped with
    // everything it is working on.
    for (size_t i = 0; i < candidates_.Size();) {
        TPeerId* s = candidates_.At(i);
        if (s->IsHttpOrFtp() && s->corruptRun >= 32 && s->piecesDelivered > 0 &&
            s->corruptRun * 100 / s->piecesDelivered >= 50) {
            TRef<TPeerId> keep = TRef<TPeerId>::Share(s);
            for (size_t k = 0; k < connections_.size();) {
                if (connections_[k]->Source() == s) {
                    connections_[k]->AbandonRange();
                    TRef<TPeerObject> c = connections_[k];
                    connections_.erase(connections_.begin() + static_cast<ptrdiff_t>(k));
                    Recycle(c);
                } else {
                    ++k;
                }
            }
            candidates_.Drop(s);
            continue;
        }
        ++i;
    }
}

void TWorkWithPeers::DropConnections(int kindMask, int count, bool gentle) {
    if (connections_.empty() || count <= 0)
        return;
    std::stable_sort(connections_.begin(), connections_.end(),
                     [](const TRef<TPeerObject>& a, const TRef<TPeerObject>& b) {
                         return TPeerObject::SortsBefore(a.get(), b.get());
                     });
    bool dropped = false;
    if (gentle) {
        const int64_t share =
            connections_.empty() ? 0 : CurrentDownloadRate() / static_cast<int64_t>(connections_.size()) / 5;
        for (int k = 0; k < count && k < static_cast<int>(connections_.size()); ++k) {
            const size_t i = connections_.size() - 1 - static_cast<size_t>(k);
            TPeerObject* c = connections_[i].get();
            if (!(c->Kind() & kindMask) || !c->Source())
                continue;
            const int rate = c->Traffic().downloadRate;
            if (rate < 1 || rate <= share) {
                c->Source()->originCode = std::max(20, c->Source()->originCode - 1);
                TRef<TPeerObject> keep = connections_[i];
                connections_.erase(connections_.begin() + static_cast<ptrdiff_t>(i));
                Recycle(keep);
                dropped = true;
                break;
            }
        }
    } else {
        for (size_t i = connections_.size(); i-- > 0 && count > 0;) {
            if (!(connections_[i]->Kind() & kindMask))
                continue;
            TRef<TPeerObject> keep = connections_[i];
            connections_.erase(connections_.begin() + static_cast<ptrdiff_t>(i));
            Recycle(keep);
            --count;
            dropped = true;
        }
    }
    if (dropped)
        candidates_.Sort();
}

void TWorkWithPeers::ResetPeers(bool /*release*/, bool full) {
    // Connections hand their work back to the task; that must happen while the task's
    // piece state still exists.
    for (auto& c : connections_)
        c->Reset();
    connections_.clear();
    recycled_.clear();
    {
        QScopedLock guard(ObjectLock());
        maxSourceConnections_ = 49;
    }
    if (full) {
        try {
            candidates_.Clear();
        } catch (...) {
            LogLine(kLogSerious, "ClearPeerId Failed..");
        }
    }
    TActiveTorrents::Unregister(this);
}
