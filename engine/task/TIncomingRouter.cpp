#include "engine/task/TIncomingRouter.h"

#include "engine/core/EngineClock.h"
#include "engine/core/EngineLocks.h"
#include "engine/core/EngineSettings.h"
#include "engine/core/QScopedLock.h"
#include "engine/net/QHostResolver.h"
#include "engine/net/QNetworkState.h"
#include "engine/net/QSocket.h"
#include "engine/net/TIncomingUdp.h"
#include "engine/task/TActiveTorrents.h"
#include "engine/task/TIncomingHost.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

// Stands in while the UDP side is not part of the engine: nothing waits on it, and its
// absence is no reason to fail the upkeep.
class NoUdpParts final : public TIncomingUdp {
public:
    std::unique_ptr<QSocket> AcceptStream() override { return nullptr; }
    void EnsureStreamListener(uint32_t, uint16_t) override {}
    void CloseStreamListener() override {}
    void ReleaseStreams() override {}
    void SetServerAddress(uint32_t, uint16_t) override {}
    LanSocket EnsureLanSocket() override { return LanSocket::Absent; }
    void CloseLanSocket() override {}
};

// BRISKLANE_LISTEN_ADDRESS pins the listener to one IPv4 address (tests and demos keep
// it on loopback); otherwise it follows the host's local address.
TIncomingRouter::Environment DefaultEnvironment() {
    TIncomingRouter::Environment e;
    e.tickMs = [] { return EngineTickMs(); };
    in_addr pinned{};
    const char* text = std::getenv("BRISKLANE_LISTEN_ADDRESS");
    if (text && inet_pton(AF_INET, text, &pinned) == 1) {
        const uint32_t address = pinned.s_addr;
        e.anyAddress = address;
        e.localAddress = [address] { return address; };
    } else {
        e.localAddress = [] { return GetLocalAddress(); };
    }
    return e;
}

bool IsCompleteHandshake(const char* data, size_t length) {
    static const char kProtocol[] = "BitTorrent protocol";
    return length >= TIncomingRouter::kHandshakeBytes && static_cast<uint8_t>(data[0]) == 19 &&
           std::memcmp(data + 1, kProtocol, 19) == 0;
}

// A stamp taken from an earlier clock may lie ahead of the current one.
uint64_t Elapsed(uint64_t since, uint64_t now) {
    return now > since ? now - since : 0;
}

bool SameSlash24(uint32_t a, uint32_t b) {
    return (ntohl(a) & 0xFFFFFF00u) == (ntohl(b) & 0xFFFFFF00u);
}

} // namespace

TIncomingRouter& TIncomingRouter::Instance() {
    static TIncomingRouter* router = new TIncomingRouter;
    return *router;
}

TIncomingRouter::TIncomingRouter() : environment_(DefaultEnvironment()) {}

uint64_t TIncomingRouter::NowMs() const {
    return environment_.tickMs();
}

TIncomingUdp& TIncomingRouter::Udp() const {
    // Leaked like the router: the last task may end during static destruction.
    static NoUdpParts* none = new NoUdpParts;
    return udp_ ? *udp_ : *none;
}

TIncomingRouter::Environment TIncomingRouter::SetEnvironment(Environment environment) {
    QScopedLock guard(RegistryLock());
    const Environment defaults = DefaultEnvironment();
    if (!environment.tickMs)
        environment.tickMs = defaults.tickMs;
    if (!environment.localAddress)
        environment.localAddress = defaults.localAddress;
    std::swap(environment_, environment);
    return environment;
}

TIncomingUdp* TIncomingRouter::SetUdpParts(TIncomingUdp* parts) {
    QScopedLock guard(RegistryLock());
    std::swap(udp_, parts);
    return parts;
}

bool TIncomingRouter::Listening() const {
    QScopedLock guard(RegistryLock());
    return listener_ && listener_->IsListening();
}

uint32_t TIncomingRouter::ListenAddress() const {
    QScopedLock guard(RegistryLock());
    return listenAddress_;
}

uint16_t TIncomingRouter::ListenPort() const {
    QScopedLock guard(RegistryLock());
    return listenPort_;
}

size_t TIncomingRouter::PendingCount() const {
    QScopedLock guard(RegistryLock());
    return pending_.size();
}

void TIncomingRouter::RouteIncoming(TIncomingHost& task) {
    QScopedLock guard(RegistryLock());
    AcceptWaiting();
    WalkPending(task);
    if (pending_.size() > kMaxPending) {
        // The list is in order of arrival.
        pending_.erase(pending_.begin(), pending_.end() - static_cast<ptrdiff_t>(kMaxPending));
    }
    ListenerUpkeep();
}

