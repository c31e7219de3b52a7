#include "support/PackedProgram.h"

#include <json/json.h>

#include <filesystem>
#include <utility>

namespace testsupport {

PackedProgram::PackedProgram(const TempDir& dir, std::string packTool)
    : dir_(dir), packTool_(std::move(packTool)) {}

bool PackedProgram::Serve(const Names& names, const Names& contents, const std::string& extraLocations) {
    names_ = names;
    std::filesystem::create_directories(PackageFolder());
    for (int i = 0; i < kFiles; ++i)
        WriteFile(PackageFolder() + "/" + names[i], contents[i]);
    return nginx_.Start(PackageFolder(), dir_.file("nginx"), extraLocations);
}

std::string PackedProgram::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(nginx_.port()) + path;
}

ProgramResult PackedProgram::Pack(const std::string& program, const Deployment& deployment) {
    Json::Value d;
    d["resourceList"] = Url(deployment.resourceList);
    for (const std::string& name : names_) {
        Json::Value f;
        f["url"] = Url(deployment.files + name);
        f["name"] = name;
        f["path"] = "package/" + name;
        d["files"].append(f);
    }
    if (deployment.pieceLength != 0)
        d["pieceLength"] = deployment.pieceLength;
    d["statistics"]["submitUrls"].append(Url(deployment.submit));
    d["statistics"]["batchSubmitUrls"].append(Url(deployment.batchSubmit));
    if (!deployment.version.empty())
        d["version"] = deployment.version;
    WriteFile(dir_.file("deploy.json"), Json::writeString(Json::StreamWriterBuilder(), d));

    packed_ = dir_.file(std::filesystem::path(program).filename());
    std::filesystem::create_directories(dir_.file("pack"));
    return RunProgram(
        {packTool_, "--deployment", dir_.file("deploy.json"), "--program", program, "--output", packed_},
        dir_.file("pack"));
}

std::unique_ptr<RunningProgram> PackedProgram::Start(const std::vector<std::string>& args,
                                                     const std::vector<std::string>& env,
                                                     const std::string& folder,
                                                     const std::string& name) const {
    std::vector<std::string> argv = {packed_};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<RunningProgram>(argv, EnvironmentWith(env), folder, name);
}

} // namespace testsupport
