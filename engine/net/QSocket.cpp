#include "engine/net/QSocket.h"

#include "engine/core/EngineLog.h"
#include "engine/core/QTimeThread.h"
#include "engine/net/QHostResolver.h"
#include "platform/Clock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr size_t kSendSlack = 1024;
constexpr size_t kReceiveSlack = 2048;
constexpr size_t kShrinkMinCapacity = 4097;
constexpr size_t kShrinkRatio = 6;
constexpr size_t kShrinkSlack = 1024;
constexpr size_t kLargeFree = 2101248;
constexpr size_t kLargeRemaining = 21012479;
constexpr size_t kHandshakeChunk = 4096;
constexpr uint32_t kBlockingRetryMs = 5;

bool WouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    sa.sin_port = htons(port);
    return sa;
}

// revents, 0 on time-out, -1 on failure. A negative limit waits without end.
int PollOne(int fd, short events, int milliseconds) {
    pollfd p{fd, events, 0};
    const uint64_t start = platform::TickCount64();
    for (;;) {
        int wait = milliseconds;
        if (milliseconds > 0) {
            const uint64_t spent = platform::TickCount64() - start;
            wait = spent >= static_cast<uint64_t>(milliseconds) ? 0 : milliseconds - static_cast<int>(spent);
        }
        const int rc = poll(&p, 1, wait);
        if (rc > 0)
            return p.revents;
        if (rc == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

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

} // namespace

QSocket::QSocket() = default;

QSocket::~QSocket() {
    Close();
}

// ---- buffers ----

bool QSocket::Grow(Buffer& buffer, size_t needed, size_t slack) {
    if (needed <= buffer.capacity)
        return true;
    if (needed > kMaxBuffered + 1)
        return false;
    size_t capacity = needed + buffer.capacity + slack;
    const size_t ceiling = kMaxBuffered + 1 + slack;
    if (capacity > ceiling)
        capacity = ceiling;
    char* grown = static_cast<char*>(std::realloc(buffer.data, capacity));
    if (!grown)
        return false;
    buffer.data = grown;
    buffer.capacity = capacity;
    buffer.data[buffer.length] = '\0';
    return true;
}

bool QSocket::Append(Buffer& buffer, const char* data, size_t length) {
    if (length > kMaxBuffered || buffer.length > kMaxBuffered - length)
        return false;
    if (!Grow(buffer, buffer.length + length + 1, kSendSlack))
        return false;
    std::memcpy(buffer.data + buffer.length, data, length);
    buffer.length += length;
    buffer.data[buffer.length] = '\0';
    return true;
}

void QSocket::Drop(Buffer& buffer, size_t count, bool keep) {
    if (!buffer.data || count == 0)
        return;
    if (count > buffer.length)
        count = buffer.length;
    const size_t remaining = buffer.length - count;
    if (remaining == 0) {
        if (!keep) {
            Free(buffer);
            return;
        }
        buffer.length = 0;
        buffer.data[0] = '\0';
        return;
    }
    std::memmove(buffer.data, buffer.data + count, remaining);
    buffer.length = remaining;
    buffer.data[remaining] = '\0';
    if (keep)
        return;
    // Shrink only a buffer that is mostly empty, so that a steady stream does not
    // reallocate on every message.
    size_t target = 0;
    if (buffer.capacity >= kShrinkMinCapacity && buffer.capacity / kShrinkRatio >= remaining)
        target = remaining + kShrinkSlack;
    else if (buffer.capacity - remaining > kLargeFree && remaining <= kLargeRemaining)
        target = remaining + remaining / 10 > remaining + 1 ? remaining + remaining / 10 : remaining + 1;
    if (target == 0 || target >= buffer.capacity)
        return;
    if (char* shrunk = static_cast<char*>(std::realloc(buffer.data, target))) {
        buffer.data = shrunk;
        buffer.capacity = target;
    }
}

void QSocket::Free(Buffer& buffer) {
    std::free(buffer.data);
    buffer = Buffer{};
}

// ---- handle ----

bool QSocket::OpenTcp(uint32_t localAddress) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        lastError_ = errno;
        return false;
    }
    if (localAddress != 0) {
        const sockaddr_in local = MakeAddress(localAddress, 0);
        if (bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
            return Broken(errno);
    }
    return true;
}

void QSocket::CloseHandle() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
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
    Free(send_);
    Free(recv_);
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
    stepStartMs_ = platform::TickCount64();
}

