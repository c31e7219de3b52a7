#include "app/ProgramExit.h"

#include "app/ControllerContext.h"
#include "app/ControllerState.h"
#include "app/ControllerTexts.h"
#include "app/IControllerFrontEnd.h"
#include "app/JobRecord.h"
#include "app/StatisticsEvents.h"
#include "app/TaskControl.h"
#include "engine/api/BrisklaneEngine.h"
#include "platform/Paths.h"
#include "platform/ShellOpen.h"
#include "platform/SystemShutdown.h"

#include <functional>
#include <memory>

namespace {

using Scope = ControllerLock::Scope;

// The shell counts values above this as success.
constexpr int kShellSuccessAbove = 32;
constexpr int kShutdownDelaySeconds = 60;

} // namespace

ProgramExit::ProgramExit(const ControllerContext& context, ControllerState& state, JobRecord& job,
                         TaskControl& tasks)
    : context_(context), state_(state), job_(job), tasks_(tasks) {}

void ProgramExit::Reset() {
    userExit_ = 0;
    exitConfirmed_ = 0;
    installerLaunched_ = 0;
}

void ProgramExit::SetUserExit(bool on) {
    userExit_ = on ? 1 : 0;
    exitConfirmed_ = userExit_;
}

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
        Scope scope(context_.lock());
        before = state_.Get();
        state_.Enter(ControllerState::kInstalling);
        folder = job_.SavePath();
        entry = job_.EntryName();
        path = platform::JoinPath(folder, entry);
        if (!platform::PathExists(path)) {
            EngineMessageBox(context_.OwnerWindow(), texts::kMsgInstallerMissing,
                             texts::kCaptionInstallFailed, 0);
            context_.events().FileEvent(StatisticsEvents::kInstallerMissing, entry,
                                        texts::kEventInstallerMissing);
            LogLine(kLogController, texts::kLogInstallerMissing);
            return;
        }
        open = context_.env().shellOpen;
    }
    // The start may take seconds (an opener is waited for); the timers go on meanwhile.
    const int r = open ? open(path, folder) : platform::ShellOpen(path, folder);

    IControllerFrontEnd* front = nullptr;
    {
        Scope scope(context_.lock());
        state_.Enter(before);
        if (r <= kShellSuccessAbove) {
            const std::string reason = std::string(texts::kReasonInstallFailed) +
                                       (verified ? texts::kReasonVerified : texts::kReasonNotVerified) +
                                       OpenFailureText(r);
            EngineMessageBox(context_.OwnerWindow(), texts::kMsgInstallerFailed, texts::kCaptionInstallFailed,
                             0);
            LogLine(kLogController, reason.c_str());
            try {
                context_.events().FileEvent(StatisticsEvents::kInstallerFailed, entry, reason);
            } catch (...) {
                LogLine(kLogStatisticsUpload, "DC failed");
            }
            return;
        }
        LogLine(kLogController, texts::kLogInstallStarted);
        installerLaunched_ = 1;
        front = context_.env().frontEnd;
    }
    // Closing the window ends the program through OnExit.
    if (front)
        front->CloseMainWindow();
}

void ProgramExit::OnExit() {
    Scope scope(context_.lock());
    if (exited_)
        return;
    exited_ = true;
    if (userExit_) {
        LogLine(kLogController, texts::kLogUserExit);
        const uint32_t s = state_.Get();
        if (s != ControllerState::kFinished && s != ControllerState::kBack && s != ControllerState::kReady)
            tasks_.ReportProgressEvent(StatisticsEvents::kUserExit);
        LogLine(kLogController, texts::kLogExitLine);
    } else if (installerLaunched_) {
        LogLine(kLogController, texts::kLogExitForInstaller);
        LogLine(kLogController, texts::kLogExitLine);
    } else {
        tasks_.ReportProgressEvent(StatisticsEvents::kAbnormalEnd, "Unknow Exit, maybe crashed");
        LogLine(kLogController, texts::kLogUnexpectedExit);
        state_.Enter(ControllerState::kClosedWithoutExit);
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
        Scope scope(context_.lock());
        owner = context_.OwnerWindow();
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
