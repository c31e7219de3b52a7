#include "ui/console/ConsoleView.h"

#include "app/DownloadController.h"
#include "ui/console/ConsoleTexts.h"

#include <cstdio>
#include <vector>

namespace {

// A text query as the window makes it: the length first, then the text.
template <typename Query> std::string Ask(Query query) {
    const int length = query(nullptr, nullptr);
    if (length <= 0)
        return {};
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    const int capacity = static_cast<int>(buffer.size());
    if (query(buffer.data(), &capacity) <= 0)
        return {};
    return std::string(buffer.data());
}

bool Checking(uint32_t s) {
    return s == DownloadController::kMd5Checking || s == DownloadController::kCheckRecover ||
           s == DownloadController::kCheckFinished || s == DownloadController::kInstalling;
}

} // namespace

std::string ConsoleView::FormatPercent(unsigned p) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%3.2f%%", p / 100.0);
    return buf;
}

std::string ConsoleView::SaveFolderOf(DownloadController& c) {
    char path[4096];
    const int capacity = sizeof path;
    return c.GetSavePath(path, &capacity) == -1 ? std::string(path) : std::string();
}

void ConsoleView::ReadQuick(DownloadController& c) {
    state = c.State();
    downloadProgress = c.Progress();
    if (Checking(state)) {
        checkProgress = c.GetCheckProgress();
        repairProgress = c.GetRepairProgress();
    }
    wasRepaired = c.WasRepaired();
}

void ConsoleView::ReadTexts(DownloadController& c) {
    state = c.State();
    switch (state) {
    case DownloadController::kFinished:
    case DownloadController::kCheckFinished:
    case DownloadController::kMd5Checking:
        // The window asks no speed here; nothing moves, which is what the query says.
        speedText = "0 B/s";
        break;
    case DownloadController::kCheckRecover:
        ++repairRepaints;
        repairSpeedText = Ask([&](char* b, const int* n) { return c.GetRepairSpeedText(b, n); });
        break;
    default:
        speedText = Ask([&](char* b, const int* n) { return c.GetSpeedText(b, n); });
        break;
    }
    sizeText = Ask([&](char* b, const int* n) { return c.GetSizeText(b, n); });
    if (versionText.empty())
        versionText = Ask([&](char* b, const int* n) { return c.GetVersionText(b, n); });
    saveFolder = SaveFolderOf(c);
    for (int i = 0; i < kRows; ++i) {
        if (rows[i].name.empty())
            rows[i].name = Ask([&](char* b, const int* n) { return c.GetFileName(i, b, n); });
        rows[i].status = Ask([&](char* b, const int* n) { return c.GetFileStatusText(i, b, n); });
    }
}

void ConsoleView::Compose() {
    switch (state) {
    case DownloadController::kMd5Checking:
    case DownloadController::kCheckFinished:
        label = texts::kCliCheckLabel;
        percentText = FormatPercent(checkProgress);
        barProgress = checkProgress;
        break;
    case DownloadController::kCheckRecover:
        label = texts::kCliRepairLabel;
        percentText = repairProgress == 0 ? texts::kCliPreparingPercent : FormatPercent(repairProgress);
        barProgress = repairProgress;
        break;
    default:
        label = texts::kCliProgressLabel;
        percentText = FormatPercent(downloadProgress);
        barProgress = downloadProgress;
        break;
    }
    if (barProgress > 10000)
        barProgress = 10000;

    switch (state) {
    case DownloadController::kMd5Checking:
        statusText = texts::kCliVerifying;
        break;
    case DownloadController::kCheckRecover:
        if (repairProgress == 0)
            statusText = texts::kCliRepairPreparing;
        else
            statusText = repairRepaints % 12 < 4 ? texts::kCliRepairing : repairSpeedText;
        break;
    default:
        statusText = speedText;
        break;
    }

    if (state == DownloadController::kCheckFinished)
        completionText = wasRepaired ? texts::kCliRepaired : texts::kCliVerified;
    else if (state == DownloadController::kFinished || state == DownloadController::kInstalling)
        completionText = texts::kCliDownloaded;
    else
        completionText.clear();
}