bool QSocket::CheckConnected() {
    if (fd_ < 0)
        return false;
    if (connected_)
        return true;
    const int events = PollOne(fd_, POLLOUT, 0);
    if (events == 0)
        return false;
    if (events < 0)
        return Broken(errno);
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    if (error != 0)
        return Broken(error);
    if (!(events & POLLOUT))
        return Broken(ECONNRESET);
    connected_ = true;
    sockaddr_in local{};
    socklen_t size = sizeof local;
    if (getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &size) == 0) {
        localAddress_ = local.sin_addr.s_addr;
        localPort_ = ntohs(local.sin_port);
    }
    Touch();
    return true;
}

long QSocket::WriteSome(const char* data, size_t length) {
    if (length == 0)
        return 0;
    for (;;) {
        const ssize_t n = ::send(fd_, data, length, MSG_NOSIGNAL);
        if (n >= 0) {
            bytesSent_ += static_cast<uint64_t>(n);
            if (n > 0)
                Touch();
            return n;
        }
        if (errno == EINTR)
            continue;
        if (WouldBlock(errno))
            return 0;
        Broken(errno);
        return -1;
    }
}

long QSocket::ReadSome(size_t maxBytes, bool& ended) {
    ended = false;
    if (recv_.length >= kMaxBuffered) {
        Broken(ENOBUFS);
        return -1;
    }
    if (maxBytes > kMaxBuffered - recv_.length)
        maxBytes = kMaxBuffered - recv_.length;
    if (!Grow(recv_, recv_.length + maxBytes + 1, kReceiveSlack)) {
        Broken(ENOMEM);
        return -1;
    }
    size_t got = 0;
    while (got < maxBytes) {
        const ssize_t n = ::recv(fd_, recv_.data + recv_.length, maxBytes - got, 0);
        if (n > 0) {
            recv_.length += static_cast<size_t>(n);
            got += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) {
            ended = true;
            break;
        }
        if (errno == EINTR)
            continue;
        if (!WouldBlock(errno)) {
            // Whatever arrived before the error is still handed out.
            lastError_ = errno;
            ended = true;
        }
        break;
    }
    recv_.data[recv_.length] = '\0';
    bytesReceived_ += got;
    if (got > 0)
        Touch();
    return static_cast<long>(got);
}

int QSocket::FlushQueue(size_t maxBytes) {
    size_t written = 0;
    while (written < send_.length && written < maxBytes) {
        size_t chunk = send_.length - written;
        if (chunk > maxBytes - written)
            chunk = maxBytes - written;
        const long n = WriteSome(send_.data + written, chunk);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        written += static_cast<size_t>(n);
    }
    Drop(send_, written, keepBuffer_);
    return written > INT_MAX ? INT_MAX : static_cast<int>(written);
}

// ---- proxy negotiation ----

bool QSocket::Negotiate() {
    if (NegotiateStep())
        return true;
    // Whatever the proxy said before failing is not the caller's data.
    if (!negotiated_)
        Free(recv_);
    return false;
}

