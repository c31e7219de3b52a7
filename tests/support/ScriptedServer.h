#pragma once
// A loopback TCP server that plays a fixed script on every connection: wait for so many
// bytes, answer with canned bytes, and so on; then echo, stay silent, or hang up. Used as
// a misbehaving proxy, and (with an empty script) as an echo target.
#include "support/LoopbackListener.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class ScriptedServer {
public:
    struct Step {
        size_t expect;     // answer once this many bytes arrived on the connection in all
        std::string reply; // sent as one write
    };
    enum class After { Echo, Hold, Close };

    ScriptedServer(std::vector<Step> script, After after);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    // 0 when the server could not listen.
    uint16_t port() const { return listener_.port(); }
    size_t Connections() const;
    // Every byte connection number i sent, so far.
    std::string Received(size_t connection = 0) const;

private:
    struct Connection {
        int fd = -1;
        std::string received;
    };

    void AcceptLoop();
    void Serve(std::shared_ptr<Connection> connection);

    std::vector<Step> script_;
    After after_;
    LoopbackListener listener_;
    std::atomic<bool> stop_{false};
    mutable std::mutex lock_;
    std::vector<std::shared_ptr<Connection>> connections_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};

// Waits until fd is readable (or the stop flag is set); false on stop, error or time-out.
bool WaitReadableOrStop(int fd, const std::atomic<bool>& stop, int timeoutMs = -1);
// Writes all of data to a blocking or non-blocking descriptor; false on error.
bool WriteAll(int fd, const std::string& data);

} // namespace testsupport
