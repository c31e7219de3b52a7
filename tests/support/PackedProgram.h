#pragma once
// A program packed for a private nginx, as a deployment ships it: the four package files
// written into the test's folder and served on a loopback port, a deployment file that
// names them, the program packed for it by the deployment tool, and runs of the packed
// copy as real processes.
#include "support/NginxServer.h"
#include "support/ProgramRun.h"
#include "support/TempDir.h"

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class PackedProgram {
public:
    static constexpr int kFiles = 4;
    using Names = std::array<std::string, kFiles>;

    // Where the deployment points, as paths on the server.
    struct Deployment {
        std::string files = "/"; // each file is this followed by its name
        std::string resourceList;
        std::string submit;      // statistics: single events
        std::string batchSubmit; // statistics: batches
        int pieceLength = 0;     // of the torrents; 0 leaves the tool's default
        std::string version;     // empty leaves the tool's default
    };

    // Everything lives in dir: package/ holds the files, nginx/ the server's own files,
    // deploy.json the deployment, and the packed copy keeps the program's file name.
    PackedProgram(const TempDir& dir, std::string packTool);

    // Writes the files into package/ and serves that folder at "/", with extraLocations
    // pasted into the server block. False when nginx did not come up.
    bool Serve(const Names& names, const Names& contents, const std::string& extraLocations);
    // Writes the deployment and packs program for it; exit 0 when the packed copy was
    // written.
    ProgramResult Pack(const std::string& program, const Deployment& deployment);
    // Starts the packed copy with args, in this process's environment with env put in;
    // its output goes to folder/name.out and folder/name.err.
    std::unique_ptr<RunningProgram> Start(const std::vector<std::string>& args,
                                          const std::vector<std::string>& env, const std::string& folder,
                                          const std::string& name) const;

    std::string PackageFolder() const { return dir_.file("package"); }
    // http://127.0.0.1:PORT followed by path.
    std::string Url(const std::string& path) const;

private:
    const TempDir& dir_;
    std::string packTool_;
    Names names_;
    NginxServer nginx_;
    std::string packed_;
};

} // namespace testsupport
