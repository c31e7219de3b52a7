#include "platform/ShellOpen.h"

#include "platform/Paths.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

std::mutex g_settingsMutex;
std::string g_handler;
unsigned g_handlerWaitMs = 5000;

// A started program reports only failures: the report pipe closes on a successful
// exec. This bounds the wait for a pipe some unrelated fork of this process holds.
constexpr unsigned kProgramStartWaitMs = 10000;

// What the launcher tells the caller through the report pipe.
enum Stage : int {
    kStageChdir = 1,
    kStageFork,
    kStageExec,
    kStageOpenerExec,
    kStageOpenerExit,
};

struct Report {
    int stage;
    int value;
};

// Everything the forked side needs, prepared before the fork: after it only
// async-signal-safe calls are allowed, as other threads may hold any lock.
struct LaunchPlan {
    bool program = false;
    const char* workingDirectory = nullptr;
    std::vector<char*> argv;
};

void Send(int fd, int stage, int value) {
    const Report report{stage, value};
    while (::write(fd, &report, sizeof report) < 0 && errno == EINTR) {
    }
}

// Signals ignored or blocked here (the engine ignores SIGPIPE) would stay so in the
// started program.
void ResetSignals() {
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    for (int s = 1; s < NSIG; ++s)
        ::sigaction(s, &byDefault, nullptr); // fails harmlessly for KILL, STOP and reserved ones
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

void CloseRange(int first, int last) {
    if (first > last)
        return;
    if (::close_range(static_cast<unsigned>(first), static_cast<unsigned>(last), 0) == 0)
        return;
    rlimit limit{};
    int end = last;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur < static_cast<rlim_t>(end))
        end = static_cast<int>(limit.rlim_cur);
    for (int fd = first; fd <= end; ++fd)
        ::close(fd);
}

// Descriptors this process opened without close-on-exec (the single-instance lock
// among them) must not live on in the started program or in the launcher that waits
// for the opener.
void CloseInheritedDescriptors(int keep) {
    CloseRange(3, keep - 1);
    CloseRange(keep < 3 ? 3 : keep + 1, 0x7fffffff);
}

void StdinFromNull() {
    const int fd = ::open("/dev/null", O_RDONLY);
    if (fd > 0) {
        ::dup2(fd, 0);
        ::close(fd);
    }
}

// Runs in the forked child. The child starts a session, forks the launcher and ends
// at once, so the caller reaps it immediately and the launcher belongs to init.
[[noreturn]] void Launch(const LaunchPlan& plan, int reportFd) {
    ::setsid();
    const pid_t launcher = ::fork();
    if (launcher < 0)
        Send(reportFd, kStageFork, errno);
    if (launcher != 0)
        ::_exit(0);

    ResetSignals();
    CloseInheritedDescriptors(reportFd);
    if (plan.workingDirectory && ::chdir(plan.workingDirectory) != 0) {
        Send(reportFd, kStageChdir, errno);
        ::_exit(127);
    }
    StdinFromNull();
    if (plan.program) {
        ::execv(plan.argv[0], plan.argv.data());
        Send(reportFd, kStageExec, errno);
        ::_exit(127);
    }

    const pid_t opener = ::fork();
    if (opener < 0) {
        Send(reportFd, kStageFork, errno);
        ::_exit(127);
    }
    if (opener == 0) {
        ::execv(plan.argv[0], plan.argv.data());
        Send(reportFd, kStageOpenerExec, errno);
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(opener, &status, 0) < 0) {
        if (errno != EINTR) {
            status = -1;
            break;
        }
    }
    Send(reportFd, kStageOpenerExit, status);
    ::_exit(0);
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The value for a path that stat refused with err.
int UnreachableValue(const std::string& file, int err) {
    switch (err) {
    case ENOENT: {
        const size_t slash = file.rfind('/');
        const std::string folder = slash == 0 ? "/" : file.substr(0, slash);
        return IsFolder(folder) ? kShellFileNotFound : kShellPathNotFound;
    }
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return kShellPathNotFound;
    case EACCES:
        return kShellAccessDenied;
    case ENOMEM:
        return kShellOutOfMemory;
    default:
        return kShellOtherFailure;
    }
}

int ForkFailureValue(int err) {
    return err == ENOMEM || err == EAGAIN ? kShellOutOfMemory : kShellOtherFailure;
}

int ReportValue(const Report& report, const std::string& file) {
    const int err = report.value;
    switch (report.stage) {
    case kStageChdir:
        if (err == ENOENT || err == ENOTDIR || err == ENAMETOOLONG || err == ELOOP)
            return kShellPathNotFound;
        if (err == EACCES || err == EPERM)
            return kShellAccessDenied;
        return err == ENOMEM ? kShellOutOfMemory : kShellOtherFailure;
    case kStageFork:
        return ForkFailureValue(err);
    case kStageExec:
        switch (err) {
        case EACCES:
        case EPERM:
            return kShellAccessDenied;
        case ENOENT: {
            // The file was there a moment ago: unless it went since, what is missing
            // is its interpreter or loader, and the program cannot run.
            struct stat st {};
            return ::stat(file.c_str(), &st) == 0 ? kShellBadExecutable : kShellFileNotFound;
        }
        case ENOEXEC:
        case ELIBBAD:
        case ELIBACC:
        case EISDIR:
            return kShellBadExecutable;
        case ETXTBSY:
            return kShellSharingViolation;
        case ENOMEM:
        case E2BIG:
            return kShellOutOfMemory;
        default:
            return kShellOtherFailure;
        }
    case kStageOpenerExec:
        return err == ENOMEM ? kShellOutOfMemory : kShellNoAssociation;
    case kStageOpenerExit:
        if (err == -1 || !WIFEXITED(err))
            return kShellOtherFailure;
        switch (WEXITSTATUS(err)) {
        case 0:
            return kShellOpenSucceeded;
        case 2:
            return kShellFileNotFound;
        case 3:
        case 4:
            return kShellNoAssociation;
        default:
            return kShellOtherFailure;
        }
    default:
        return kShellOtherFailure;
    }
}

// Waits for the launcher's verdict. No report before the pipe closes means the
// program replaced the launcher; no verdict within the wait means the opener is
// still busy with the file, which is as good as opened.
int AwaitReport(int fd, bool program, unsigned waitMs, const std::string& file) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return kShellOpenSucceeded;
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return kShellOtherFailure;
        if (ready == 0)
            return kShellOpenSucceeded;
        Report report{};
        const ssize_t n = ::read(fd, &report, sizeof report);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == static_cast<ssize_t>(sizeof report))
            return ReportValue(report, file);
        return program ? kShellOpenSucceeded : kShellOtherFailure;
    }
}

