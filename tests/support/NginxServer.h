#pragma once
// A private nginx on a free loopback port, serving a folder: ranged GETs, keep-alive, and
// whatever extra locations a test adds. Its configuration, logs, pid file and temporary
// folders live in the test's own folder.
#include "support/ServerProcess.h"

#include <cstdint>
#include <string>

namespace testsupport {

class NginxServer {
public:
    NginxServer() = default;
    ~NginxServer() { Stop(); }
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    // The nginx program; empty when it is not installed.
    static std::string Program();

    // Serves root at "/" from workDir's configuration; extraLocations is pasted into the
    // server block as it is. False when nginx is missing or did not come up.
    bool Start(const std::string& root, const std::string& workDir, const std::string& extraLocations = "");
    void Stop() { process_.Stop(); }

    uint16_t port() const { return port_; }
    // The access log so far: one line per request: the request line, the status, the
    // Range header ("-" without one) and the bytes sent, last.
    std::string AccessLog() const;
    std::string ErrorLog() const;

private:
    ServerProcess process_;
    uint16_t port_ = 0;
    std::string work_;
};

} // namespace testsupport