bool QSocket::NegotiateStep() {
    if (negotiated_)
        return true;
    if (fd_ < 0)
        return false;
    const uint64_t limit = static_cast<uint64_t>(proxy_.StepTimeoutMs());
    if (!connected_) {
        if (!CheckConnected()) {
            if (fd_ < 0)
                return false;
            if (platform::TickCount64() - stepStartMs_ > limit)
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
        const QProxyHandshake::Result r = handshake_.Examine(recv_.data, recv_.length, consumed);
        if (r == QProxyHandshake::kFailed) {
            LogFormat(kLogConnection, "%sProxy refused the connection to %s:%u", ThreadPrefix().c_str(),
                      remoteText_.c_str(), remotePort_);
            return Broken(ECONNREFUSED);
        }
        Drop(recv_, consumed, keepBuffer_);
        if (r == QProxyHandshake::kDone) {
            negotiated_ = true;
            if (ended)
                CloseHandle();
            else if (send_.length > 0 && FlushQueue(SIZE_MAX) < 0)
                return false;
            return true;
        }
        if (ended)
            return Broken(lastError_ ? lastError_ : ECONNRESET);
        if (got == 0 && handshake_.Pending().empty())
            break;
    }
    if (platform::TickCount64() - stepStartMs_ > limit)
        return Broken(ETIMEDOUT);
    return true;
}

bool QSocket::NegotiateBlocking() {
    while (Negotiate()) {
        if (negotiated_)
            return true;
        const uint64_t limit = static_cast<uint64_t>(proxy_.StepTimeoutMs());
        const uint64_t spent = platform::TickCount64() - stepStartMs_;
        const int wait = spent >= limit ? 1 : static_cast<int>(limit - spent) + 1;
        const short events = !connected_ || !handshake_.Pending().empty() ? POLLOUT : POLLIN;
        if (PollOne(fd_, events, wait) < 0)
            return Broken(errno);
    }
    return false;
}

// ---- public operations ----

bool QSocket::Connect(uint32_t address, uint16_t port, const QProxyInfo* proxy, const char* host,
                      const uint8_t* udpKey, uint32_t localAddress, bool blocking) {
    Close();
    lastError_ = 0;
    const std::string prefix = ThreadPrefix();
    if (udpKey) {
        // The UDP-stream transport is not part of this build.
        lastError_ = EAFNOSUPPORT;
        LogFormat(kLogConnection, "%sUDP stream to %s:%u is not available", prefix.c_str(),
                  DottedText(address).c_str(), port);
        return false;
    }
    const std::string name = host ? host : "";
    const QProxyInfo settings = proxy ? *proxy : QProxyInfo::Global();
    const bool viaProxy = settings.IsConfigured() && !settings.Bypasses(name, address);
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

    if (!OpenTcp(localAddress))
        return false;
    const sockaddr_in to = viaProxy ? MakeAddress(proxy_.address, proxy_.port) : MakeAddress(address, port);
    connectTime_ = EngineWallClock();
    lastActivity_ = connectTime_;
    StartStep();
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS &&
        errno != EINTR)
        return Broken(errno);
    if (blocking_) {
        while (!CheckConnected()) {
            if (fd_ < 0 || PollOne(fd_, POLLOUT, -1) < 0)
                return fd_ >= 0 ? Broken(errno) : false;
        }
    } else {
        CheckConnected();
    }
    if (!negotiated_ && !(blocking_ ? NegotiateBlocking() : Negotiate()))
        return false;
    return fd_ >= 0;
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
    if (udpKey) {
        lastError_ = EAFNOSUPPORT;
        LogFormat(kLogConnection, "%sUDP stream listener on port %u is not available", ThreadPrefix().c_str(),
                  port);
        return false;
    }
    if (!OpenTcp(0))
        return false;
    const int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in local = MakeAddress(address, port);
    if (bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        return Broken(errno);
    if (::listen(fd_, backlog > 0 ? backlog : kListenBacklog) != 0)
        return Broken(errno);
    listening_ = true;
    sockaddr_in bound{};
    socklen_t size = sizeof bound;
    if (getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &size) == 0) {
        localAddress_ = bound.sin_addr.s_addr;
        localPort_ = ntohs(bound.sin_port);
    }
    connectTime_ = lastActivity_ = EngineWallClock();
    return true;
}

QSocket* QSocket::Accept() {
    if (!IsListening())
        return nullptr;
    sockaddr_in from{};
    socklen_t size = sizeof from;
    int fd = -1;
    do {
        fd = accept4(fd_, reinterpret_cast<sockaddr*>(&from), &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (!WouldBlock(errno))
            lastError_ = errno;
        return nullptr;
    }
    QSocket* accepted = new (std::nothrow) QSocket;
    if (!accepted) {
        ::close(fd);
        return nullptr;
    }
    accepted->fd_ = fd;
    accepted->connected_ = true;
    accepted->remoteAddress_ = from.sin_addr.s_addr;
    accepted->remotePort_ = ntohs(from.sin_port);
    accepted->remoteText_ = DottedText(from.sin_addr.s_addr);
    sockaddr_in local{};
    size = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) == 0) {
        accepted->localAddress_ = local.sin_addr.s_addr;
        accepted->localPort_ = ntohs(local.sin_port);
    }
    accepted->connectTime_ = accepted->lastActivity_ = EngineWallClock();
    return accepted;
}

