#pragma once
#include "engine/core/TPeerKind.h"
#include "engine/core/TRefObject.h"
#include "engine/task/TBaseWork.h"
#include "engine/task/TCandidates.h"
#include "engine/task/TIncomingHost.h"

#include <cstdint>
#include <memory>
#include <vector>

class TPeerObject;
class TPeerTask;

// The task layer that turns sources into candidates and keeps the connections:
// admitting and ordering candidates, opening connections within the limits and the
// half-open budget, servicing them every tick, and dropping or recycling them.
// Everything here runs on the task thread, except SetPeerLimits.
class TWorkWithPeers : public TBaseWork, public TIncomingHost {
public:
    // How often the task takes its turn at the engine's incoming connections.
    static constexpr uint64_t kRouteIncomingMs = 400;

    TWorkWithPeers();
    ~TWorkWithPeers() override;

    void SetPeerLimits(int maxSourceConnections, int maxPeerConnections);
    int MaxSourceConnections();
    int MaxPeerConnections();

    // Connections that completed their handshake and may deliver data.
    int ConnectedPeerCount() const;
    size_t ConnectionCount() const { return connections_.size(); }
    const TCandidates& Candidates() const { return candidates_; }

    // Admits a source identity; true when it is known now.
    bool AddCandidate(const TPeerId& id, bool refreshPeerId, bool keepPeerId);
    bool SourceFailedImpl(TPeerId* source, bool retry, int backoffSeconds);
    void ConnectionEnded(TPeerId* source, TPeerObject* connection, int penalty);
    void DropConnections(int kindMask, int count, bool gentle);

    // TIncomingHost. Incoming connections carry BitTorrent handshakes, and this task
    // has no BitTorrent connection to give one to yet, so every offer is refused.
    bool AcceptIncoming(std::unique_ptr<QSocket>& /*connection*/) override { return false; }

protected:
    enum class FeedResult { Added, InvalidHost, NotUsable };

    // Turns every unused source entry (newest first) into a candidate.
    void FeedSources();
    // Drops duplicate and unusable candidates.
    virtual void RefreshPeers();
    // One pass over the task's connections.
    void ServiceConnections();
    // Rates, shedding and bad sources; every 4 seconds unless forced.
    void PeerReview(bool force);
    // The source and peer passes, at most once per wall-clock second.
    void ConnectionPasses();
    void ConnectMirrors(int room, bool connectNow);
    virtual FeedResult FeedSource(const std::string& url, bool torrentSource);
    void ResetPeers(bool release, bool full);

    // What the upper layers know.
    virtual TPeerTask* PeerTask() = 0;
    virtual bool HasAllPiecesNow() { return false; }
    virtual bool HasLayout() { return false; }
    virtual int32_t CurrentDownloadRate() { return 0; }
    // The once-a-second rate step; true when it ran.
    virtual bool RateStepDue() { return false; }
    virtual uint64_t CachedNow();
    // Every how many ticks all connections are serviced (fast ones every tick).
    virtual uint32_t TickModulus() const { return 6; }

    int maxConnections_ = 52;
    int64_t peerDownloadRate_ = 0;
    int64_t peerUploadRate_ = 0;
    // Set when the first answer gave the size: the other connections open at once
    // instead of at the next second.
    bool passesNow_ = false;

private:
    TRef<TPeerObject> ObtainPeer(TPeerKind kind);
    void Recycle(TRef<TPeerObject> connection);
    void RemoveConnection(size_t index);
    void SourcePass();
    bool OpenConnections(TPeerId* candidate, int& room);
    int HalfOpenBudget() const;
    int OpenOfKind(int kindMask) const;
    TCandidates::Self SelfIdentity() const;

    TCandidates candidates_;
    std::vector<TRef<TPeerObject>> connections_;
    std::vector<TRef<TPeerObject>> recycled_;
    int maxSourceConnections_ = 49;
    int maxPeerConnections_ = 0;
    int nextConnectionId_ = 0;
    int idlePasses_ = 0;
    uint64_t lastPasses_ = 0;
    uint64_t lastReview_ = 0;
    uint32_t tickCounter_ = 0;
    uint64_t lastRouteMs_ = 0;
    uint32_t mirrorSeed_ = 0;
};
