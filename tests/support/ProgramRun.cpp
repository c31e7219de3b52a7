#include "support/ProgramRun.h"

#include "support/TempDir.h"

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace testsupport {

ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& logFolder) {
    const std::string outPath = logFolder + "/stdout";
    const std::string errPath = logFolder + "/stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    ProgramResult r;
    const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return r;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    r.out = ReadFile(outPath);
    r.err = ReadFile(errPath);
    return r;
}

} // namespace testsupport
