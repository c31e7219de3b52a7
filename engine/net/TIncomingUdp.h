#pragma once
#include <cstdint>
#include <memory>

class QSocket;

// The UDP side of the engine's listener: the UDP-stream listener, the UDP server's idea
// of its own address and the local-network multicast socket. The router works without
// them; whoever provides them installs an implementation (TIncomingRouter::SetUdpParts).
// Called with the registry lock held.
class TIncomingUdp {
public:
    enum class LanSocket { Open, Failed, Absent };

    virtual ~TIncomingUdp() = default;

    // A connection waiting on the UDP-stream listener, or null.
    virtual std::unique_ptr<QSocket> AcceptStream() = 0;
    // Opens the stream listener on address:port unless it is open already.
    virtual void EnsureStreamListener(uint32_t address, uint16_t port) = 0;
    virtual void CloseStreamListener() = 0;
    // Drops every UDP stream and the external address the rendezvous server reported.
    virtual void ReleaseStreams() = 0;
    // Where the TCP listener is, for the UDP server's own announcements.
    virtual void SetServerAddress(uint32_t address, uint16_t port) = 0;
    // Opens the multicast socket unless it is open; Absent when this build has none.
    virtual LanSocket EnsureLanSocket() = 0;
    virtual void CloseLanSocket() = 0;
};
