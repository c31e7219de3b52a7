#include "support/ProxyServer.h"

#include <sstream>
#include <unistd.h>

namespace testsupport {

namespace {

struct TinyproxyOptions {
    const std::vector<uint16_t>* ports;
    const std::string* user;
    const std::string* password;
};

struct SocksUser {
    const std::string* user;
    const std::string* password;
};

std::vector<std::string> TinyproxyArguments(const std::string& program, const TempDir& dir, uint16_t port,
                                            const void* context) {
    const auto* o = static_cast<const TinyproxyOptions*>(context);
    std::ostringstream conf;
    conf << "Port " << port << "\n"
         << "Listen 127.0.0.1\n"
         << "Timeout 60\n"
         << "Allow 127.0.0.1\n"
         << "PidFile \"" << dir.file("tinyproxy.pid") << "\"\n"
         << "LogFile \"" << dir.file("tinyproxy.log") << "\"\n"
         << "LogLevel Info\n";
    for (uint16_t p : *o->ports)
        conf << "ConnectPort " << p << "\n";
    if (!o->user->empty())
        conf << "BasicAuth " << *o->user << " " << *o->password << "\n";
    WriteFile(dir.file("tinyproxy.conf"), conf.str());
    return {program, "-d", "-c", dir.file("tinyproxy.conf")};
}

std::vector<std::string> MicrosocksArguments(const std::string& program, const TempDir&, uint16_t port,
                                             const void* context) {
    const auto* o = static_cast<const SocksUser*>(context);
    std::vector<std::string> args = {program, "-i", "127.0.0.1", "-p", std::to_string(port)};
    if (!o->user->empty()) {
        args.insert(args.end(), {"-u", *o->user, "-P", *o->password});
    }
    return args;
}

std::vector<std::string> DanteArguments(const std::string& program, const TempDir& dir, uint16_t port,
                                        const void*) {
    // danted switches between the two users it is given and refuses to start when it
    // cannot; a test that does not run as root can only give it itself.
    const bool root = geteuid() == 0;
    std::ostringstream conf;
    conf << "logoutput: " << dir.file("danted.log") << "\n"
         << "internal: 127.0.0.1 port = " << port << "\n"
         << "external: lo\n"
         << "socksmethod: none\n"
         << "clientmethod: none\n"
         << "user.privileged: " << (root ? "root" : UserName()) << "\n"
         << "user.unprivileged: " << (root ? "nobody" : UserName()) << "\n"
         << "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
         // Each tunnel is logged, so a test can tell the proxy carried its traffic.
         << "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 command: connect\n  log: connect\n}\n";
    WriteFile(dir.file("danted.conf"), conf.str());
    return {program, "-f", dir.file("danted.conf"), "-p", dir.file("danted.pid")};
}

} // namespace

std::unique_ptr<ProxyServer> ProxyServer::Launch(
    const std::string& name, const TempDir& dir, const std::string& tag,
    std::vector<std::string> (*arguments)(const std::string&, const TempDir&, uint16_t, const void*),
    const void* context, std::string& why, bool& missing) {
    missing = false;
    const std::string program = FindProgram(name);
    if (program.empty()) {
        missing = true;
        why = name + " is not installed";
        return nullptr;
    }
    std::unique_ptr<ProxyServer> server(new ProxyServer);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const uint16_t port = FreeLoopbackPort();
        const std::string out = dir.file(tag + ".out");
        if (port != 0 && server->process_.Start(arguments(program, dir, port, context), out) &&
            server->process_.WaitForPort(port)) {
            server->port_ = port;
            server->logs_ = {out, dir.file(tag + ".log")};
            return server;
        }
        server->process_.Stop();
        why = name + " did not come up: " + ReadFile(out) + ReadFile(dir.file(tag + ".log"));
    }
    return nullptr;
}

std::unique_ptr<ProxyServer> ProxyServer::StartTinyproxy(const TempDir& dir,
                                                         const std::vector<uint16_t>& connectPorts,
                                                         const std::string& user, const std::string& password,
                                                         std::string& why, bool& missing) {
    const TinyproxyOptions options{&connectPorts, &user, &password};
    return Launch("tinyproxy", dir, "tinyproxy", &TinyproxyArguments, &options, why, missing);
}

std::unique_ptr<ProxyServer> ProxyServer::StartMicrosocks(const TempDir& dir, const std::string& user,
                                                          const std::string& password, std::string& why,
                                                          bool& missing) {
    const SocksUser options{&user, &password};
    return Launch("microsocks", dir, "microsocks", &MicrosocksArguments, &options, why, missing);
}

std::unique_ptr<ProxyServer> ProxyServer::StartDante(const TempDir& dir, std::string& why, bool& missing) {
    return Launch("danted", dir, "danted", &DanteArguments, nullptr, why, missing);
}

std::string ProxyServer::Log() const {
    std::string all;
    for (const std::string& path : logs_)
        all += ReadFile(path);
    return all;
}

} // namespace testsupport