int QSocket::Send(const void* data, int length) {
    if (length < 0 || (length > 0 && !data) || fd_ < 0 || listening_)
        return -1;
    if (length == 0)
        return 0;
    const char* bytes = static_cast<const char*>(data);
    const size_t n = static_cast<size_t>(length);
    if (!negotiated_ || (!connected_ && !CheckConnected())) {
        if (fd_ < 0)
            return -1;
        if (!Append(send_, bytes, n))
            return BrokenCount(ENOBUFS);
        if (!negotiated_ && !Negotiate())
            return -1;
        return length;
    }
    if (send_.length > 0) {
        if (!Append(send_, bytes, n))
            return BrokenCount(ENOBUFS);
        if (FlushQueue(SIZE_MAX) < 0)
            return -1;
    } else {
        const long written = WriteSome(bytes, n);
        if (written < 0)
            return -1;
        if (static_cast<size_t>(written) < n &&
            !Append(send_, bytes + written, n - static_cast<size_t>(written)))
            return BrokenCount(ENOBUFS);
    }
    if (blocking_ && Flush(-1) < 0)
        return -1;
    return length;
}

int QSocket::Flush(int maxBytes) {
    if (fd_ < 0 || listening_)
        return -1;
    if (!negotiated_)
        return Negotiate() ? 0 : -1;
    if (!connected_ && !CheckConnected())
        return fd_ < 0 ? -1 : 0;
    const size_t limit = maxBytes < 0 ? SIZE_MAX : static_cast<size_t>(maxBytes);
    if (!blocking_)
        return FlushQueue(limit);
    size_t total = 0;
    while (send_.length > 0 && total < limit) {
        if (PollOne(fd_, POLLOUT, -1) < 0)
            return BrokenCount(errno);
        const int n = FlushQueue(limit - total);
        if (n < 0)
            return -1;
        total += static_cast<size_t>(n);
        if (send_.length > 0 && total < limit)
            platform::SleepMs(kBlockingRetryMs);
    }
    return total > INT_MAX ? INT_MAX : static_cast<int>(total);
}

int QSocket::Receive(int maxBytes) {
    if (listening_)
        return -1;
    if (maxBytes <= 0)
        maxBytes = kDefaultReceiveChunk;
    size_t already = 0;
    if (!negotiated_) {
        if (fd_ < 0 || !Negotiate())
            return -1;
        if (!negotiated_)
            return 0;
        already = recv_.length; // tunnel data that came right behind the proxy's reply
    }
    if (fd_ < 0)
        return already > 0 ? static_cast<int>(already) : -1;
    if (!connected_ && !CheckConnected())
        return fd_ < 0 ? -1 : 0;
    if (blocking_ && already == 0 && PollOne(fd_, POLLIN, -1) < 0)
        return BrokenCount(errno);
    bool ended = false;
    const long got = ReadSome(static_cast<size_t>(maxBytes), ended);
    if (got < 0)
        return -1;
    if (ended)
        CloseHandle();
    const size_t total = already + static_cast<size_t>(got);
    if (total > 0)
        return total > INT_MAX ? INT_MAX : static_cast<int>(total);
    return ended ? -1 : 0;
}

void QSocket::Consume(int bytes) {
    if (bytes > 0)
        Drop(recv_, static_cast<size_t>(bytes), keepBuffer_);
}

bool QSocket::SetReceiveBufferSize(int bytes) {
    if (fd_ < 0 || bytes <= 0)
        return false;
    return setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}

bool QSocket::IsConnected() {
    if (fd_ < 0 || listening_)
        return false;
    if (!negotiated_) {
        if (!Negotiate())
            return false;
    } else if (!connected_) {
        CheckConnected();
    }
    return fd_ >= 0 && connected_;
}

int QSocket::WaitReadable(int milliseconds) {
    if (fd_ < 0)
        return -1;
    const int events = PollOne(fd_, POLLIN, milliseconds);
    return events < 0 ? -1 : events > 0 ? 1 : 0;
}

int QSocket::WaitWritable(int milliseconds) {
    if (fd_ < 0 || listening_)
        return -1;
    const int events = PollOne(fd_, POLLOUT, milliseconds);
    return events < 0 ? -1 : events > 0 ? 1 : 0;
}
