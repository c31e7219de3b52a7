#pragma once
#include "engine/task/TBaseWork.h"

// The task layer that turns sources into candidates and keeps the connections.
class TWorkWithPeers : public TBaseWork {
public:
    TWorkWithPeers();
    ~TWorkWithPeers() override;

    void SetPeerLimits(int maxSourceConnections, int maxPeerConnections);
    int MaxSourceConnections();
    int MaxPeerConnections();

    // Connections that completed their handshake and may deliver data.
    virtual int ConnectedPeerCount() const { return 0; }

protected:
    enum class FeedResult { Added, InvalidHost, NotUsable };

    // Turns every unused source entry (newest first) into a candidate.
    void FeedSources();
    // Drops duplicate and unusable candidates.
    virtual void RefreshPeers() {}
    // One pass over the task's connections.
    virtual void ServiceConnections() {}
    // Makes a candidate of one source URL. Sources become candidates once a source
    // kind can parse them; until then an entry stays unused.
    virtual FeedResult FeedSource(const std::string& /*url*/, bool /*torrentSource*/) {
        return FeedResult::NotUsable;
    }
    void ResetPeers(bool release, bool full);

private:
    int maxSourceConnections_ = 0;
    int maxPeerConnections_ = 0;
};
