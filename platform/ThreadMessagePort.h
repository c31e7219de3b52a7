#pragma once
// Messages posted to one thread of another process of the same user, addressed by
// a channel name and the thread's kernel identity. The receiving thread opens its
// port, watches fd() (it becomes readable when a message waits) and takes the
// messages with Receive on its own thread. A message to a thread without a port is
// lost, and Post says so.
#include <cstdint>
#include <string>

namespace platform {

struct ThreadMessage {
    uint32_t message = 0;
    uint64_t wparam = 0;
    int64_t lparam = 0;
};

class ThreadMessagePort {
public:
    ThreadMessagePort() = default;
    ~ThreadMessagePort();
    ThreadMessagePort(const ThreadMessagePort&) = delete;
    ThreadMessagePort& operator=(const ThreadMessagePort&) = delete;

    // Opens the calling thread's port on channel. folder empty:
    // NamedObjectFile::DefaultFolder().
    bool Open(const std::string& channel, const std::string& folder = {});
    // Takes one waiting message without blocking; false when none waits.
    bool Receive(ThreadMessage& out);
    void Close();

    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    uint32_t threadId() const { return threadId_; }

    // Queues message for thread threadId on channel; false when that thread has no
    // port there or its queue is full.
    static bool Post(const std::string& channel, uint32_t threadId, const ThreadMessage& message,
                     const std::string& folder = {});
    // Removes the ports that threads of channel left behind; only for a caller that
    // knows no live thread holds one.
    static void RemoveAll(const std::string& channel, const std::string& folder = {});

private:
    int fd_ = -1;
    uint32_t threadId_ = 0;
    std::string path_;
};

} // namespace platform
