#include "engine/task/TWorkWithPeers.h"

#include "engine/core/QScopedLock.h"
#include "engine/task/TActiveTorrents.h"

TWorkWithPeers::TWorkWithPeers() = default;

TWorkWithPeers::~TWorkWithPeers() {
    Stop();
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
            break;
        case FeedResult::InvalidHost:
            badHost = true;
            break;
        case FeedResult::NotUsable:
            break;
        }
    }
    if (badHost) {
        live_.stateCode = kStateBadHost;
        PublishStatus(true, true);
    }
}

void TWorkWithPeers::ResetPeers(bool /*release*/, bool /*full*/) { TActiveTorrents::Unregister(this); }
