#pragma once
// Everything a front end shows of the controller, read at one moment under the
// controller mutex (DownloadController::Snapshot): the values agree with each other.
// Reading it changes nothing. Texts are GBK, paths file-system bytes.
#include "app/ControllerConfig.h"
#include "app/ControllerState.h"

#include <array>
#include <cstdint>
#include <string>

struct ControllerView {
    struct FileRow {
        std::string name;
        std::string status; // the second column of the file list
        bool finished = false;
    };

    uint32_t state = ControllerState::kReady;
    // 1/10000 each.
    unsigned downloadProgress = 0;
    unsigned checkProgress = 0; // over the four files
    unsigned repairProgress = 0;

    std::string speedText; // the download speed; empty while repairing
    std::string repairSpeedText;
    std::string sizeText; // "downloaded/total"
    std::string versionText;
    std::string savePath;
    std::string packagePath; // the first package file in the save folder; empty without one
    std::array<FileRow, kPackageFileCount> files;

    bool diskSpaceLow = false;
    bool watchingDiskSpace = false; // sparse files: a shortage may pass by itself
    bool verifying = false;         // the verification worker is at work
    bool wasRepaired = false;
    bool installerLaunched = false;
    bool userExit = false;
};
