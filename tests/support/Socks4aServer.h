#pragma once
// A minimal SOCKS4a server on loopback: it takes a CONNECT request with a host name (or
// an address), connects to targets on 127.0.0.1 only, answers "granted" and relays
// bytes both ways. It records what it was asked, so tests can check the request itself.
#include "support/LoopbackListener.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class Socks4aServer {
public:
    Socks4aServer();
    ~Socks4aServer();
    Socks4aServer(const Socks4aServer&) = delete;
    Socks4aServer& operator=(const Socks4aServer&) = delete;

    uint16_t port() const { return listener_.port(); }
    // The name of the last request ("" when it carried an address) and its target port.
    std::string LastName() const;
    uint16_t LastPort() const;
    int Requests() const;

private:
    void AcceptLoop();
    void Serve(int fd);

    LoopbackListener listener_;
    std::atomic<bool> stop_{false};
    mutable std::mutex lock_;
    std::string lastName_;
    uint16_t lastPort_ = 0;
    int requests_ = 0;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};

} // namespace testsupport
