// The console's presses, state by state, as the user at the window would make them.
#include "ui/console/ConsoleFlow.h"

#include "app/ControllerState.h"

#include <gtest/gtest.h>

namespace {

using Step = ConsoleFlow::Step;
using Verify = CliOptions::Verify;
using DC = ControllerState;

// The controller as the flow sees it.
ControllerView View(uint32_t state, bool diskLow = false, bool sparse = false) {
    ControllerView v;
    v.state = state;
    v.diskSpaceLow = diskLow;
    v.watchingDiskSpace = sparse;
    return v;
}

TEST(ConsoleFlowTest, StartButtonIsPressedOncePerVisitOfReady) {
    ConsoleFlow flow(true, Verify::Yes);
    EXPECT_EQ(flow.OnState(View(DC::kReady)), Step::Press);
    EXPECT_EQ(flow.AfterPress(View(DC::kPreparing), false), Step::Wait);
    EXPECT_EQ(flow.OnState(View(DC::kPreparing)), Step::Wait);
    for (uint32_t s : {DC::kDownloading, DC::kResume, DC::kRecover, DC::kReload, DC::kRetry, DC::kInstalling})
        EXPECT_EQ(flow.OnState(View(s)), Step::Wait) << s;
    // Back at the start button later (the sparse watch gave the space back): pressed
    // again, but not on every poll.
    EXPECT_EQ(flow.OnState(View(DC::kReady, false, true)), Step::Press);
    EXPECT_EQ(flow.OnState(View(DC::kReady, false, true)), Step::Wait);
}

TEST(ConsoleFlowTest, DiskShortageEndsTheRunUnlessTheControllerWatchesIt) {
    struct Case {
        uint32_t state;
        bool sparse;
        Step step;
    };
    for (const Case& c : {Case{DC::kReady, false, Step::NoSpace}, Case{DC::kBack, false, Step::NoSpace},
                          Case{DC::kReady, true, Step::Wait}, Case{DC::kBack, true, Step::Wait},
                          Case{DC::kPause, false, Step::DiskFull}, Case{DC::kPause, true, Step::Wait}}) {
        ConsoleFlow flow(true, Verify::Yes);
        EXPECT_EQ(flow.OnState(View(c.state, true, c.sparse)), c.step) << c.state << " sparse " << c.sparse;
    }
    // The watched shortage passes: continue is pressed once.
    ConsoleFlow flow(true, Verify::Yes);
    EXPECT_EQ(flow.OnState(View(DC::kPause, true, true)), Step::Wait);
    EXPECT_EQ(flow.OnState(View(DC::kPause, false, true)), Step::Press);
    EXPECT_EQ(flow.AfterPress(View(DC::kResume), false), Step::Wait);
    EXPECT_EQ(flow.OnState(View(DC::kPause, false, true)), Step::Wait);
}

TEST(ConsoleFlowTest, FailedIsADownloadFailureOrAVerificationThatGaveUp) {
    ConsoleFlow download(true, Verify::Yes);
    EXPECT_EQ(download.OnState(View(DC::kFailed)), Step::Failed);

    ConsoleFlow repair(true, Verify::Yes);
    EXPECT_EQ(repair.OnState(View(DC::kFinished)), Step::Press);
    EXPECT_EQ(repair.AfterPress(View(DC::kMd5Checking), false), Step::Wait);
    EXPECT_EQ(repair.OnState(View(DC::kCheckRecover)), Step::Wait);
    EXPECT_EQ(repair.OnState(View(DC::kFailed)), Step::VerifyFailed);
}

TEST(ConsoleFlowTest, VerifiedInstallPressesInstallOnceWhicheverComesFirst) {
    // checkfinished seen first; the posted action that follows is not a second press.
    ConsoleFlow seen(true, Verify::Yes);
    EXPECT_EQ(seen.OnState(View(DC::kFinished)), Step::Press);
    EXPECT_EQ(seen.AfterPress(View(DC::kMd5Checking), false), Step::Wait);
    EXPECT_EQ(seen.OnState(View(DC::kFinished)), Step::Wait) << "finished pressed once";
    EXPECT_EQ(seen.OnState(View(DC::kCheckFinished)), Step::Press);
    EXPECT_EQ(seen.AfterPress(View(DC::kCheckFinished), true), Step::Installed);
    EXPECT_EQ(seen.OnPostedPrimaryAction(), Step::Wait);

    // The posted action first; checkfinished then waits for the close.
    ConsoleFlow posted(true, Verify::Yes);
    EXPECT_EQ(posted.OnState(View(DC::kFinished)), Step::Press);
    EXPECT_EQ(posted.AfterPress(View(DC::kMd5Checking), false), Step::Wait);
    EXPECT_EQ(posted.OnPostedPrimaryAction(), Step::Press);
    EXPECT_EQ(posted.AfterPress(View(DC::kCheckFinished), false), Step::InstallFailed);
    EXPECT_EQ(posted.OnState(View(DC::kCheckFinished)), Step::Wait);
}

TEST(ConsoleFlowTest, PressInFinishedThatNeitherVerifiesNorClosesIsAFailure) {
    ConsoleFlow unverified(true, Verify::No);
    EXPECT_EQ(unverified.OnState(View(DC::kFinished)), Step::Press);
    EXPECT_EQ(unverified.AfterPress(View(DC::kFinished), false), Step::InstallFailed);

    ConsoleFlow missing(true, Verify::No);
    EXPECT_EQ(missing.OnState(View(DC::kFinished)), Step::Press);
    EXPECT_EQ(missing.AfterPress(View(DC::kInstalling), false), Step::InstallFailed) << "installer missing";

    ConsoleFlow started(true, Verify::No);
    EXPECT_EQ(started.OnState(View(DC::kFinished)), Step::Press);
    EXPECT_EQ(started.AfterPress(View(DC::kFinished), true), Step::Installed);

    ConsoleFlow noVerification(true, Verify::Yes);
    EXPECT_EQ(noVerification.OnState(View(DC::kFinished)), Step::Press);
    EXPECT_EQ(noVerification.AfterPress(View(DC::kFinished), false), Step::VerifyFailed);

    // Asked at the terminal by the controller: the answer given decides.
    ConsoleFlow asked(true, Verify::Ask);
    EXPECT_EQ(asked.OnState(View(DC::kFinished)), Step::Press);
    asked.NoteVerifyAnswer(false);
    EXPECT_EQ(asked.AfterPress(View(DC::kFinished), false), Step::InstallFailed);
}

TEST(ConsoleFlowTest, NoInstallStopsAtTheCompletePackage) {
    ConsoleFlow unverified(false, Verify::No);
    EXPECT_EQ(unverified.OnState(View(DC::kFinished)), Step::Complete);

    ConsoleFlow verified(false, Verify::Yes);
    EXPECT_EQ(verified.OnState(View(DC::kFinished)), Step::Press);
    EXPECT_EQ(verified.AfterPress(View(DC::kMd5Checking), false), Step::Wait);
    EXPECT_EQ(verified.OnPostedPrimaryAction(), Step::Wait) << "no installer";
    EXPECT_EQ(verified.OnState(View(DC::kCheckFinished)), Step::Complete);

    // Asking: the console asks before pressing, so that a no never reaches the
    // controller, which would start the installer.
    ConsoleFlow declined(false, Verify::Ask);
    EXPECT_EQ(declined.OnState(View(DC::kFinished)), Step::AskVerify);
    EXPECT_EQ(declined.SetVerifyAnswer(false), Step::Complete);

    ConsoleFlow agreed(false, Verify::Ask);
    EXPECT_EQ(agreed.OnState(View(DC::kFinished)), Step::AskVerify);
    EXPECT_EQ(agreed.SetVerifyAnswer(true), Step::Press);
    EXPECT_EQ(agreed.verify(), Verify::Yes);
    EXPECT_EQ(agreed.AfterPress(View(DC::kMd5Checking), false), Step::Wait);
    EXPECT_EQ(agreed.OnState(View(DC::kFinished)), Step::Wait);
}

} // namespace
