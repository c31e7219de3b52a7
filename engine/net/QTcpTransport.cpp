#include "engine/net/QTcpTransport.h"

#include "platform/Clock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

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

// revents, 0 on time-out, -1 on failure. A negative limit waits without end. This is a
// real wait in the kernel, so it is measured by the system's clock.
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

} // namespace

QTcpTransport::~QTcpTransport() {
    Close();
}

bool QTcpTransport::Fail(int error) {
    lastError_ = error;
    Close();
    return false;
}

bool QTcpTransport::Open(uint32_t localAddress) {
    Close();
    lastError_ = 0;
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        lastError_ = errno;
        return false;
    }
    if (localAddress != 0) {
        const sockaddr_in local = MakeAddress(localAddress, 0);
        if (bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
            return Fail(errno);
    }
    return true;
}

bool QTcpTransport::StartConnect(uint32_t address, uint16_t port) {
    const sockaddr_in to = MakeAddress(address, port);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS &&
        errno != EINTR)
        return Fail(errno);
    return true;
}

int QTcpTransport::PollConnected() {
    if (fd_ < 0)
        return -1;
    const int events = PollOne(fd_, POLLOUT, 0);
    if (events == 0)
        return 0;
    int error = 0;
    if (events < 0) {
        error = errno;
    } else {
        socklen_t length = sizeof error;
        if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        if (error == 0 && !(events & POLLOUT))
            error = ECONNRESET;
    }
    if (error != 0) {
        Fail(error);
        return -1;
    }
    return 1;
}

bool QTcpTransport::Listen(uint32_t address, uint16_t port, int backlog) {
    const int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in local = MakeAddress(address, port);
    if (bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        return Fail(errno);
    if (::listen(fd_, backlog) != 0)
        return Fail(errno);
    return true;
}

std::unique_ptr<QTransport> QTcpTransport::Accept(uint32_t& address, uint16_t& port) {
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
    address = from.sin_addr.s_addr;
    port = ntohs(from.sin_port);
    return std::make_unique<QTcpTransport>(fd);
}

long QTcpTransport::Write(const char* data, size_t length) {
    if (length == 0)
        return 0;
    for (;;) {
        const ssize_t n = ::send(fd_, data, length, MSG_NOSIGNAL);
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        if (WouldBlock(errno))
            return 0;
        Fail(errno);
        return -1;
    }
}

long QTcpTransport::Read(char* out, size_t length, bool& ended) {
    ended = false;
    for (;;) {
        const ssize_t n = ::recv(fd_, out, length, 0);
        if (n > 0)
            return n;
        if (n == 0) {
            ended = true;
            return 0;
        }
        if (errno == EINTR)
            continue;
        if (WouldBlock(errno))
            return 0;
        // The caller keeps what arrived before the error.
        lastError_ = errno;
        ended = true;
        return 0;
    }
}

int QTcpTransport::Wait(bool forWrite, int milliseconds) {
    if (fd_ < 0)
        return -1;
    const int events = PollOne(fd_, forWrite ? POLLOUT : POLLIN, milliseconds);
    if (events < 0)
        lastError_ = errno;
    return events < 0 ? -1 : events > 0 ? 1 : 0;
}

void QTcpTransport::Close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool QTcpTransport::LocalEndpoint(uint32_t& address, uint16_t& port) const {
    sockaddr_in local{};
    socklen_t size = sizeof local;
    if (fd_ < 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &size) != 0)
        return false;
    address = local.sin_addr.s_addr;
    port = ntohs(local.sin_port);
    return true;
}

bool QTcpTransport::SetReceiveBufferSize(int bytes) {
    if (fd_ < 0 || bytes <= 0)
        return false;
    return setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}
