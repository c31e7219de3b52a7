#include "support/ServerProcess.h"

#include "support/LoopbackListener.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

namespace {

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    return sa;
}

bool IsExecutable(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

} // namespace

uint16_t FreeLoopbackPort() {
    uint16_t port = 0;
    const int fd = BindLoopback(AF_INET, port, 0);
    if (fd < 0)
        return 0;
    close(fd);
    return port;
}

bool PortAccepts(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const sockaddr_in sa = Loopback(port);
    const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
    close(fd);
    return ok;
}

std::string FindProgram(const std::string& name) {
    std::vector<std::string> dirs;
    if (const char* path = std::getenv("PATH")) {
        std::string all = path;
        size_t start = 0;
        while (start <= all.size()) {
            size_t end = all.find(':', start);
            if (end == std::string::npos)
                end = all.size();
            if (end > start)
                dirs.push_back(all.substr(start, end - start));
            start = end + 1;
        }
    }
    dirs.push_back("/usr/sbin");
    dirs.push_back("/sbin");
    for (const std::string& dir : dirs) {
        const std::string candidate = dir + "/" + name;
        if (IsExecutable(candidate))
            return candidate;
    }
    return "";
}

std::string UserName() {
    const passwd* user = getpwuid(geteuid());
    return user ? user->pw_name : "";
}

std::string GroupName() {
    const group* grp = getgrgid(getegid());
    return grp ? grp->gr_name : "";
}

ServerProcess::~ServerProcess() {
    Stop();
}

bool ServerProcess::Start(const std::vector<std::string>& argv, const std::string& logPath) {
    Stop();
    if (argv.empty())
        return false;
    logPath_ = logPath;
    // Everything the child needs is prepared before fork: the test process has threads,
    // so the child may only make async-signal-safe calls until exec.
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0)
        return false;
    const int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        if (devnull >= 0)
            dup2(devnull, 0);
        dup2(log, 1);
        dup2(log, 2);
        execv(args[0], args.data());
        _exit(127);
    }
    close(log);
    if (devnull >= 0)
        close(devnull);
    if (pid < 0)
        return false;
    setpgid(pid, pid); // also from here, so that Stop never races the child's own call
    pid_ = pid;
    return true;
}

bool ServerProcess::Running() {
    if (pid_ <= 0)
        return false;
    int status = 0;
    const pid_t rc = waitpid(pid_, &status, WNOHANG);
    if (rc == pid_) {
        pid_ = -1;
        return false;
    }
    return rc == 0;
}

bool ServerProcess::WaitForPort(uint16_t port, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!Running())
            return false;
        if (PortAccepts(port))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void ServerProcess::Stop() {
    if (pid_ <= 0)
        return;
    const pid_t pid = pid_;
    pid_ = -1;
    kill(-pid, SIGTERM);
    kill(pid, SIGTERM);
    for (int i = 0; i < 150; ++i) {
        int status = 0;
        const pid_t rc = waitpid(pid, &status, WNOHANG);
        if (rc == pid || (rc < 0 && errno == ECHILD)) {
            kill(-pid, SIGKILL); // children the server left behind in its group
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
}

} // namespace testsupport
