#include "ui/console/ConsoleView.h"

#include "app/ControllerState.h"
#include "ui/console/ConsoleTexts.h"

#include <cstdio>

namespace {

using S = ControllerState;

} // namespace

std::string ConsoleView::FormatPercent(unsigned p) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%3.2f%%", p / 100.0);
    return buf;
}

ConsoleView ConsoleView::Of(const ControllerView& snapshot, unsigned repaints) {
    ConsoleView view;
    view.shown = snapshot;
    view.repairRepaints = repaints;
    view.Compose();
    return view;
}

void ConsoleView::Compose() {
    const ControllerView& v = shown;
    switch (v.state) {
    case S::kMd5Checking:
    case S::kCheckFinished:
        label = texts::kCliCheckLabel;
        percentText = FormatPercent(v.checkProgress);
        barProgress = v.checkProgress;
        break;
    case S::kCheckRecover:
        label = texts::kCliRepairLabel;
        percentText = v.repairProgress == 0 ? texts::kCliPreparingPercent : FormatPercent(v.repairProgress);
        barProgress = v.repairProgress;
        break;
    default:
        label = texts::kCliProgressLabel;
        percentText = FormatPercent(v.downloadProgress);
        barProgress = v.downloadProgress;
        break;
    }
    if (barProgress > 10000)
        barProgress = 10000;

    switch (v.state) {
    case S::kMd5Checking:
        statusText = texts::kCliVerifying;
        break;
    case S::kCheckRecover:
        if (v.repairProgress == 0)
            statusText = texts::kCliRepairPreparing;
        else
            statusText = repairRepaints % 12 < 4 ? texts::kCliRepairing : v.repairSpeedText;
        break;
    default:
        statusText = v.speedText;
        break;
    }

    if (v.state == S::kCheckFinished)
        completionText = v.wasRepaired ? texts::kCliRepaired : texts::kCliVerified;
    else if (v.state == S::kFinished || v.state == S::kInstalling)
        completionText = texts::kCliDownloaded;
    else
        completionText.clear();
}