void TIncomingRouter::AcceptWaiting() {
    for (int i = 0; i < kAcceptPerCall; ++i) {
        std::unique_ptr<QSocket> accepted;
        if (listener_) {
            accepted.reset(listener_->Accept());
            if (accepted)
                NoteReachability(*accepted);
        }
        if (!accepted)
            accepted = Udp().AcceptStream();
        if (!accepted)
            return;
        pending_.push_back({std::move(accepted), NowMs()});
    }
}

void TIncomingRouter::NoteReachability(const QSocket& accepted) {
    if (QNetworkState::DirectlyReachable())
        return;
    // A listener bound to every interface has no address of its own; the one the
    // connection arrived at stands for it.
    const uint32_t own = listenAddress_ ? listenAddress_ : accepted.LocalAddress();
    if (SameSlash24(accepted.RemoteAddress(), own))
        return;
    QNetworkState::SetDirectlyReachable(true);
    QNetworkState::SetUdpStreamsOff(true);
}

void TIncomingRouter::WalkPending(TIncomingHost& task) {
    const uint64_t now = NowMs();
    for (size_t i = 0; i < pending_.size();) {
        QSocket& s = *pending_[i].socket;
        if (s.ReceiveLength() < kReadBelow && s.Receive(kReadChunk) < 0) {
            pending_.erase(pending_.begin() + static_cast<ptrdiff_t>(i));
            continue;
        }
        const char* data = s.ReceiveData();
        const size_t length = s.ReceiveLength();
        if (task.MatchHandshake(reinterpret_cast<const uint8_t*>(data), length)) {
            std::unique_ptr<QSocket> offered = std::move(pending_[i].socket);
            pending_.erase(pending_.begin() + static_cast<ptrdiff_t>(i));
            // What the task leaves in offered is closed here.
            task.AcceptIncoming(offered);
            continue;
        }
        if (IsCompleteHandshake(data, length)) {
            InfoHash hash;
            std::memcpy(hash.data(), data + 28, hash.size());
            if (!TActiveTorrents::FindByHash(hash)) {
                pending_.erase(pending_.begin() + static_cast<ptrdiff_t>(i));
                continue;
            }
        }
        const uint64_t limit = length > kLongerAfterBytes ? kPendingLongerMs : kPendingMs;
        if (Elapsed(pending_[i].acceptedMs, now) >= limit) {
            pending_.erase(pending_.begin() + static_cast<ptrdiff_t>(i));
            continue;
        }
        ++i;
    }
}

bool TIncomingRouter::ListenerUpkeep() {
    QScopedLock guard(RegistryLock());
    if (!EngineSettings::P2PEnabled()) {
        if (listener_)
            CloseListener();
        return true;
    }
    const uint64_t now = NowMs();
    if (listener_ && Elapsed(lastAddressCheckMs_, now) > kAddressCheckMs) {
        const uint32_t local = environment_.localAddress();
        if (local != listenAddress_) {
            CloseListener();
            listenAddress_ = local;
        }
        lastAddressCheckMs_ = now;
    }
    if (!listener_ && !OpenListener())
        return false;
    if (listenPort_ >= 1)
        Udp().SetServerAddress(listenAddress_, listenPort_);
    if (!QNetworkState::UdpStreamsOff())
        Udp().EnsureStreamListener(listenAddress_, listenPort_);
    return Udp().EnsureLanSocket() != TIncomingUdp::LanSocket::Failed;
}

bool TIncomingRouter::OpenListener() {
    const int setting = EngineSettings::ListenPort();
    const uint16_t port = setting > 0 && setting <= 65535 ? static_cast<uint16_t>(setting) : kDefaultPort;
    auto socket = std::make_unique<QSocket>();
    if (!socket->Listen(listenAddress_ ? listenAddress_ : environment_.anyAddress, port)) {
        // An address that went away would otherwise be retried for as long as the
        // engine runs; the next attempt takes any address.
        listenAddress_ = 0;
        return false;
    }
    listener_ = std::move(socket);
    listenAddress_ = listener_->LocalAddress();
    listenPort_ = listener_->LocalPort();
    lastAddressCheckMs_ = NowMs();
    // The stream listener follows the TCP port; it opens again on the new one.
    Udp().CloseStreamListener();
    return true;
}

void TIncomingRouter::CloseListener() {
    QScopedLock guard(RegistryLock());
    listener_.reset();
    Udp().CloseStreamListener();
    if (QNetworkState::UdpStreamsOff())
        Udp().ReleaseStreams();
    listenAddress_ = 0;
    listenPort_ = 0;
    pending_.clear();
    Udp().CloseLanSocket();
}
