#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QSocket;
class TIncomingHost;
class TIncomingUdp;

// The engine's one TCP listener and the connections it accepted that no task has taken
// yet. Every running task calls RouteIncoming with itself a few times a second; the
// connection that carries its handshake goes to it, a handshake for a torrent no task
// runs is closed at once, and anything else is given a few seconds to say who it is
// for. Process-wide; every operation holds the registry lock for its whole duration.
class TIncomingRouter {
public:
    // Where time and addresses come from; tests replace them.
    struct Environment {
        // Milliseconds, monotonic.
        std::function<uint64_t()> tickMs;
        // The host's current local address (network byte order).
        std::function<uint32_t()> localAddress;
        // What "any local address" binds to; 0 binds every interface.
        uint32_t anyAddress = 0;
    };

    static constexpr int kAcceptPerCall = 11;
    static constexpr size_t kMaxPending = 32;
    // A connection that sent this much is not read any further while it waits.
    static constexpr size_t kReadBelow = 1092;
    static constexpr int kReadChunk = 1024;
    static constexpr uint64_t kPendingMs = 3000;
    // ... or this long once it sent more than kLongerAfterBytes.
    static constexpr uint64_t kPendingLongerMs = 5000;
    static constexpr size_t kLongerAfterBytes = 67;
    static constexpr size_t kHandshakeBytes = 48;
    static constexpr uint64_t kAddressCheckMs = 180000;
    static constexpr uint16_t kDefaultPort = 8080;

    static TIncomingRouter& Instance();

    // Accepts what waits, hands task the connection meant for it, expires the rest, and
    // keeps the listener up (ListenerUpkeep).
    void RouteIncoming(TIncomingHost& task);
    // Opens, re-opens or closes the listener as the peer-to-peer switch, the listen port
    // and the host's address require. False when the listener (or the local-network
    // socket) could not be opened; the next call tries again.
    bool ListenerUpkeep();
    // Closes the listener, its UDP companions and every pending connection.
    void CloseListener();

    // Each returns the previous value. A null UDP part means none is available.
    Environment SetEnvironment(Environment environment);
    TIncomingUdp* SetUdpParts(TIncomingUdp* parts);

    bool Listening() const;
    uint32_t ListenAddress() const;
    uint16_t ListenPort() const;
    size_t PendingCount() const;

private:
    struct Pending {
        std::unique_ptr<QSocket> socket;
        uint64_t acceptedMs = 0;
    };

    // Lives until the process ends: task threads may still route while it exits.
    TIncomingRouter();
    ~TIncomingRouter() = default;

    uint64_t NowMs() const;
    TIncomingUdp& Udp() const;
    void AcceptWaiting();
    void NoteReachability(const QSocket& accepted);
    void WalkPending(TIncomingHost& task);
    bool OpenListener();

    Environment environment_;
    TIncomingUdp* udp_ = nullptr;
    std::unique_ptr<QSocket> listener_;
    std::vector<Pending> pending_;
    // The address the listener binds to (0: any) and the port it got.
    uint32_t listenAddress_ = 0;
    uint16_t listenPort_ = 0;
    uint64_t lastAddressCheckMs_ = 0;
};
