#include "support/NginxServer.h"

#include "support/TempDir.h"

#include <filesystem>
#include <unistd.h>
#include <vector>

namespace testsupport {

namespace {

// Started as root, nginx runs its workers as nobody, who cannot read a test folder inside
// a home folder closed to others. This configuration serves from the one process it
// starts, but naming the invoking user keeps the files readable should workers come
// back. Started by anyone else, nginx keeps that user and would only warn about the line.
std::string UserLine() {
    const std::string user = UserName(), group = GroupName();
    if (geteuid() != 0 || user.empty() || group.empty())
        return "";
    return "user " + user + " " + group + ";\n";
}

} // namespace

std::string NginxServer::Program() {
    return FindProgram("nginx");
}

bool NginxServer::Start(const std::string& root, const std::string& workDir,
                        const std::string& extraLocations) {
    const std::string program = Program();
    if (program.empty())
        return false;
    work_ = workDir;
    std::filesystem::create_directories(work_ + "/temp");
    // A port can be taken between the probe and nginx's bind; a few tries cover that.
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = FreeLoopbackPort();
        if (port_ == 0)
            continue;
        const std::string config = UserLine() +
                                   "daemon off;\n"
                                   "master_process off;\n"
                                   "worker_processes 1;\n"
                                   "pid " +
                                   work_ +
                                   "/nginx.pid;\n"
                                   "error_log " +
                                   work_ +
                                   "/error.log;\n"
                                   "events { worker_connections 256; }\n"
                                   "http {\n"
                                   "  default_type application/octet-stream;\n"
                                   "  log_format sent '$request $status $http_range $bytes_sent';\n"
                                   "  access_log " +
                                   work_ +
                                   "/access.log sent;\n"
                                   "  client_body_temp_path " +
                                   work_ +
                                   "/temp/body;\n"
                                   "  proxy_temp_path " +
                                   work_ +
                                   "/temp/proxy;\n"
                                   "  fastcgi_temp_path " +
                                   work_ +
                                   "/temp/fastcgi;\n"
                                   "  uwsgi_temp_path " +
                                   work_ +
                                   "/temp/uwsgi;\n"
                                   "  scgi_temp_path " +
                                   work_ +
                                   "/temp/scgi;\n"
                                   "  sendfile on;\n"
                                   "  keepalive_timeout 65;\n"
                                   "  server {\n"
                                   "    listen 127.0.0.1:" +
                                   std::to_string(port_) +
                                   ";\n"
                                   "    root " +
                                   root + ";\n" + extraLocations +
                                   "\n  }\n"
                                   "}\n";
        WriteFile(work_ + "/nginx.conf", config);
        if (!process_.Start({program, "-c", work_ + "/nginx.conf", "-p", work_, "-e", work_ + "/error.log"},
                            work_ + "/nginx.out"))
            return false;
        if (process_.WaitForPort(port_))
            return true;
        process_.Stop();
    }
    return false;
}

std::string NginxServer::AccessLog() const {
    return FileExists(work_ + "/access.log") ? ReadFile(work_ + "/access.log") : std::string();
}

std::string NginxServer::ErrorLog() const {
    return FileExists(work_ + "/error.log") ? ReadFile(work_ + "/error.log") : std::string();
}

} // namespace testsupport
