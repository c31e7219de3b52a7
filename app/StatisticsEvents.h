#pragma once
// The codes of the statistics events the controller sends, each named after what it
// reports. The download engine raises codes of its own (a piece that failed its hash
// check, a host that could not be resolved); they are not listed here.
#include <cstdint>

struct StatisticsEvents {
    // The job: a new download, a pause, a continue (also tasks running again at
    // start-up), the user ending the program mid-job, every 300 seconds of an active
    // job, the end of a download that ran in this run, the primary button once the
    // package is there, one package file finished.
    static constexpr const char* kDownloadStarted = "11010000";
    static constexpr const char* kPaused = "11020000";
    static constexpr const char* kContinued = "11030000";
    static constexpr const char* kUserExit = "11040000";
    static constexpr const char* kProgress = "11050000";
    static constexpr const char* kDownloadFinished = "11060000";
    static constexpr const char* kInstallPressed = "11070000";
    static constexpr const char* kFileFinished = "11080000";

    // Verification and repair: the user agreed or declined, a repaired file matches
    // its digest, every file matches, a file failed its check.
    static constexpr const char* kVerifyAccepted = "11100001";
    static constexpr const char* kVerifyDeclined = "11100002";
    static constexpr const char* kFileRepaired = "11100003";
    static constexpr const char* kVerifyPassed = "11100004";
    static constexpr const char* kMd5Mismatch = "11500201";

    // Port mapping: mapped, not needed (a public address), failed.
    static constexpr const char* kPortMapped = "11390000";
    static constexpr const char* kPortMappingNotNeeded = "11390001";
    static constexpr const char* kPortMappingFailed = "11500105";

    // Failures: the engine's set-up (or a torrent when re-creating a task), releasing
    // the statistics configuration or a torrent, the installer that did not start or is
    // missing, a connection time-out, a full disk; and the abnormal end: the window
    // went without a user exit, or repairs gave up.
    static constexpr const char* kStartFailed = "11400101";
    static constexpr const char* kResourceReleaseFailed = "11400190";
    static constexpr const char* kInstallerFailed = "11600101";
    static constexpr const char* kInstallerMissing = "11600102";
    static constexpr const char* kConnectTimeout = "11990202";
    static constexpr const char* kDiskFull = "11990301";
    static constexpr const char* kAbnormalEnd = "11990501";

    // An event's flag: which descriptions of the machine go with it (bits).
    static constexpr int32_t kWithProcessor = 1;
    static constexpr int32_t kWithMemory = 2;
    static constexpr int32_t kWithVideoCard = 4;
    static constexpr int32_t kWithMachine = kWithProcessor | kWithMemory | kWithVideoCard;
};
