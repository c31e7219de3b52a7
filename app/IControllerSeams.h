#pragma once
// The controller's calls into verification, installation, shutdown and the mirror
// refresh. The controller's own operations stand behind them unless the environment
// puts others in their place (tests); the base versions do nothing. The controller
// makes these calls with no lock of its own held, so an implementation may call back
// into the controller.
class IControllerSeams {
public:
    virtual ~IControllerSeams() = default;
    // The primary button in state finished: ask whether to verify, then verify or
    // install.
    virtual void AskVerifyThenInstall() {}
    // Starts the installer; verified tells whether a verification preceded.
    virtual void Install(bool /*verified*/) {}
    // Asks the system to shut down after the given delay.
    virtual void ShutdownIn(unsigned /*seconds*/) {}
    // Fetches the resource list again on a worker thread and adds its mirrors.
    virtual void StartMirrorRefresh() {}
};
