#include "platform/ThreadMessagePort.h"

#include "platform/Clock.h"
#include "platform/NamedObjectFile.h"
#include "platform/Paths.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr size_t kWireSize = 24; // message, 4 unused bytes, wparam, lparam

std::string PortPrefix(const std::string& channel) {
    return "Brisklane_Msg_" + channel + "_";
}

// The socket path for the thread's port; empty when the name or the path is unusable.
std::string PortPath(const std::string& channel, uint32_t threadId, const std::string& folder, bool prepare) {
    const std::string name = PortPrefix(channel) + std::to_string(threadId);
    if (!NamedObjectFile::ValidName(name))
        return {};
    const std::string where = folder.empty() ? NamedObjectFile::DefaultFolder() : folder;
    if (where.empty() || (prepare && !NamedObjectFile::PrepareFolder(where)))
        return {};
    std::string path = JoinPath(where, name);
    if (path.size() >= sizeof(sockaddr_un::sun_path))
        return {};
    return path;
}

sockaddr_un Address(const std::string& path) {
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    return sa;
}

} // namespace

ThreadMessagePort::~ThreadMessagePort() {
    Close();
}

bool ThreadMessagePort::Open(const std::string& channel, const std::string& folder) {
    Close();
    const uint32_t threadId = CurrentThreadId();
    const std::string path = PortPath(channel, threadId, folder, true);
    if (path.empty())
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    // A port of this name can only be left over from a dead thread: thread identities
    // are unique among live threads.
    ::unlink(path.c_str());
    const sockaddr_un sa = Address(path);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    threadId_ = threadId;
    path_ = path;
    return true;
}

bool ThreadMessagePort::Receive(ThreadMessage& out) {
    if (fd_ < 0)
        return false;
    for (;;) {
        unsigned char wire[kWireSize + 1];
        const ssize_t n = ::recv(fd_, wire, sizeof wire, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (static_cast<size_t>(n) != kWireSize)
            continue; // not one of ours
        std::memcpy(&out.message, wire, 4);
        std::memcpy(&out.wparam, wire + 8, 8);
        std::memcpy(&out.lparam, wire + 16, 8);
        return true;
    }
}

void ThreadMessagePort::Close() {
    if (fd_ < 0)
        return;
    ::close(fd_);
    ::unlink(path_.c_str());
    fd_ = -1;
    threadId_ = 0;
    path_.clear();
}

bool ThreadMessagePort::Post(const std::string& channel, uint32_t threadId, const ThreadMessage& message,
                             const std::string& folder) {
    if (threadId == 0)
        return false;
    const std::string path = PortPath(channel, threadId, folder, false);
    if (path.empty())
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    unsigned char wire[kWireSize] = {};
    std::memcpy(wire, &message.message, 4);
    std::memcpy(wire + 8, &message.wparam, 8);
    std::memcpy(wire + 16, &message.lparam, 8);
    const sockaddr_un sa = Address(path);
    ssize_t n;
    do {
        n = ::sendto(fd, wire, sizeof wire, MSG_DONTWAIT | MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    return n == static_cast<ssize_t>(sizeof wire);
}

void ThreadMessagePort::RemoveAll(const std::string& channel, const std::string& folder) {
    const std::string where = folder.empty() ? NamedObjectFile::DefaultFolder() : folder;
    const std::string prefix = PortPrefix(channel);
    DIR* dir = ::opendir(where.c_str());
    if (!dir)
        return;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        // Only names the port rule makes: the prefix, then a thread number.
        const std::string rest = name.substr(prefix.size());
        if (rest.empty() || rest.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string path = JoinPath(where, name);
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
            ::unlink(path.c_str());
    }
    ::closedir(dir);
}

} // namespace platform
