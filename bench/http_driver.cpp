// Downloads one URL through the engine call interface, as the controller would, and
// prints how long it took. Used by scripts/bench-http.sh.
//
//   http_driver URL TARGET [TORRENT]
#include "engine/api/BrisklaneEngine.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s URL TARGET [TORRENT]\n", argv[0]);
        return 2;
    }
    const std::string url = argv[1];
    const std::string target = argv[2];
    if (EngineInitialize(nullptr) != kEngineOk)
        return 1;
    TaskDescriptor d;
    std::memset(&d, 0, sizeof d);
    std::snprintf(d.targetPath, sizeof d.targetPath, "%s", target.c_str());
    std::snprintf(d.resumeInfoPath, sizeof d.resumeInfoPath, "%s.resume", target.c_str());
    d.sources = url.c_str();
    d.flags = kTaskFlagAccepted | kTaskFlagFullPath;
    if (argc > 3) {
        std::snprintf(d.resourceId, sizeof d.resourceId, "file://%s", argv[3]);
        d.flags |= kTaskFlagP2SP;
    }
    const auto start = std::chrono::steady_clock::now();
    if (EngineCreateTask(&d) != kEngineOk)
        return 1;
    TaskStatus s{};
    for (;;) {
        if (EngineGetTaskStatus(d.task, &s) != kEngineOk)
            return 1;
        if (s.state == kTaskStateComplete)
            break;
        if (s.state != 0 && s.state != kTaskStateDiskFull) {
            std::fprintf(stderr, "task ended with state %u\n", s.state);
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.3f %llu\n", seconds, static_cast<unsigned long long>(s.downloadedBytes));
    EngineCleanup();
    return 0;
}
