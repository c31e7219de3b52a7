#include "app/DisplayTexts.h"

#include "app/ControllerState.h"
#include "app/ControllerTexts.h"
#include "app/DisplayFormat.h"
#include "platform/Paths.h"

#include <cstdio>

namespace {

using S = ControllerState;

std::string PercentWithBlanks(uint32_t p, const char* blanks) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%u.%02u%%", p / 100, p % 100);
    return std::string(buf) + blanks;
}

} // namespace

std::string DisplayTexts::SizeText(uint32_t state, uint64_t packageBytes, uint64_t downloadedBytes) {
    std::string left;
    if (state == S::kFinished)
        left = DisplayFormat::Size(packageBytes);
    else
        left = downloadedBytes != 0 ? DisplayFormat::Size(downloadedBytes) : "0 B";
    return left + "/" + DisplayFormat::Size(packageBytes);
}

std::string DisplayTexts::FileStatusText(int i, bool finished, uint32_t state, const Check& check,
                                         const TaskStatus* status) {
    if (!finished) {
        const char* idle = state == S::kDownloading ? texts::kStatusPreparing : texts::kStatusNotStarted;
        if (!status || status->progress == 0)
            return idle;
        if (status->progress >= 10000)
            return texts::kStatusDone;
        return PercentWithBlanks(status->progress, "    ");
    }
    switch (state) {
    case S::kMd5Checking:
        if (i > check.fileIndex)
            return texts::kStatusWaitVerify;
        if (i == check.fileIndex)
            return std::string(texts::kStatusVerifying) + PercentWithBlanks(check.progress, "  ");
        return texts::kStatusVerified;
    case S::kCheckRecover:
        if (i > check.fileIndex)
            return texts::kStatusWaitVerify;
        if (i < check.fileIndex)
            return texts::kStatusVerified;
        if (check.repairProgress != 0)
            return std::string(texts::kStatusRepairing) + PercentWithBlanks(check.repairProgress, "  ");
        return texts::kStatusPrepareRepair;
    case S::kCheckFinished:
        return texts::kStatusVerified;
    default:
        return texts::kStatusDone;
    }
}

std::string DisplayTexts::PackagePath(const std::string& savePath, const std::string& firstFileName) {
    if (savePath.empty())
        return "";
    return platform::JoinPath(savePath, firstFileName);
}
