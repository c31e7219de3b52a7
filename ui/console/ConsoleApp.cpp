#include "ui/console/ConsoleApp.h"

#include "app/ControllerEnvironment.h"
#include "app/ControllerSettings.h"
#include "app/ControllerStartup.h"
#include "app/ControllerTexts.h"
#include "app/ControllerTimers.h"
#include "app/DownloadController.h"
#include "platform/MessageSink.h"
#include "platform/SingleInstance.h"
#include "ui/console/ConsoleDisplay.h"
#include "ui/console/ConsoleFrontEnd.h"
#include "ui/console/ConsoleTexts.h"
#include "ui/console/ConsoleView.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <vector>

using Step = ConsoleFlow::Step;

namespace {

constexpr int kLoopWaitMs = 100;

std::string Printf(const char* format, const std::string& value) {
    std::vector<char> buffer(std::string(format).size() + value.size() + 1);
    std::snprintf(buffer.data(), buffer.size(), format, value.c_str());
    return buffer.data();
}

} // namespace

ConsoleApp::ConsoleApp(CliOptions options, Io io) : options_(std::move(options)), io_(io) {
    display_ = std::make_shared<ConsoleDisplay>(io_.out, io_.outTerminal);
    CliOptions::Verify answer = options_.verify;
    if (!options_.verifyGiven)
        answer = io_.inTerminal ? CliOptions::Verify::Ask : CliOptions::Verify::Yes;
    ConsoleFrontEnd::Hooks hooks;
    hooks.postPrimaryAction = [this] {
        primaryActionPosted_.store(true);
        Wake();
    };
    hooks.closeMainWindow = [this] { Wake(); };
    hooks.interrupted = [this] { return interrupted_.load(); };
    // A question waits on this thread; a later start must still get its answer within
    // its second, or it ends this process and takes over.
    hooks.whileAsking = [this] { ServiceActivation(); };
    frontEnd_ = std::make_unique<ConsoleFrontEnd>(*display_, answer, io_.in, std::move(hooks));
    flow_ = std::make_unique<ConsoleFlow>(options_.install, answer);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        wakeRead_ = fds[0];
        wakeWrite_ = fds[1];
    }
}

ConsoleApp::~ConsoleApp() {
    if (wakeRead_ >= 0)
        ::close(wakeRead_);
    if (wakeWrite_ >= 0)
        ::close(wakeWrite_);
}

void ConsoleApp::Wake() {
    if (wakeWrite_ >= 0) {
        const char byte = 1;
        (void)!::write(wakeWrite_, &byte, 1); // a full pipe is awake already
    }
}

void ConsoleApp::ServiceActivation() {
    if (!instance_ || instance_->activationFd() < 0)
        return;
    pollfd p{instance_->activationFd(), POLLIN, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN))
        instance_->HandlePending();
}

void ConsoleApp::Interrupt() {
    if (!interrupted_.exchange(true))
        display_->ShowLine(texts::kCliInterrupted);
    Wake();
}

int ConsoleApp::ExitCodeOf(Step step) {
    switch (step) {
    case Step::Complete:
    case Step::Installed:
        return kExitDone;
    case Step::NoSpace:
    case Step::DiskFull:
    case Step::Failed:
    case Step::VerifyFailed:
    case Step::InstallFailed:
        return kExitFailed;
    case Step::Interrupted:
        return kExitInterrupted;
    default:
        return -1;
    }
}

void ConsoleApp::ReportEnd(Step step, const ControllerView& view) {
    switch (step) {
    case Step::Complete:
        display_->ShowLine(texts::kCliPackageReady, view.savePath);
        break;
    case Step::Installed:
        display_->ShowLine(texts::kCliInstallerStarted);
        break;
    case Step::NoSpace:
        display_->ShowLine(texts::kCliNoSpace);
        break;
    case Step::DiskFull:
        display_->ShowLine(texts::kCliDiskFull);
        break;
    case Step::Failed:
        display_->ShowLine(texts::kCliDownloadFailed);
        break;
    case Step::VerifyFailed:
        display_->ShowLine(view.state == DownloadController::kFailed ? texts::kCliVerifyFailed
                                                                     : texts::kCliVerifyNotStarted);
        break;
    case Step::InstallFailed:
        display_->ShowLine(texts::kCliInstallFailed);
        break;
    default:
        break;
    }
}

Step ConsoleApp::Execute(Step step, DownloadController& controller) {
    for (;;) {
        switch (step) {
        case Step::Wait:
            return step;
        case Step::Press: {
            const int answeredBefore = frontEnd_->LastAnswer();
            controller.PrimaryAction();
            const int answered = frontEnd_->LastAnswer();
            if (answered >= 0 && answered != answeredBefore)
                flow_->NoteVerifyAnswer(answered == 1);
            step = flow_->AfterPress(controller.Snapshot(), frontEnd_->CloseRequested());
            break;
        }
        case Step::AskVerify: {
            const bool yes = frontEnd_->AskYesNo(texts::kCliAskVerify, texts::kCaption);
            // The controller's own question, should it come, gets the same answer.
            frontEnd_->SetAnswer(yes ? CliOptions::Verify::Yes : CliOptions::Verify::No);
            step = flow_->SetVerifyAnswer(yes);
            break;
        }
        default:
            return step;
        }
    }
}

