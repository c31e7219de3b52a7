#pragma once
// Running a real server program as a test peer: on a free loopback port, with its
// configuration and log in the test's temporary folder, stopped by the process id the
// test recorded.
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

// A TCP port on 127.0.0.1 that was free a moment ago.
uint16_t FreeLoopbackPort();
// Whether 127.0.0.1:port accepts a connection right now.
bool PortAccepts(uint16_t port);
// The full path of a program found on PATH, in /usr/sbin or in /sbin; empty when missing.
std::string FindProgram(const std::string& name);
// The names of the user and the group this process runs as; empty when unknown.
std::string UserName();
std::string GroupName();

class ServerProcess {
public:
    ServerProcess() = default;
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Starts argv (argv[0] a full path) in a process group of its own, with standard
    // output and error appended to logPath.
    bool Start(const std::vector<std::string>& argv, const std::string& logPath);
    // Waits until 127.0.0.1:port accepts connections; false when the process ended first
    // or the time ran out.
    bool WaitForPort(uint16_t port, int timeoutMs = 5000);
    bool Running();
    // Terminates the process group (SIGTERM, then SIGKILL after a grace period) and reaps
    // the process. Safe to call more than once.
    void Stop();

    pid_t pid() const { return pid_; }
    const std::string& logPath() const { return logPath_; }

private:
    pid_t pid_ = -1;
    std::string logPath_;
};

} // namespace testsupport
