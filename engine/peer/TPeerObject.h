#pragma once
#include "engine/core/TPeerKind.h"
#include "engine/core/TRefObject.h"
#include "engine/net/QSocket.h"
#include "engine/peer/TBlockRequest.h"
#include "engine/peer/TPeerStats.h"
#include "engine/peer/TPeerTraffic.h"
#include "engine/peer/TVirtualPeer.h"
#include "engine/piece/TPeerId.h"

#include <cstdint>
#include <deque>
#include <memory>

class TPeerTask;

// One connection of a task to a remote party: a BitTorrent peer, an HTTP or FTP source,
// or a tracker. The task calls its virtual operations from its own thread, once per
// scheduling pass; the subclasses speak the protocols. What every connection has lives
// here: its source and socket, the queue of blocks asked for, the delivery of blocks
// into the piece map and the traffic bookkeeping of each tick. Servers that stream a
// file work through piece ranges (TRangePeer).
//
// The task must outlive its connections: a connection hands its work back to the task
// when it is reset or destroyed.
class TPeerObject : public TVirtualPeer, public TRefObject {
public:
    // Link states.
    static constexpr int kLinkNone = 0;
    static constexpr int kLinkConnecting = 1; // connecting or handshaking
    static constexpr int kLinkEstablished = 2;
    // Peer states. The task treats a connection it drops in kPeerTimedOut or
    // kPeerFinished as an ordinary end, any other drop as a failure of the source.
    static constexpr int kPeerIdle = 0;
    static constexpr int kPeerMayDownload = 1;
    static constexpr int kPeerChoked = 2;
    static constexpr int kPeerTimedOut = 5;
    static constexpr int kPeerFinished = 6; // nothing left to do, or replaced after a redirect

    TPeerObject(TPeerKind kind, TPeerTask* task);
    ~TPeerObject() override;

    // TVirtualPeer
    bool DoWrite() override { return true; }
    bool DoRequest() override { return true; }
    bool DoUpload() override { return true; }
    // Hands queued work back, closes the socket, lets go of the source.
    void Reset() override;

    // One download step: DoRead, DoRequest, SendRequests, DoWrite, then IsConnected;
    // false when any of them fails.
    virtual bool OnDownloadTick();
    // One upload step; a connection that serves others runs DoUpload here (UploadStep).
    virtual bool OnUploadTick() { return true; }
    virtual bool SendRequests() { return true; }
    // Adopts the source and prepares a socket; the subclass then opens the connection.
    // Refuses null, the current source, and a source without an address and port.
    virtual bool ConnectTo(TPeerId* source);
    // Adopts an accepted socket (owned from now on) as an incoming connection.
    virtual bool AttachSocket(QSocket* socket);
    virtual bool OnAttached() { return true; }
    virtual bool CheckIncoming(QSocket* /*socket*/) { return true; }
    virtual bool IsUseless() { return false; }
    // Whether the task may shed this connection: not connected, useless, starved (unless
    // idle connections are to be kept) or a seed once the task has everything.
    virtual bool ShouldClose(bool keepIdle);
    virtual bool IsTimedOut() { return false; }
    // The statistics record for selector 0, else null.
    virtual const TPeerStats* GetInfo(int what) const;
    // A link exists (connecting or established) and there is a socket.
    virtual bool IsConnected() const;
    virtual int GetRemoteRate() const { return 0; }
    virtual bool IsStarved() { return false; }
    virtual bool IsSeedLongEnough() { return false; }
    virtual bool IsSeed() { return true; }
    // Pieces the remote side has (BitTorrent); the ordering rule compares peers by it.
    virtual int RemotePieceCount() const { return 0; }
    // The task drops this connection for its source's bad pieces: whatever piece range
    // it works on keeps its holes for others.
    virtual void AbandonRange() {}

    // Delivers a complete block that the protocol received. False when the block was not
    // asked for, when it completed a piece that failed its check, or when the connection
    // is gone; a block that is simply no longer needed is accepted.
    bool OnBlockReceived(uint32_t block, int32_t length, const uint8_t* data);
    bool HasRequestInPiece(int piece) const;
    // The task has every piece and nothing is queued: the connection is finished (peer
    // state kPeerFinished).
    bool NothingLeft();

    // The task's rate sample: rates from the window sums over windowSeconds, windows
    // cleared, the connection ranked.
    void SampleRates(int windowSeconds);

    // The ordering of the task's connection list (the task drops from the end): negative
    // when a sorts before b. Nulls last, established connections first; then, while the
    // task downloads, the faster receivers first; once it has everything, the better
    // uploaders first.
    static int Compare(const TPeerObject* a, const TPeerObject* b);
    static bool SortsBefore(const TPeerObject* a, const TPeerObject* b) { return Compare(a, b) < 0; }

    int LinkState() const { return linkState_; }
    int PeerState() const { return peerState_; }
    TPeerKind Kind() const { return kind_; }
    TPeerTask* Task() const { return task_; }
    TPeerId* Source() const { return source_.get(); }
    QSocket* Socket() const { return socket_.get(); }
    const TPeerStats& Stats() const { return stats_; }
    const TPeerTraffic& Traffic() const { return traffic_; }
    const std::deque<TBlockRequest>& Requests() const { return requests_; }
    // The number the task gave the connection when it opened it.
    int Serial() const { return serial_; }
    void SetSerial(int serial) { serial_ = serial; }

protected:
    // Hands the request queue to the task.
    void ReturnQueue();
    // Lets go of the source (no longer counted as open on it) but keeps a reference.
    TRef<TPeerId> DetachSource();
    // Payload bytes received so far, for the per-tick traffic figures; the FTP data
    // channel counts instead of the control channel.
    virtual uint64_t ReceiveCounter() const;
    // A block this connection asked for was accepted into the piece map.
    virtual void OnBlockAccepted() {}
    // How many of the queued requests a block that arrives may answer (from the front);
    // a peer that answers in order answers only those it was sent.
    virtual size_t AnswerableRequests() const { return requests_.size(); }
    // Runs one step of the protocol with the tick's traffic counted around it.
    bool CountedStep(bool (TPeerObject::*step)());
    bool DownloadStep();
    bool UploadStep() { return DoUpload(); }

    int linkState_ = kLinkNone;
    int peerState_ = kPeerIdle;
    const TPeerKind kind_;
    std::deque<TBlockRequest> requests_; // asked of the remote side, oldest first
    TPeerStats stats_;
    TPeerTraffic traffic_;
    TRef<TPeerId> source_;
    std::unique_ptr<QSocket> socket_;
    TPeerTask* const task_;
    int serial_ = 0;

private:
    void AccountTick(uint64_t receivedBefore, uint64_t sentBefore);
    void DropRequestsInPiece(int piece);
};
