#pragma once
#include <cstdint>
#include <string>
#include <vector>

// How a connection reaches the outside world: directly, or through one proxy. One
// process-wide copy holds the configured proxy; every connect takes its own copy, so a
// change of settings never affects a handshake already under way.
struct QProxyInfo {
    static constexpr uint32_t kNone = 0;
    static constexpr uint32_t kHttp = 1;    // HTTP CONNECT tunnel
    static constexpr uint32_t kSocks4 = 2;  // SOCKS4, addresses only
    static constexpr uint32_t kSocks5 = 3;  // SOCKS5, no authentication or user/password
    static constexpr uint32_t kSocks4a = 4; // SOCKS4 with names resolved by the proxy
    static constexpr int kDefaultTimeoutSeconds = 12;

    uint32_t kind = kNone;
    uint32_t address = 0; // IPv4, network byte order
    uint16_t port = 0;
    int32_t timeoutSeconds = -1; // 0 or less means kDefaultTimeoutSeconds
    bool remoteNames = false;    // send host names to the proxy instead of resolving them here
    bool tunnelOpen = false;     // the HTTP proxy forwards without a CONNECT request
    std::string user;
    std::string password;
    std::string domain;
    std::string method;     // empty means "CONNECT"
    std::string targetLine; // "host:port HTTP/1.1\r\n"; built at connect when empty
    // Targets reached directly even though a proxy is set: "*", host names (matching
    // the name and every name below it), dotted addresses, or a.b.c.d/n networks. All
    // entries are lower-case.
    std::vector<std::string> bypass;

    // A kind, an address that is neither 0 nor all ones, and a port.
    bool IsConfigured() const;
    // Milliseconds the proxy may take for each step of its handshake: the configured
    // time-out for HTTP, half of it for SOCKS.
    int StepTimeoutMs() const;
    // The proxy is told the host name (HTTP, SOCKS5, SOCKS4a) rather than an address.
    bool SendsNames() const;
    // host may be empty and address 0 when unknown.
    bool Bypasses(const std::string& host, uint32_t address) const;

    // The process-wide settings, read and written under the proxy-settings lock.
    static QProxyInfo Global();
    static void SetGlobal(const QProxyInfo& proxy);
};
