#pragma once
// Powering the machine off after a notice. The process uses one instance, which tests
// replace with a recorder so that the machine is never really shut down by them.
#include <memory>
#include <string>
#include <vector>

namespace platform {

class SystemShutdown {
public:
    virtual ~SystemShutdown() = default;

    // Whether this process can expect a power-off request to be honoured: a shutdown
    // program is installed, and either the process runs as root or the system runs
    // systemd, whose login manager decides for ordinary users through its policy (the
    // active desktop user is normally allowed; that answer cannot be had without
    // asking, so ScheduleShutdown's result is the final word).
    virtual bool MayShutDown();
    // Schedules a power-off in `seconds`, rounded up to whole minutes and never less
    // than one (the shutdown program counts in minutes, and a notice must come
    // first); messageGbk is the notice sent to the logged-in users. True when the
    // shutdown program accepted the request.
    virtual bool ScheduleShutdown(int seconds, const std::string& messageGbk);

    // The command ScheduleShutdown runs, program first: `<program> -P +<minutes>
    // [message as UTF-8]`. No shell sees it.
    static std::vector<std::string> CommandLine(const std::string& program, int seconds,
                                                const std::string& messageGbk);
    // The shutdown program's path; empty when none is installed.
    static std::string FindProgram();

    // The process-wide instance (the real one unless replaced).
    static std::shared_ptr<SystemShutdown> Current();
    // Installs next (null restores the real one) and returns the one it replaces.
    static std::shared_ptr<SystemShutdown> Replace(std::shared_ptr<SystemShutdown> next);
};

} // namespace platform
