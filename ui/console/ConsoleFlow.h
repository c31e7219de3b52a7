#pragma once
// What the console does in each state, in the place of the user at the window: which
// button it presses and when the run is over. Pure decisions, taken from the
// controller's snapshot; ConsoleApp carries them out on its own thread and reports back
// what a press led to.
#include "app/ControllerView.h"
#include "ui/console/CliOptions.h"

#include <cstdint>

class ConsoleFlow {
public:
    using Verify = CliOptions::Verify;

    enum class Step {
        Wait,          // nothing to do now
        Press,         // run PrimaryAction (then report it with AfterPress)
        AskVerify,     // ask the verification question now (then SetVerifyAnswer)
        Complete,      // the package is complete and no installer is wanted: exit 0
        Installed,     // the installer started: exit 0
        NoSpace,       // the download cannot start for lack of disk space: exit 1
        DiskFull,      // the download stopped for lack of disk space: exit 1
        Failed,        // the download failed: exit 1
        VerifyFailed,  // verification gave up, or could not start: exit 1
        InstallFailed, // the installer could not start: exit 1
        Interrupted    // the user ended the program (never decided here): exit 130
    };

    ConsoleFlow(bool install, Verify verify) : install_(install), verify_(verify) {}

    // The controller as seen now: its state, the disk flag and whether it watches the
    // free space (then a shortage may pass by itself).
    Step OnState(const ControllerView& view);
    // The controller asked for PrimaryAction on the front end's thread.
    Step OnPostedPrimaryAction();
    // After a press that OnState or OnPostedPrimaryAction asked for: the controller as
    // the press left it and whether the installer asked the front end to close.
    Step AfterPress(const ControllerView& view, bool closeRequested);
    // The answer to AskVerify: yes goes on to verify, no ends the run.
    Step SetVerifyAnswer(bool yes);
    // The answer the user gave when the controller itself asked.
    void NoteVerifyAnswer(bool yes) { verify_ = yes ? Verify::Yes : Verify::No; }

    // The answer the controller's question gets; Ask until the user answered.
    Verify verify() const { return verify_; }
    bool VerificationSeen() const { return verificationSeen_; }

private:
    enum class Pressed { None, Start, Continue, Finished, Install };

    Step PressAs(Pressed what);

    bool install_;
    Verify verify_;
    Pressed lastPress_ = Pressed::None;
    bool finishPressed_ = false;
    bool installPressed_ = false;
    bool verificationSeen_ = false;
    // One press per visit of ready/back or pause: a press that changes nothing must
    // not repeat every poll.
    bool pressedThisVisit_ = false;
    uint32_t lastState_ = 0xFFFFFFFFu;
};
