#include "ui/console/ConsoleFlow.h"

#include "app/ControllerState.h"

using Step = ConsoleFlow::Step;
using S = ControllerState;

Step ConsoleFlow::PressAs(Pressed what) {
    lastPress_ = what;
    pressedThisVisit_ = true;
    return Step::Press;
}

Step ConsoleFlow::OnState(const ControllerView& view) {
    const uint32_t state = view.state;
    const bool diskLow = view.diskSpaceLow;
    const bool sparse = view.watchingDiskSpace;
    if (state != lastState_) {
        lastState_ = state;
        pressedThisVisit_ = false;
    }
    switch (state) {
    case S::kBack:
    case S::kReady:
        // Back at the start button: only a shortage the controller watches can pass.
        if (diskLow)
            return sparse ? Step::Wait : Step::NoSpace;
        return pressedThisVisit_ ? Step::Wait : PressAs(Pressed::Start);
    case S::kPause:
        // The console never pauses; a pause is the disk running short.
        if (diskLow)
            return sparse ? Step::Wait : Step::DiskFull;
        return pressedThisVisit_ ? Step::Wait : PressAs(Pressed::Continue);
    case S::kFailed:
        return verificationSeen_ ? Step::VerifyFailed : Step::Failed;
    case S::kFinished:
        if (finishPressed_)
            return Step::Wait;
        if (!install_) {
            if (verify_ == Verify::No)
                return Step::Complete;
            if (verify_ == Verify::Ask)
                return Step::AskVerify;
        }
        finishPressed_ = true;
        return PressAs(Pressed::Finished);
    case S::kMd5Checking:
    case S::kCheckRecover:
        verificationSeen_ = true;
        return Step::Wait;
    case S::kCheckFinished:
        if (!install_)
            return Step::Complete;
        if (installPressed_)
            return Step::Wait;
        installPressed_ = true;
        return PressAs(Pressed::Install);
    default:
        return Step::Wait;
    }
}

Step ConsoleFlow::OnPostedPrimaryAction() {
    // Only a verification that passed on the way to installing posts; the console may
    // have pressed install already on seeing checkfinished.
    if (!install_ || installPressed_)
        return Step::Wait;
    installPressed_ = true;
    return PressAs(Pressed::Install);
}

Step ConsoleFlow::AfterPress(const ControllerView& view, bool closeRequested) {
    const uint32_t state = view.state;
    if (closeRequested)
        return Step::Installed;
    const Pressed press = lastPress_;
    lastPress_ = Pressed::None;
    switch (press) {
    case Pressed::Finished:
        if (state == S::kMd5Checking || state == S::kCheckRecover || state == S::kCheckFinished) {
            verificationSeen_ = true;
            return Step::Wait;
        }
        // Neither verifying nor closed: without verification the press was the
        // installer's start, with it verification did not begin.
        return verify_ == Verify::No ? Step::InstallFailed : Step::VerifyFailed;
    case Pressed::Install:
        return Step::InstallFailed;
    default:
        return Step::Wait;
    }
}

Step ConsoleFlow::SetVerifyAnswer(bool yes) {
    verify_ = yes ? Verify::Yes : Verify::No;
    if (!install_ && !yes)
        return Step::Complete;
    finishPressed_ = true;
    return PressAs(Pressed::Finished);
}
