#pragma once
// The listening side of the test servers: TCP on loopback, on a port the system picked.
// It listens on 127.0.0.1 and, where the machine has IPv6, on [::1] with the same port:
// "localhost" may resolve to either first (Debian's hosts file names both), and a proxy
// that is handed the name connects to whichever address comes first.
#include <atomic>
#include <cstdint>

namespace testsupport {

// A TCP socket of family (AF_INET or AF_INET6) bound to that family's loopback address;
// port 0 lets the system choose, and port is set to the port it got. It listens when
// backlog is above 0. -1 when that failed, with errno saying why.
int BindLoopback(int family, uint16_t& port, int backlog);

class LoopbackListener {
public:
    LoopbackListener();
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    // 0 when it could not listen.
    uint16_t port() const { return port_; }
    // The next connection on either address, blocking; -1 once stop is set or on an error.
    int Accept(const std::atomic<bool>& stop);

private:
    int fds_[2] = {-1, -1};
    uint16_t port_ = 0;
};

} // namespace testsupport