Step ConsoleApp::Loop(DownloadController& controller) {
    for (;;) {
        pollfd fds[2] = {{instance_ ? instance_->activationFd() : -1, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        if (::poll(fds, 2, kLoopWaitMs) < 0 && errno != EINTR)
            return Step::Failed;
        if (instance_ && fds[0].fd >= 0 && (fds[0].revents & POLLIN))
            instance_->HandlePending();
        if (fds[1].revents & POLLIN) {
            char drain[64];
            while (::read(wakeRead_, drain, sizeof drain) > 0) {
            }
        }
        if (interrupted_.load())
            return Step::Interrupted;
        if (frontEnd_->CloseRequested())
            return Step::Installed;
        if (primaryActionPosted_.exchange(false)) {
            if (const Step end = Execute(flow_->OnPostedPrimaryAction(), controller); end != Step::Wait)
                return end;
        }
        if (const Step end = Execute(flow_->OnState(controller.Snapshot()), controller); end != Step::Wait)
            return end;
        // A signal that came while a press was asking stays for the next round.
    }
}

void ConsoleApp::ApplyOptions(DownloadController& controller, bool fresh) {
    if (!options_.saveDir.empty()) {
        if (fresh)
            controller.SetSavePath(options_.SaveFolder());
        else
            display_->ShowLine(texts::kCliKeepsSaveFolder, controller.Snapshot().savePath);
    }
    if (options_.speedLimit != 0) {
        ControllerSettings::SetSpeedLimit(options_.speedLimit);
        controller.SetSpeedLimit(options_.speedLimit);
    }
}

int ConsoleApp::Run() {
    // Message boxes arrive on threads of their own, also while the run ends: the sink
    // keeps the display alive.
    std::shared_ptr<ConsoleDisplay> display = display_;
    platform::SetMessageSink(
        [display](const platform::ShownMessage& m) { display->ShowMessage(m.text, m.caption); });

    ControllerEnvironment env;
    env.frontEnd = frontEnd_.get();
    DownloadController controller(env);
    ControllerTimers timers(controller);

    ControllerStartup::Options start;
    start.onActivate = [this] { display_->ShowLine(texts::kCliAskedToFront); };
    start.beforeStart = [&](ControllerStartup::Outcome outcome) {
        ApplyOptions(controller, outcome == ControllerStartup::Outcome::Fresh);
    };
    ControllerStartup startup(controller, std::move(start));
    const ControllerStartup::Outcome outcome = startup.Start();
    if (outcome == ControllerStartup::Outcome::AlreadyRunning) {
        platform::SetMessageSink({});
        display_->ShowLine(texts::kCliAlreadyRunning);
        return kExitAlreadyRunning;
    }
    instance_ = startup.Instance();

    bool startFailed = true;
    Step end = Step::Wait;
    if (outcome == ControllerStartup::Outcome::Failed) {
        char line[256];
        std::snprintf(line, sizeof line, texts::kCliStartFailed, startup.InitResult());
        display_->ShowLine(line);
    } else if (outcome == ControllerStartup::Outcome::Expired) {
        display_->ShowLine(Printf(texts::kCliExpired, startup.ExpiryMessage()) + " " + startup.ExpiryUrl());
    } else {
        startFailed = false;
        // Status texts drawn while repairing; they alternate between the word and the
        // speed, as the window's do.
        std::atomic<unsigned> repaints{0};
        // The start button, when there is nothing to resume, before the timers run.
        end = Execute(flow_->OnState(controller.Snapshot()), controller);
        if (end == Step::Wait) {
            timers.Start(
                [&](int) {
                    if (display_->live())
                        display_->ShowFrame(ConsoleView::Of(controller.Snapshot(), repaints.load()));
                },
                [&](int) {
                    const ControllerView snapshot = controller.Snapshot();
                    if (snapshot.state == DownloadController::kCheckRecover)
                        ++repaints;
                    display_->ShowStatusLine(ConsoleView::Of(snapshot, repaints.load()));
                });
            end = Loop(controller);
            timers.Stop();
            // The plain output shows one line a second, which a quick end can miss: the
            // state the package was left in (and whether it was repaired) is its last word.
            const ControllerView last = controller.Snapshot();
            if (last.state == DownloadController::kFinished ||
                last.state == DownloadController::kCheckFinished)
                display_->ShowStatusLine(ConsoleView::Of(last, repaints.load()));
        }
    }
    display_->Finish();
    ReportEnd(end, controller.Snapshot());

    // The window leaves through the user's exit everywhere but after the installer's
    // start, which the controller records itself.
    if (end != Step::Installed)
        controller.MarkUserExit();
    startup.End();
    instance_ = nullptr;
    platform::SetMessageSink({});
    return startFailed ? static_cast<int>(kExitFailed) : ExitCodeOf(end);
}
