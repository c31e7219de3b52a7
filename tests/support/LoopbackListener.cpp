#include "support/LoopbackListener.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

int BindLoopback(int family, uint16_t& port, int backlog) {
    const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_storage storage{};
    socklen_t size = 0;
    if (family == AF_INET6) {
        auto* sa = reinterpret_cast<sockaddr_in6*>(&storage);
        sa->sin6_family = AF_INET6;
        sa->sin6_addr = in6addr_loopback;
        sa->sin6_port = htons(port);
        size = sizeof *sa;
    } else {
        auto* sa = reinterpret_cast<sockaddr_in*>(&storage);
        sa->sin_family = AF_INET;
        sa->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa->sin_port = htons(port);
        size = sizeof *sa;
    }
    auto* sa = reinterpret_cast<sockaddr*>(&storage);
    if (bind(fd, sa, size) != 0 || (backlog > 0 && listen(fd, backlog) != 0) ||
        getsockname(fd, sa, &size) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(sa)->sin6_port
                                    : reinterpret_cast<sockaddr_in*>(sa)->sin_port);
    return fd;
}

LoopbackListener::LoopbackListener() {
    // The IPv4 port may be taken on [::1] by someone else; a few tries find one free on
    // both. A machine without IPv6 cannot resolve a name to [::1] either, so there the
    // IPv4 side is enough.
    for (int attempt = 0; attempt < 5 && fds_[0] < 0; ++attempt) {
        uint16_t port = 0;
        const int v4 = BindLoopback(AF_INET, port, 16);
        if (v4 < 0)
            continue;
        uint16_t same = port;
        const int v6 = BindLoopback(AF_INET6, same, 16);
        if (v6 < 0 && errno == EADDRINUSE && attempt < 4) {
            close(v4);
            continue;
        }
        fds_[0] = v4;
        fds_[1] = v6;
        port_ = port;
    }
}

LoopbackListener::~LoopbackListener() {
    for (int fd : fds_)
        if (fd >= 0)
            close(fd);
}

int LoopbackListener::Accept(const std::atomic<bool>& stop) {
    while (!stop.load()) {
        pollfd p[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
        const int rc = poll(p, fds_[1] >= 0 ? 2 : 1, 50);
        if (rc < 0 && errno != EINTR)
            return -1;
        for (const pollfd& ready : p) {
            if (rc > 0 && ready.fd >= 0 && (ready.revents & POLLIN)) {
                const int fd = accept4(ready.fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0)
                    return fd;
            }
        }
    }
    return -1;
}

} // namespace testsupport
