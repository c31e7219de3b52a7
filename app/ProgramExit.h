#pragma once
// The ways the program ends, each logged and reported on its own: the installer is
// started and the downloader closes, the user ends it, or its window goes without
// either. Also the power-off one minute after the download, when the user asked for
// it. Works on the controller's fields under the controller mutex, which it does not
// hold while the installer starts or the shutdown is scheduled.
#include <string>

class DownloadController;

class ProgramExit {
public:
    explicit ProgramExit(DownloadController& controller);

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
    DownloadController& c_;
};
