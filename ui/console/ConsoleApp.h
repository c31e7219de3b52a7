#pragma once
// The console front end's run: the controller's start-up (ControllerStartup), the two
// timers with the display of one snapshot each, and a loop on the thread that ran the
// start-up (the front end's thread) that presses the buttons the state asks for,
// answers later starts and takes the user-exit path on a signal.
#include "ui/console/CliOptions.h"
#include "ui/console/ConsoleFlow.h"

#include <atomic>
#include <memory>
#include <string>

class ConsoleDisplay;
class ConsoleFrontEnd;
class DownloadController;
struct ControllerView;
namespace platform {
class SingleInstance;
}

class ConsoleApp {
public:
    enum ExitCode {
        kExitDone = 0,
        kExitFailed = 1,
        kExitUsage = 2,
        kExitAlreadyRunning = 3,
        kExitInterrupted = 130,
    };

    struct Io {
        int in = 0;
        int out = 1;
        bool inTerminal = false;
        bool outTerminal = false;
    };

    ConsoleApp(CliOptions options, Io io);
    ~ConsoleApp();
    ConsoleApp(const ConsoleApp&) = delete;
    ConsoleApp& operator=(const ConsoleApp&) = delete;

    // Runs to the end; the exit code.
    int Run();
    // The user asked to end the program (a signal); any thread.
    void Interrupt();

    // The exit code of an ending step; -1 for Wait and the steps that are no ending.
    static int ExitCodeOf(ConsoleFlow::Step step);

private:
    // Carries the step out, and the steps it leads to; the ending step when the run is
    // over, else Wait.
    ConsoleFlow::Step Execute(ConsoleFlow::Step step, DownloadController& controller);
    // Until the run is over; the ending step.
    ConsoleFlow::Step Loop(DownloadController& controller);
    void Wake();
    // Answers later starts that wait; on the thread that ran the instance check.
    void ServiceActivation();
    // Says why the run ended; the package's place where it is complete.
    void ReportEnd(ConsoleFlow::Step step, const ControllerView& view);
    // The command line's save folder and speed limit, once the controller has started;
    // a resumed job keeps its folder.
    void ApplyOptions(DownloadController& controller, bool fresh);

    CliOptions options_;
    Io io_;
    std::shared_ptr<ConsoleDisplay> display_;
    std::unique_ptr<ConsoleFrontEnd> frontEnd_;
    std::unique_ptr<ConsoleFlow> flow_;
    platform::SingleInstance* instance_ = nullptr; // while the start-up holds one
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::atomic<bool> interrupted_{false};
    std::atomic<bool> primaryActionPosted_{false};
};
