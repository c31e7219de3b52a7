#pragma once
#include "engine/core/EngineTypes.h"

#include <cstdint>
#include <string>

// A task's status. The task thread writes the live copy; PublishStatus copies it
// into the published one, the only copy other threads read.
struct TaskInfo {
    int32_t phase = 1;                  // 1 idle or ended, 3 loading metadata, 4 running
    int32_t stateCode = kTaskStateNone; // a task state code (EngineTypes.h)
    std::string name;
    uint64_t totalBytes = 0;
    uint64_t doneBytes = 0;
    int32_t pieceLength = 0;
    int32_t pieceCount = 0;
    int32_t piecesDone = 0;
    int32_t downloadRate = 0;
    int32_t averageDownloadRate = 0;
    int32_t averageUploadRate = 0;
    int32_t secondsLeft = 0;

    // downloaded x 10000 / total; 0 while the total is unknown.
    uint32_t Progress() const {
        return totalBytes ? static_cast<uint32_t>(doneBytes * 10000 / totalBytes) : 0;
    }
};
