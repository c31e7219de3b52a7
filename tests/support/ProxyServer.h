#pragma once
// The proxy programs the socket tests talk to, each run as a private instance on a free
// loopback port with its configuration, pid file and log in the test's folder.
#include "support/ServerProcess.h"
#include "support/TempDir.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class ProxyServer {
public:
    // Each returns null and sets why when the program is missing (missing is then true)
    // or did not come up.
    //
    // tinyproxy (HTTP CONNECT): tunnels only to the listed target ports; with a user, it
    // asks for Basic authorisation.
    static std::unique_ptr<ProxyServer> StartTinyproxy(const TempDir& dir,
                                                       const std::vector<uint16_t>& connectPorts,
                                                       const std::string& user, const std::string& password,
                                                       std::string& why, bool& missing);
    // microsocks (SOCKS5): no authentication, or user/password when a user is given.
    static std::unique_ptr<ProxyServer> StartMicrosocks(const TempDir& dir, const std::string& user,
                                                        const std::string& password, std::string& why,
                                                        bool& missing);
    // danted (SOCKS4 and SOCKS5, no authentication), to any target.
    static std::unique_ptr<ProxyServer> StartDante(const TempDir& dir, std::string& why, bool& missing);

    uint16_t port() const { return port_; }
    // What the server wrote to its log so far, for failure messages.
    std::string Log() const;

private:
    ProxyServer() = default;
    // Tries a few free ports, since another process may take one between the look and
    // the server's bind.
    static std::unique_ptr<ProxyServer>
    Launch(const std::string& program, const TempDir& dir, const std::string& tag,
           std::vector<std::string> (*arguments)(const std::string& program, const TempDir& dir,
                                                 uint16_t port, const void* context),
           const void* context, std::string& why, bool& missing);

    ServerProcess process_;
    uint16_t port_ = 0;
    std::vector<std::string> logs_;
};

} // namespace testsupport
