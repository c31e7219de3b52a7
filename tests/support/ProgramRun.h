#pragma once
// Running a program as a test's step: started with its standard input on /dev/null and
// its output in files of the test's folder, then waited for (with a limit), watched,
// signalled or killed.
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

// A program that was started and may still run. It is killed when the object goes
// while it still runs.
class RunningProgram {
public:
    // argv[0] a full path; env the whole environment ("NAME=value"). Its standard output
    // and error go to folder/name.out and folder/name.err.
    RunningProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const std::string& folder, const std::string& name);
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    static constexpr int kNotEnded = -1000;

    // -1 when it could not be started.
    pid_t pid() const { return pid_; }
    // The exit code, minus the signal that ended it; kNotEnded when it did not end in
    // time (it still runs then).
    int Wait(int timeoutMs = 60000);
    // Whether it has ended (its code is then what Wait returns).
    bool Ended();
    // Waits until standard output holds text; false when the time ran out.
    bool WaitOutput(const std::string& text, int timeoutMs = 60000) const;
    std::string out() const;
    std::string err() const;

private:
    std::string out_, err_;
    pid_t pid_ = -1;
    int code_ = kNotEnded;
};

// This process's environment with settings ("NAME=value") put in, replacing the same
// names.
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& settings);

struct ProgramResult {
    int exit = -1; // the exit code; minus the signal when the program was killed
    std::string out;
    std::string err;
};

// Runs argv (argv[0] a full path) with this process's environment and waits for it;
// its standard output and error go to files in logFolder and are returned. exit stays
// -1 when it could not be started.
ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& logFolder);

} // namespace testsupport
