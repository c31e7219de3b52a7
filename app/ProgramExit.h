#pragma once
// The ways the program ends, each logged and reported on its own: the installer is
// started and the downloader closes, the user ends it, or its window goes without
// either. Also the power-off one minute after the download, when the user asked for
// it. Keeps the flags that tell how the program ends; they and what it reads of the
// rest are guarded by the controller mutex, which it does not hold while the
// installer starts or the shutdown is scheduled.
#include <cstdint>
#include <string>

class ControllerContext;
class ControllerState;
class JobRecord;
class TaskControl;

class ProgramExit {
public:
    ProgramExit(const ControllerContext& context, ControllerState& state, JobRecord& job, TaskControl& tasks);

    // The start of a run: nobody chose to end it yet.
    void Reset();
    // The user chose to end the program, or took that back; mutex held.
    void SetUserExit(bool on);
    bool UserExit() const { return userExit_ != 0; }
    bool InstallerLaunched() const { return installerLaunched_ != 0; }

    // Opens the entry file of the package in the save folder; on success asks the
    // front end to close its window. A missing file leaves the installing state;
    // a failed start restores the state before it.
    void Install(bool verified);
    // Logs and reports why the program ends, then closes the engine. Once.
    void OnExit();
    // Schedules the power-off in one minute (the argument is ignored).
    void ShutdownIn(unsigned seconds);

    // The text a failed start adds to its reason, by the shell's value.
    static const char* OpenFailureText(int value);

private:
    const ControllerContext& context_;
    ControllerState& state_;
    JobRecord& job_;
    TaskControl& tasks_;
    uint32_t userExit_ = 0;
    uint32_t exitConfirmed_ = 0; // set and cleared with userExit_; the window's cancel reads it
    uint32_t installerLaunched_ = 0;
    bool exited_ = false;
};
