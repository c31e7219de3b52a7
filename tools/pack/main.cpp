// brisklane-pack: writes a configured copy of a built program.
//
//     brisklane-pack --deployment FILE.json --program IN --output OUT
//
// The deployment file is described in tools/pack/README.md. Nothing is written unless
// every check passes; the exit code is 0 on success, 1 when the deployment or a file
// it names is refused, 2 for a wrong command line.
#include "tools/pack/DeploymentConfig.h"
#include "tools/pack/ProgramPacker.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

namespace {

constexpr char kUsage[] = "usage: brisklane-pack --deployment FILE.json --program IN --output OUT\n";

int Usage(const std::string& problem) {
    std::fprintf(stderr, "brisklane-pack: %s\n%s", problem.c_str(), kUsage);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string deployment;
    std::string input;
    std::string output;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        std::string* target = arg == "--deployment" ? &deployment
                              : arg == "--program"  ? &input
                              : arg == "--output"   ? &output
                                                    : nullptr;
        if (!target)
            return Usage("unknown argument " + arg);
        if (i + 1 >= argc || argv[i + 1][0] == '\0')
            return Usage(arg + " needs a value");
        if (!target->empty())
            return Usage(arg + " given twice");
        *target = argv[++i];
    }
    if (deployment.empty() || input.empty() || output.empty())
        return Usage("--deployment, --program and --output are all required");

    try {
        const DeploymentConfig config = DeploymentConfig::Load(deployment);
        ProgramPacker(config).Pack(input, output);
    } catch (const PackError& e) {
        std::fprintf(stderr, "brisklane-pack: %s\n", e.what());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "brisklane-pack: %s\n", e.what());
        return 1;
    }
    std::printf("brisklane-pack: wrote %s\n", output.c_str());
    return 0;
}
