#include "platform/SystemShutdown.h"

#include "platform/Paths.h"
#include "platform/TextEncoding.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <mutex>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform {

namespace {

std::mutex g_instanceMutex;

std::shared_ptr<SystemShutdown>& RealInstance() {
    static std::shared_ptr<SystemShutdown> real = std::make_shared<SystemShutdown>();
    return real;
}

std::shared_ptr<SystemShutdown>& Installed() {
    static std::shared_ptr<SystemShutdown> installed = RealInstance();
    return installed;
}

// Runs argv[0] with stdin from /dev/null and default signal handling (the engine
// ignores SIGPIPE); true when it exits with status 0.
bool RunToSuccess(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0)
        return false;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

std::string SystemShutdown::FindProgram() {
    // An ordinary user's PATH often lacks the administration folders.
    return platform::FindProgram("shutdown", "/usr/sbin:/sbin");
}

bool SystemShutdown::MayShutDown() {
    if (FindProgram().empty())
        return false;
    if (::geteuid() == 0)
        return true;
    struct stat st {};
    return ::stat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> SystemShutdown::CommandLine(const std::string& program, int seconds,
                                                     const std::string& messageGbk) {
    const int64_t minutes = seconds <= 60 ? 1 : (static_cast<int64_t>(seconds) + 59) / 60;
    std::vector<std::string> args{program, "-P", "+" + std::to_string(minutes)};
    if (!messageGbk.empty())
        args.push_back(GbkToUtf8(messageGbk));
    return args;
}

bool SystemShutdown::ScheduleShutdown(int seconds, const std::string& messageGbk) {
    const std::string program = FindProgram();
    return !program.empty() && RunToSuccess(CommandLine(program, seconds, messageGbk));
}

std::shared_ptr<SystemShutdown> SystemShutdown::Current() {
    std::lock_guard<std::mutex> lock(g_instanceMutex);
    return Installed();
}

std::shared_ptr<SystemShutdown> SystemShutdown::Replace(std::shared_ptr<SystemShutdown> next) {
    std::lock_guard<std::mutex> lock(g_instanceMutex);
    std::shared_ptr<SystemShutdown> previous = Installed();
    Installed() = next ? std::move(next) : RealInstance();
    return previous;
}

} // namespace platform
