#pragma once
// The records and codes exchanged between the controller and the engine. Every layer
// of the engine and the flat call interface share them; the controller sees them
// through the interface's header.
#include <cstdint>

// A registry number, never reused in the life of the process: a handle is valid
// exactly while its task is registered, and a stale one can never name a new task.
using EngineTask = uint32_t;

// Results of the engine calls.
constexpr int kEngineOk = 0;
constexpr int kEngineBitfieldError = -1;
constexpr int kEngineBadArgument = -101;
constexpr int kEngineSocketsUnavailable = -102;
constexpr int kEngineDuplicate = -105;
constexpr int kEngineNoTask = -106;
constexpr int kEngineFailure = -107;
constexpr int kEngineNoMemory = -109;

// Task state codes, as a task publishes them in its status. Network error is one the
// controller knows how to show; this engine never sets it.
constexpr uint32_t kTaskStateNone = 0;
constexpr uint32_t kTaskStateComplete = 20206;
constexpr uint32_t kTaskStateNetworkError = 20207;
constexpr uint32_t kTaskStateMetadataTimeout = 20209;
constexpr uint32_t kTaskStateDiskFull = 20210;
constexpr uint32_t kTaskStateTorrentUnreadable = 20211;
constexpr uint32_t kTaskStateGaveUp = 20214;
constexpr uint32_t kTaskStateDiskError = 20215;
constexpr uint32_t kTaskStateBadHost = 20216;

// Descriptor flags.
constexpr uint32_t kTaskFlagP2SP = 0x01000000;
constexpr uint32_t kTaskFlagBT = 0x00010000;
constexpr uint32_t kTaskFlagAccepted = 0x00100000;
constexpr uint32_t kTaskFlagFullPath = 0x00000002;
constexpr uint32_t kTaskFlagQuickCheck = 0x00000020;

// Speed-limit kinds of EngineSetTaskSpeedLimit.
constexpr int kSpeedLimitUpload = 0;
constexpr int kSpeedLimitDownload = 1;

constexpr int kEnginePathSize = 4096;

struct TaskDescriptor {
    uint64_t finished;                // the caller's own flag; the engine ignores it
    char resourceId[kEnginePathSize]; // P2SP resource identifier
    const char* sources;              // one source URL per line (CR, LF or CR LF); may be null
    char targetPath[kEnginePathSize]; // folder, or the file itself with kTaskFlagFullPath
    char resumeInfoPath[kEnginePathSize];
    uint32_t flags;
    EngineTask task; // out
};

struct TaskStatus {
    char name[kEnginePathSize];
    uint32_t progress; // 1/10000
    uint32_t state;    // kTaskStateNone, a task state code, or kTaskStateComplete once complete
    uint32_t downloadRate;
    uint32_t secondsLeft;
    uint32_t totalKiB;
    uint64_t httpBytes;
    uint64_t peerBytes;
    uint64_t downloadedBytes;
};
