#include "support/ProgramRun.h"

#include "support/TempDir.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace testsupport {

RunningProgram::RunningProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                               const std::string& folder, const std::string& name)
    : out_(folder + "/" + name + ".out"), err_(folder + "/" + name + ".err") {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args, envp;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
}

RunningProgram::~RunningProgram() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool RunningProgram::Ended() {
    if (pid_ <= 0)
        return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_)
        return false;
    pid_ = -1;
    code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return true;
}

int RunningProgram::Wait(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!Ended()) {
        if (std::chrono::steady_clock::now() > deadline)
            return kNotEnded;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return code_;
}

bool RunningProgram::WaitOutput(const std::string& text, int timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string RunningProgram::out() const {
    return ReadFile(out_);
}

std::string RunningProgram::err() const {
    return ReadFile(err_);
}

std::vector<std::string> EnvironmentWith(const std::vector<std::string>& settings) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const std::string& s : settings)
            replaced = replaced || s.compare(0, name.size(), name) == 0;
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), settings.begin(), settings.end());
    return env;
}

ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& logFolder) {
    ProgramResult r;
    RunningProgram run(argv, EnvironmentWith({}), logFolder, "run");
    if (run.pid() < 0)
        return r;
    // No limit of its own: a run that hangs is the test's time-out to catch.
    int code = RunningProgram::kNotEnded;
    while (code == RunningProgram::kNotEnded)
        code = run.Wait();
    r.exit = code;
    r.out = run.out();
    r.err = run.err();
    return r;
}

} // namespace testsupport
