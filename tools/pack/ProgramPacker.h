#pragma once
// Writes a configured copy of a built program: the program's configuration block
// patched in place with the deployment's values and its resource archive replaced.
#include "tools/pack/DeploymentConfig.h"

#include <string>

class ProgramPacker {
public:
    explicit ProgramPacker(const DeploymentConfig& config) : config_(config) {}

    // Throws PackError; output is only created (atomically, with the input's
    // permissions) once everything has been read and checked.
    void Pack(const std::string& inputProgram, const std::string& outputProgram) const;

private:
    struct PackageFile {
        uint64_t size = 0;
        std::string md5;
        std::string torrent; // bencoded
    };
    PackageFile Resolve(int index) const;

    const DeploymentConfig& config_;
};