std::string Absolute(const std::string& path) {
    if (path[0] == '/')
        return path;
    std::error_code ec;
    const std::filesystem::path here = std::filesystem::current_path(ec);
    return ec ? path : (here / path).string();
}

} // namespace

std::string SetShellOpenHandler(std::string program) {
    std::lock_guard<std::mutex> lock(g_settingsMutex);
    std::swap(g_handler, program);
    return program;
}

unsigned SetShellOpenHandlerWait(unsigned milliseconds) {
    std::lock_guard<std::mutex> lock(g_settingsMutex);
    std::swap(g_handlerWaitMs, milliseconds);
    return milliseconds;
}

int ShellOpen(const std::string& path, const std::string& workingDirectory) {
    if (path.empty())
        return kShellFileNotFound;
    std::string file = Absolute(path);
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0)
        return UnreachableValue(file, errno);
    LaunchPlan plan;
    if (S_ISREG(st.st_mode))
        plan.program = (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
    else if (!S_ISDIR(st.st_mode))
        return kShellOtherFailure; // a device or a pipe: nothing to open
    if (!plan.program && ::faccessat(AT_FDCWD, file.c_str(), R_OK, AT_EACCESS) != 0)
        return errno == ENOMEM ? kShellOutOfMemory : kShellAccessDenied;

    if (!workingDirectory.empty()) {
        struct stat folder {};
        if (::stat(workingDirectory.c_str(), &folder) != 0)
            return ReportValue(Report{kStageChdir, errno}, file);
        if (!S_ISDIR(folder.st_mode))
            return kShellPathNotFound;
        plan.workingDirectory = workingDirectory.c_str();
    }

    std::string handler;
    unsigned waitMs = kProgramStartWaitMs;
    if (!plan.program) {
        {
            std::lock_guard<std::mutex> lock(g_settingsMutex);
            handler = g_handler;
            waitMs = g_handlerWaitMs;
        }
        if (handler.empty()) {
            const char* env = std::getenv("BRISKLANE_XDG_OPEN");
            handler = env && *env ? env : "xdg-open";
        }
        handler = FindProgram(handler);
        if (handler.empty())
            return kShellNoAssociation;
        plan.argv.push_back(handler.data());
    }
    plan.argv.push_back(file.data());
    plan.argv.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return errno == ENOMEM ? kShellOutOfMemory : kShellOtherFailure;
    const pid_t child = ::fork();
    if (child < 0) {
        const int err = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        return ForkFailureValue(err);
    }
    if (child == 0) {
        ::close(fds[0]);
        Launch(plan, fds[1]);
    }
    ::close(fds[1]);
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    const int value = AwaitReport(fds[0], plan.program, waitMs, file);
    ::close(fds[0]);
    return value;
}

} // namespace platform
