#include "engine/net/QSocket.h"

#include "engine/core/EngineClock.h"
#include "engine/core/EngineLog.h"
#include "engine/net/QHostResolver.h"
#include "engine/net/QTcpTransport.h"
#include "platform/Clock.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <new>

namespace {

constexpr size_t kReceiveSlack = 2048;
constexpr size_t kHandshakeChunk = 4096;
constexpr uint32_t kBlockingRetryMs = 5;

// A request as one log line.
std::string OneLine(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\r')
            continue;
        out.push_back(c == '\n' ? ' ' : c);
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

int Clamp(size_t n) {
    return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

} // namespace

QSocket::QSocket() = default;

QSocket::~QSocket() {
    Close();
}

// ---- handle ----

bool QSocket::OpenTransport(uint32_t localAddress, const uint8_t* udpKey) {
    if (udpKey) {
        transport_ = QTransport::MakeStream(udpKey);
        if (!transport_) {
            lastError_ = EAFNOSUPPORT;
            return false;
        }
        return true;
    }
    transport_ = std::make_unique<QTcpTransport>();
    if (transport_->Open(localAddress))
        return true;
    lastError_ = transport_->LastError();
    return false;
}

void QSocket::CloseHandle() {
    if (transport_)
        transport_->Close();
    connected_ = false;
    listening_ = false;
}

bool QSocket::Broken(int error) {
    lastError_ = error;
    CloseHandle();
    return false;
}

int QSocket::BrokenCount(int error) {
    Broken(error);
    return -1;
}

void QSocket::Close() {
    CloseHandle();
    transport_.reset();
    send_.Free();
    recv_.Free();
    proxy_ = QProxyInfo{};
    handshake_ = QProxyHandshake{};
    negotiated_ = true;
    remoteText_.clear();
    remoteAddress_ = localAddress_ = 0;
    remotePort_ = localPort_ = 0;
    blocking_ = false;
    stepStartMs_ = 0;
}

void QSocket::Touch() {
    lastActivity_ = EngineWallClock();
}

void QSocket::StartStep() {
    stepStartMs_ = EngineTickMs();
}

bool QSocket::CheckConnected() {
    if (!IsOpen())
        return false;
    if (connected_)
        return true;
    const int state = transport_->PollConnected();
    if (state == 0)
        return false;
    if (state < 0)
        return Broken(transport_->LastError());
    connected_ = true;
    transport_->LocalEndpoint(localAddress_, localPort_);
    Touch();
    return true;
}

long QSocket::WriteSome(const char* data, size_t length) {
    if (length == 0)
        return 0;
    const long n = transport_->Write(data, length);
    if (n < 0) {
        Broken(transport_->LastError());
        return -1;
    }
    bytesSent_ += static_cast<uint64_t>(n);
    if (n > 0)
        Touch();
    return n;
}

long QSocket::ReadSome(size_t maxBytes, bool& ended) {
    ended = false;
    if (recv_.Length() >= kMaxBuffered) {
        Broken(ENOBUFS);
        return -1;
    }
    if (maxBytes > kMaxBuffered - recv_.Length())
        maxBytes = kMaxBuffered - recv_.Length();
    if (!recv_.Reserve(maxBytes, kReceiveSlack)) {
        Broken(ENOMEM);
        return -1;
    }
    size_t got = 0;
    while (got < maxBytes && !ended) {
        const long n = transport_->Read(recv_.Tail(), maxBytes - got, ended);
        if (n <= 0)
            break;
        recv_.Commit(static_cast<size_t>(n));
        got += static_cast<size_t>(n);
    }
    if (ended && transport_->LastError() != 0)
        lastError_ = transport_->LastError();
    bytesReceived_ += got;
    if (got > 0)
        Touch();
    return static_cast<long>(got);
}

int QSocket::FlushQueue(size_t maxBytes) {
    size_t written = 0;
    while (written < send_.Length() && written < maxBytes) {
        size_t chunk = send_.Length() - written;
        if (chunk > maxBytes - written)
            chunk = maxBytes - written;
        const long n = WriteSome(send_.Data() + written, chunk);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        written += static_cast<size_t>(n);
    }
    send_.Drop(written, keepBuffer_);
    return Clamp(written);
}

// ---- proxy negotiation ----

bool QSocket::Negotiate() {
    if (NegotiateStep())
        return true;
    // Whatever the proxy said before failing is not the caller's data.
    if (!negotiated_)
        recv_.Free();
    return false;
}

bool QSocket::NegotiateStep() {
    if (negotiated_)
        return true;
    if (!IsOpen())
        return false;
    const uint64_t limit = static_cast<uint64_t>(proxy_.StepTimeoutMs());
    if (!connected_) {
        if (!CheckConnected()) {
            if (!IsOpen())
                return false;
            if (EngineTickMs() - stepStartMs_ > limit)
                return Broken(ETIMEDOUT);
            return true;
        }
        StartStep();
    }
    // A SOCKS5 exchange with a password has three request and reply pairs; whatever
    // has arrived is worked through in one call.
    for (int round = 0; round < 4; ++round) {
        while (!handshake_.Pending().empty()) {
            const std::string& out = handshake_.Pending();
            const long n = WriteSome(out.data(), out.size());
            if (n < 0)
                return false;
            if (n == 0)
                break;
            handshake_.Written(static_cast<size_t>(n));
            if (handshake_.Pending().empty())
                StartStep(); // the proxy's time to answer starts now
        }
        bool ended = false;
        const long got = ReadSome(kHandshakeChunk, ended);
        if (got < 0)
            return false;
        size_t consumed = 0;
        const QProxyHandshake::Result r = handshake_.Examine(recv_.Data(), recv_.Length(), consumed);
        if (r == QProxyHandshake::kFailed) {
            LogFormat(kLogConnection, "%sProxy refused the connection to %s:%u", ThreadPrefix().c_str(),
                      remoteText_.c_str(), remotePort_);
            return Broken(ECONNREFUSED);
        }
        recv_.Drop(consumed, keepBuffer_);
        if (r == QProxyHandshake::kDone) {
            negotiated_ = true;
            if (ended)
                CloseHandle();
            else if (!send_.Empty() && FlushQueue(SIZE_MAX) < 0)
                return false;
            return true;
        }
        if (ended)
            return Broken(lastError_ ? lastError_ : ECONNRESET);
        if (got == 0 && handshake_.Pending().empty())
            break;
    }
    if (EngineTickMs() - stepStartMs_ > limit)
        return Broken(ETIMEDOUT);
    return true;
}

bool QSocket::NegotiateBlocking() {
    while (Negotiate()) {
        if (negotiated_)
            return true;
        const uint64_t limit = static_cast<uint64_t>(proxy_.StepTimeoutMs());
        const uint64_t spent = EngineTickMs() - stepStartMs_;
        const int wait = spent >= limit ? 1 : static_cast<int>(limit - spent) + 1;
        const bool forWrite = !connected_ || !handshake_.Pending().empty();
        if (transport_->Wait(forWrite, wait) < 0)
            return Broken(transport_->LastError());
    }
    return false;
}

// ---- public operations ----

bool QSocket::Connect(uint32_t address, uint16_t port, const QProxyInfo* proxy, const char* host,
                      const uint8_t* udpKey, uint32_t localAddress, bool blocking) {
    Close();
    lastError_ = 0;
    const std::string prefix = ThreadPrefix();
    const std::string name = host ? host : "";
    const QProxyInfo settings = proxy ? *proxy : QProxyInfo::Global();
    // A UDP stream reaches its peer through the UDP server, never through a proxy.
    const bool viaProxy = !udpKey && settings.IsConfigured() && !settings.Bypasses(name, address);
    const bool byName = viaProxy && !name.empty() && settings.SendsNames();
    if (port == 0 || (!byName && (address == 0 || address == kAddressNone))) {
        lastError_ = EINVAL;
        LogFormat(kLogConnection, "%sInvalid address: %s:%u", prefix.c_str(),
                  name.empty() ? DottedText(address).c_str() : name.c_str(), port);
        return false;
    }

    blocking_ = blocking;
    remoteAddress_ = address;
    remotePort_ = port;
    remoteText_ = byName ? name : DottedText(address);
    if (viaProxy) {
        proxy_ = settings;
        if (!handshake_.Begin(proxy_, address, port, byName ? name : std::string())) {
            lastError_ = EINVAL;
            LogFormat(kLogConnection, "%sNo proxy request can be made for %s:%u", prefix.c_str(),
                      remoteText_.c_str(), port);
            Close();
            return false;
        }
        negotiated_ = handshake_.Finished();
        if (!handshake_.LoggedRequest().empty())
            LogFormat(kLogRequest, "%sProxy request: %s", prefix.c_str(),
                      OneLine(handshake_.LoggedRequest()).c_str());
        proxy_.targetLine.clear();
    }

    if (!OpenTransport(localAddress, udpKey)) {
        if (udpKey)
            LogFormat(kLogConnection, "%sUDP stream to %s:%u is not available", prefix.c_str(),
                      DottedText(address).c_str(), port);
        return false;
    }
    connectTime_ = EngineWallClock();
    lastActivity_ = connectTime_;
    StartStep();
    const bool started = viaProxy ? transport_->StartConnect(proxy_.address, proxy_.port)
                                  : transport_->StartConnect(address, port);
    if (!started)
        return Broken(transport_->LastError());
    if (blocking_) {
        while (!CheckConnected()) {
            if (!IsOpen())
                return false;
            if (transport_->Wait(true, -1) < 0)
                return Broken(transport_->LastError());
        }
    } else {
        CheckConnected();
    }
    if (!negotiated_ && !(blocking_ ? NegotiateBlocking() : Negotiate()))
        return false;
    return IsOpen();
}

bool QSocket::ConnectToHost(const char* host, uint16_t port, const QProxyInfo* proxy, bool blocking) {
    if (!host || !*host) {
        Close();
        lastError_ = EINVAL;
        LogFormat(kLogConnection, "%sInvalid Host: (empty)", ThreadPrefix().c_str());
        return false;
    }
    const QProxyInfo settings = proxy ? *proxy : QProxyInfo::Global();
    const std::string name(host);
    const bool dotted = name.find_first_not_of("0123456789.") == std::string::npos;
    if (!dotted && settings.IsConfigured() && settings.SendsNames() && !settings.Bypasses(name, 0))
        return Connect(0, port, &settings, host, nullptr, 0, blocking);
    std::vector<uint32_t> addresses;
    if (ResolveHostList(host, addresses) <= 0) {
        Close();
        lastError_ = EHOSTUNREACH;
        return false;
    }
    return Connect(addresses.front(), port, &settings, dotted ? nullptr : host, nullptr, 0, blocking);
}

bool QSocket::Listen(uint32_t address, uint16_t port, const uint8_t* udpKey, int backlog) {
    Close();
    lastError_ = 0;
    if (!OpenTransport(0, udpKey)) {
        if (udpKey)
            LogFormat(kLogConnection, "%sUDP stream listener on port %u is not available",
                      ThreadPrefix().c_str(), port);
        return false;
    }
    if (!transport_->Listen(address, port, backlog > 0 ? backlog : kListenBacklog))
        return Broken(transport_->LastError());
    listening_ = true;
    transport_->LocalEndpoint(localAddress_, localPort_);
    connectTime_ = lastActivity_ = EngineWallClock();
    return true;
}

QSocket* QSocket::Accept() {
    if (!IsListening())
        return nullptr;
    uint32_t address = 0;
    uint16_t port = 0;
    std::unique_ptr<QTransport> transport = transport_->Accept(address, port);
    if (!transport) {
        if (transport_->LastError() != 0)
            lastError_ = transport_->LastError();
        return nullptr;
    }
    QSocket* accepted = new (std::nothrow) QSocket;
    if (!accepted)
        return nullptr;
    accepted->transport_ = std::move(transport);
    accepted->connected_ = true;
    accepted->remoteAddress_ = address;
    accepted->remotePort_ = port;
    accepted->remoteText_ = DottedText(address);
    accepted->transport_->LocalEndpoint(accepted->localAddress_, accepted->localPort_);
    accepted->connectTime_ = accepted->lastActivity_ = EngineWallClock();
    return accepted;
}

int QSocket::Send(const void* data, int length) {
    if (length < 0 || (length > 0 && !data) || !IsOpen() || listening_)
        return -1;
    if (length == 0)
        return 0;
    const char* bytes = static_cast<const char*>(data);
    const size_t n = static_cast<size_t>(length);
    if (!negotiated_ || (!connected_ && !CheckConnected())) {
        if (!IsOpen())
            return -1;
        if (!send_.Append(bytes, n))
            return BrokenCount(ENOBUFS);
        if (!negotiated_ && !Negotiate())
            return -1;
        return length;
    }
    if (!send_.Empty()) {
        if (!send_.Append(bytes, n))
            return BrokenCount(ENOBUFS);
        if (FlushQueue(SIZE_MAX) < 0)
            return -1;
    } else {
        const long written = WriteSome(bytes, n);
        if (written < 0)
            return -1;
        if (static_cast<size_t>(written) < n &&
            !send_.Append(bytes + written, n - static_cast<size_t>(written)))
            return BrokenCount(ENOBUFS);
    }
    if (blocking_ && Flush(-1) < 0)
        return -1;
    return length;
}

int QSocket::Flush(int maxBytes) {
    if (!IsOpen() || listening_)
        return -1;
    if (!negotiated_)
        return Negotiate() ? 0 : -1;
    if (!connected_ && !CheckConnected())
        return IsOpen() ? 0 : -1;
    const size_t limit = maxBytes < 0 ? SIZE_MAX : static_cast<size_t>(maxBytes);
    if (!blocking_)
        return FlushQueue(limit);
    size_t total = 0;
    while (!send_.Empty() && total < limit) {
        if (transport_->Wait(true, -1) < 0)
            return BrokenCount(transport_->LastError());
        const int n = FlushQueue(limit - total);
        if (n < 0)
            return -1;
        total += static_cast<size_t>(n);
        if (!send_.Empty() && total < limit)
            platform::SleepMs(kBlockingRetryMs);
    }
    return Clamp(total);
}

int QSocket::Receive(int maxBytes) {
    if (listening_)
        return -1;
    if (maxBytes <= 0)
        maxBytes = kDefaultReceiveChunk;
    size_t already = 0;
    if (!negotiated_) {
        if (!IsOpen() || !Negotiate())
            return -1;
        if (!negotiated_)
            return 0;
        already = recv_.Length(); // tunnel data that came right behind the proxy's reply
    }
    if (!IsOpen())
        return already > 0 ? Clamp(already) : -1;
    if (!connected_ && !CheckConnected())
        return IsOpen() ? 0 : -1;
    if (blocking_ && already == 0 && transport_->Wait(false, -1) < 0)
        return BrokenCount(transport_->LastError());
    bool ended = false;
    const long got = ReadSome(static_cast<size_t>(maxBytes), ended);
    if (got < 0)
        return -1;
    if (ended)
        CloseHandle();
    const size_t total = already + static_cast<size_t>(got);
    if (total > 0)
        return Clamp(total);
    return ended ? -1 : 0;
}

void QSocket::Consume(int bytes) {
    if (bytes > 0)
        recv_.Drop(static_cast<size_t>(bytes), keepBuffer_);
}

bool QSocket::SetReceiveBufferSize(int bytes) {
    return IsOpen() && transport_->SetReceiveBufferSize(bytes);
}

bool QSocket::IsConnected() {
    if (!IsOpen() || listening_)
        return false;
    if (!negotiated_) {
        if (!Negotiate())
            return false;
    } else if (!connected_) {
        CheckConnected();
    }
    return IsOpen() && connected_;
}

int QSocket::WaitReadable(int milliseconds) {
    if (!IsOpen())
        return -1;
    return transport_->Wait(false, milliseconds);
}

int QSocket::WaitWritable(int milliseconds) {
    if (!IsOpen() || listening_)
        return -1;
    return transport_->Wait(true, milliseconds);
}
