#include "support/ScriptedServer.h"

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

bool WaitReadableOrStop(int fd, const std::atomic<bool>& stop, int timeoutMs) {
    const auto start = std::chrono::steady_clock::now();
    while (!stop.load()) {
        pollfd p{fd, POLLIN, 0};
        const int rc = poll(&p, 1, 50);
        if (rc > 0)
            return true;
        if (rc < 0 && errno != EINTR)
            return false;
        if (timeoutMs >= 0 && std::chrono::steady_clock::now() - start > std::chrono::milliseconds(timeoutMs))
            return false;
    }
    return false;
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 50);
            continue;
        }
        return false;
    }
    return true;
}

ScriptedServer::ScriptedServer(std::vector<Step> script, After after)
    : script_(std::move(script)), after_(after) {
    if (listener_.port() != 0)
        acceptor_ = std::thread([this] { AcceptLoop(); });
}

ScriptedServer::~ScriptedServer() {
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

size_t ScriptedServer::Connections() const {
    std::lock_guard<std::mutex> hold(lock_);
    return connections_.size();
}

std::string ScriptedServer::Received(size_t connection) const {
    std::lock_guard<std::mutex> hold(lock_);
    return connection < connections_.size() ? connections_[connection]->received : std::string();
}

void ScriptedServer::AcceptLoop() {
    for (int fd; (fd = listener_.Accept(stop_)) >= 0;) {
        auto connection = std::make_shared<Connection>();
        connection->fd = fd;
        std::lock_guard<std::mutex> hold(lock_);
        connections_.push_back(connection);
        threads_.emplace_back([this, connection] { Serve(connection); });
    }
}

void ScriptedServer::Serve(std::shared_ptr<Connection> connection) {
    const int fd = connection->fd;
    size_t total = 0;
    size_t step = 0;
    char buffer[65536];
    for (;;) {
        while (step < script_.size() && total >= script_[step].expect) {
            if (!WriteAll(fd, script_[step].reply))
                break;
            ++step;
        }
        if (step == script_.size() && after_ == After::Close)
            break;
        if (!WaitReadableOrStop(fd, stop_))
            break;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        total += static_cast<size_t>(n);
        {
            std::lock_guard<std::mutex> hold(lock_);
            connection->received.append(buffer, static_cast<size_t>(n));
        }
        if (step == script_.size() && after_ == After::Echo &&
            !WriteAll(fd, std::string(buffer, static_cast<size_t>(n))))
            break;
    }
    close(fd);
}

} // namespace testsupport
