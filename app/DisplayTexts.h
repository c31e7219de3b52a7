#pragma once
// The texts the front end shows that depend on the controller's state: the size
// against the package's size, the status of each file, the package's place. Pure: the
// controller hands in what it knows. All texts GBK.
#include "engine/api/BrisklaneEngine.h"

#include <cstdint>
#include <string>

class DisplayTexts {
public:
    // Where verification stands (the verifier's figures).
    struct Check {
        int fileIndex = 0;
        uint32_t progress = 0;       // of the file at fileIndex, 1/10000
        uint32_t repairProgress = 0; // of the file being repaired
    };

    // "downloaded/total"; in finished the whole package is counted downloaded.
    static std::string SizeText(uint32_t state, uint64_t packageBytes, uint64_t downloadedBytes);
    // The second column of file i's row. status: what its task answered, null when it
    // did not (a finished file needs none).
    static std::string FileStatusText(int i, bool finished, uint32_t state, const Check& check,
                                      const TaskStatus* status);
    // The first package file in the save folder; empty without a save folder.
    static std::string PackagePath(const std::string& savePath, const std::string& firstFileName);
};
