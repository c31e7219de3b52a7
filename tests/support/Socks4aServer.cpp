#include "support/Socks4aServer.h"

#include "support/ScriptedServer.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

constexpr size_t kMaxRequest = 1024;

// Bytes from fd until the request is complete: 8 fixed bytes, the user id and its 0, and
// for the name form (address 0.0.0.x, x not 0) the name and its 0.
bool ReadRequest(int fd, const std::atomic<bool>& stop, std::string& request, std::string& name) {
    char c = 0;
    while (request.size() < kMaxRequest) {
        if (!WaitReadableOrStop(fd, stop, 5000) || recv(fd, &c, 1, 0) != 1)
            return false;
        request.push_back(c);
        if (request.size() < 9 || c != '\0')
            continue;
        const unsigned char* r = reinterpret_cast<const unsigned char*>(request.data());
        const bool byName = r[4] == 0 && r[5] == 0 && r[6] == 0 && r[7] != 0;
        const size_t userEnd = request.find('\0', 8);
        if (!byName)
            return true;
        if (request.size() - 1 > userEnd) {
            name = request.substr(userEnd + 1, request.size() - userEnd - 2);
            return true;
        }
    }
    return false;
}

void Relay(int a, int b, const std::atomic<bool>& stop) {
    char buffer[16384];
    while (!stop.load()) {
        pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        const int rc = poll(p, 2, 50);
        if (rc < 0)
            return;
        for (int i = 0; i < 2; ++i) {
            if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t n = recv(p[i].fd, buffer, sizeof buffer, 0);
            if (n <= 0 || !WriteAll(p[1 - i].fd, std::string(buffer, static_cast<size_t>(n))))
                return;
        }
    }
}

} // namespace

Socks4aServer::Socks4aServer() {
    if (listener_.port() != 0)
        acceptor_ = std::thread([this] { AcceptLoop(); });
}

Socks4aServer::~Socks4aServer() {
    stop_.store(true);
    if (acceptor_.joinable())
        acceptor_.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> hold(lock_);
        threads.swap(threads_);
    }
    for (std::thread& t : threads)
        t.join();
}

std::string Socks4aServer::LastName() const {
    std::lock_guard<std::mutex> hold(lock_);
    return lastName_;
}

uint16_t Socks4aServer::LastPort() const {
    std::lock_guard<std::mutex> hold(lock_);
    return lastPort_;
}

int Socks4aServer::Requests() const {
    std::lock_guard<std::mutex> hold(lock_);
    return requests_;
}

void Socks4aServer::AcceptLoop() {
    for (int fd; (fd = listener_.Accept(stop_)) >= 0;) {
        std::lock_guard<std::mutex> hold(lock_);
        threads_.emplace_back([this, fd] { Serve(fd); });
    }
}

void Socks4aServer::Serve(int fd) {
    std::string request;
    std::string name;
    if (!ReadRequest(fd, stop_, request, name) || request[0] != 4 || request[1] != 1) {
        close(fd);
        return;
    }
    const unsigned char* r = reinterpret_cast<const unsigned char*>(request.data());
    const uint16_t port = static_cast<uint16_t>(r[2] << 8 | r[3]);
    {
        std::lock_guard<std::mutex> hold(lock_);
        lastName_ = name;
        lastPort_ = port;
        ++requests_;
    }
    // Targets are local test servers only; anything else is refused, as is a name that
    // is not a loopback name.
    in_addr target{};
    bool allowed = false;
    if (name.empty()) {
        std::memcpy(&target, r + 4, 4);
        allowed = (ntohl(target.s_addr) >> 24) == 127;
    } else if (name == "localhost" || name == "127.0.0.1") {
        target.s_addr = htonl(INADDR_LOOPBACK);
        allowed = true;
    }
    int upstream = -1;
    if (allowed) {
        upstream = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr = target;
        to.sin_port = htons(port);
        if (upstream >= 0 && connect(upstream, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            close(upstream);
            upstream = -1;
        }
    }
    std::string reply("\0", 1);
    reply.push_back(static_cast<char>(upstream >= 0 ? 90 : 91));
    reply.append(request, 2, 2);
    reply.append(reinterpret_cast<const char*>(&target), 4);
    if (WriteAll(fd, reply) && upstream >= 0)
        Relay(fd, upstream, stop_);
    if (upstream >= 0)
        close(upstream);
    close(fd);
}

} // namespace testsupport
