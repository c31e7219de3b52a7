#include "platform/ProcessControl.h"

#include "platform/Clock.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

namespace {

// The first number after "<field>:" in /proc/<id>/status; -1 when missing.
long StatusField(uint32_t id, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(id) + "/status");
    std::string line;
    const std::string prefix = field + ":";
    while (std::getline(in, line)) {
        if (line.compare(0, prefix.size(), prefix) != 0)
            continue;
        char* end = nullptr;
        const long value = std::strtol(line.c_str() + prefix.size(), &end, 10);
        return end != line.c_str() + prefix.size() ? value : -1;
    }
    return -1;
}

// Gone or a zombie: it runs no more code and holds no files.
bool Ended(uint32_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat))
        return true;
    const size_t close = stat.rfind(')'); // the command name may hold anything
    return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z' ||
           stat[close + 2] == 'X';
}

int OpenPidFd(uint32_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

bool SignalPidFd(int pidfd, int sig) {
#ifdef SYS_pidfd_send_signal
    return ::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0) == 0;
#else
    (void)pidfd;
    (void)sig;
    return false;
#endif
}

} // namespace

uint32_t OwnerProcessOfThread(uint32_t threadId) {
    if (threadId == 0)
        return 0;
    const long tgid = StatusField(threadId, "Tgid");
    return tgid > 0 ? static_cast<uint32_t>(tgid) : 0;
}

bool ProcessHoldsFile(uint32_t pid, dev_t device, ino_t inode) {
    if (pid == 0)
        return false;
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = ::opendir(fds.c_str());
    if (!dir)
        return false;
    bool found = false;
    while (!found) {
        dirent* entry = ::readdir(dir);
        if (!entry)
            break;
        if (entry->d_name[0] == '.')
            continue;
        struct stat st {};
        // stat follows the descriptor's link to the open file itself.
        if (::fstatat(::dirfd(dir), entry->d_name, &st, 0) == 0 && st.st_dev == device && st.st_ino == inode)
            found = true;
    }
    ::closedir(dir);
    return found;
}

bool TerminateFileHolder(uint32_t pid, dev_t device, ino_t inode, unsigned waitMs) {
    if (pid == 0 || pid == static_cast<uint32_t>(::getpid()))
        return false;
    // Held from before the checks, so that the signal cannot reach a process that took
    // the number over after they were made.
    const int pidfd = OpenPidFd(pid);
    if (pidfd < 0 && errno != ENOSYS)
        return false;
    const bool ours = StatusField(pid, "Uid") == static_cast<long>(::getuid());
    bool signalled = false;
    if (ours && !Ended(pid) && ProcessHoldsFile(pid, device, inode))
        signalled = pidfd >= 0 ? SignalPidFd(pidfd, SIGKILL) : ::kill(static_cast<pid_t>(pid), SIGKILL) == 0;
    if (signalled) {
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            while (::poll(&p, 1, static_cast<int>(waitMs)) < 0 && errno == EINTR) {
            }
        } else {
            const uint64_t deadline = TickCount64() + waitMs;
            while (!Ended(pid) && TickCount64() < deadline)
                SleepMs(5);
        }
    }
    if (pidfd >= 0)
        ::close(pidfd);
    return signalled;
}

} // namespace platform
