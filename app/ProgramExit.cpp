#include "app/ProgramExit.h"

#include "app/ControllerTexts.h"
#include "app/DownloadController.h"
#include "app/IControllerFrontEnd.h"
#include "app/StatisticsEvents.h"
#include "engine/api/BrisklaneEngine.h"
#include "platform/Paths.h"
#include "platform/ShellOpen.h"
#include "platform/SystemShutdown.h"

namespace {

// The log category of the controller's progress and state lines.
// The statistics upload's log.
// The shell counts values above this as success.
constexpr int kShellSuccessAbove = 32;
constexpr int kShutdownDelaySeconds = 60;

} // namespace

ProgramExit::ProgramExit(DownloadController& controller) : c_(controller) {}

const char* ProgramExit::OpenFailureText(int value) {
    switch (value) {
    case 2:
        return "The specified file was not found.";
    case 3:
        return "The specified path was not found.";
    case 5:
        return "The operating system denied access to the specified file.";
    case 8:
        return "There was not enough memory to complete the operation.";
    case 11:
        return "The .exe file is invalid (non-Win32 .exe or error in .exe image).";
    case 26:
        return "A sharing violation occurred.";
    case 27:
        return "The file name association is incomplete or invalid.";
    case 28:
        return "The DDE transaction could not be completed because the request timed out.";
    case 29:
        return "The DDE transaction failed.";
    case 30:
        return "The DDE transaction could not be completed because other DDE transactions were being "
               "processed.";
    case 31:
        return "There is no application associated with the given file name extension. "
               "This error will also be returned if you attempt to print a file that is not printable.";
    case 32:
        return "The specified DLL was not found.";
    default:
        return value > kShellSuccessAbove ? "" : "Unknown open failed";
    }
}

void ProgramExit::Install(bool verified) {
    uint32_t before = 0;
    std::string path, folder, entry;
    std::function<int(const std::string&, const std::string&)> open;
    {
        DownloadController::Scope scope(c_);
        before = c_.state_;
        c_.state_ = DownloadController::kInstalling;
        folder = c_.savePath_;
        entry = c_.entryName_;
        path = platform::JoinPath(folder, entry);
        if (!platform::PathExists(path)) {
            EngineMessageBox(c_.ownerWindow_, texts::kMsgInstallerMissing, texts::kCaptionInstallFailed, 0);
            c_.events_.FileEvent(StatisticsEvents::kInstallerMissing, entry, texts::kEventInstallerMissing);
            LogLine(kLogController, texts::kLogInstallerMissing);
            return;
        }
        open = c_.env_.shellOpen;
    }
    // The start may take seconds (an opener is waited for); the timers go on meanwhile.
    const int r = open ? open(path, folder) : platform::ShellOpen(path, folder);

    IControllerFrontEnd* front = nullptr;
    {
        DownloadController::Scope scope(c_);
        c_.state_ = before;
        if (r <= kShellSuccessAbove) {
            const std::string reason = std::string(texts::kReasonInstallFailed) +
                                       (verified ? texts::kReasonVerified : texts::kReasonNotVerified) +
                                       OpenFailureText(r);
            EngineMessageBox(c_.ownerWindow_, texts::kMsgInstallerFailed, texts::kCaptionInstallFailed, 0);
            LogLine(kLogController, reason.c_str());
            try {
                c_.events_.FileEvent(StatisticsEvents::kInstallerFailed, entry, reason);
            } catch (...) {
                LogLine(kLogStatisticsUpload, "DC failed");
            }
            return;
        }
        LogLine(kLogController, texts::kLogInstallStarted);
        c_.installerLaunched_ = 1;
        front = c_.env_.frontEnd;
    }
    // Closing the window ends the program through OnExit.
    if (front)
        front->CloseMainWindow();
}

void ProgramExit::OnExit() {
    DownloadController::Scope scope(c_);
    if (c_.exited_)
        return;
    c_.exited_ = true;
    if (c_.userExit_) {
        LogLine(kLogController, texts::kLogUserExit);
        const uint32_t s = c_.state_;
        if (s != DownloadController::kFinished && s != DownloadController::kBack &&
            s != DownloadController::kReady)
            c_.ReportProgressEvent(StatisticsEvents::kUserExit);
        LogLine(kLogController, texts::kLogExitLine);
    } else if (c_.installerLaunched_) {
        LogLine(kLogController, texts::kLogExitForInstaller);
        LogLine(kLogController, texts::kLogExitLine);
    } else {
        c_.ReportProgressEvent(StatisticsEvents::kAbnormalEnd, "Unknow Exit, maybe crashed");
        LogLine(kLogController, texts::kLogUnexpectedExit);
        c_.state_ = DownloadController::kClosedWithoutExit;
        LogLine(kLogController, texts::kLogExitedLine);
    }
    // Tasks first: a task thread writes to the log until it has stopped, and the log
    // goes with the services.
    EngineCleanup();
    EngineCloseServices();
}

void ProgramExit::ShutdownIn(unsigned /*seconds*/) {
    void* owner = nullptr;
    {
        DownloadController::Scope scope(c_);
        owner = c_.ownerWindow_;
    }
    auto failed = [owner] { EngineMessageBox(owner, texts::kMsgShutdownFailed, texts::kCaption, 0); };
    const std::shared_ptr<platform::SystemShutdown> shutdown = platform::SystemShutdown::Current();
    // Whether this process may power the machine off; the request itself is tried
    // either way, as only the system's answer to it is final.
    if (!shutdown->MayShutDown())
        failed();
    if (!shutdown->ScheduleShutdown(kShutdownDelaySeconds, texts::kMsgShutdownNotice))
        failed();
}
