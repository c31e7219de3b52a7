#pragma once
#include "engine/net/QProxyInfo.h"

#include <map>
#include <string>

// The proxy the user configured through the environment, the way command-line tools on
// this system read it:
//   ALL_PROXY, then HTTPS_PROXY, then HTTP_PROXY (each in lower case first), as
//   [scheme://][user[:password]@]host[:port][/], with the schemes http (the default),
//   socks4, socks4a, socks5 and socks5h (names resolved by the proxy);
//   NO_PROXY / no_proxy: a comma- or blank-separated list of host names, domain suffixes,
//   addresses, a.b.c.d/n networks, or "*".
// Loopback targets are never sent through a proxy.
struct QProxyEnvironment {
    std::string variable; // the variable the proxy came from; empty when none was set
    std::string host;     // the proxy host as written (resolved when installed)
    QProxyInfo proxy;     // everything but the address; kind kNone when unusable
    std::string error;    // why a set variable could not be used

    static QProxyEnvironment Parse(const std::map<std::string, std::string>& variables);
    // The variables Parse looks at, from this process's environment.
    static std::map<std::string, std::string> ProcessVariables();
};

// Resolves the proxy host and makes the result the process-wide proxy settings (no proxy
// when the host does not resolve or nothing usable was set). True when a proxy is in use.
bool ApplyProxyEnvironment(const QProxyEnvironment& environment);
// ApplyProxyEnvironment(Parse(ProcessVariables())).
bool LoadProxyFromEnvironment();
