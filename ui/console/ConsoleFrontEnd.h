#pragma once
// The controller's front end on the console: modal messages become lines, the
// verification question gets the answer of the command line or of the user at the
// terminal, and the two requests for the front end's own thread are handed to the
// console's loop.
#include "app/IControllerFrontEnd.h"
#include "ui/console/CliOptions.h"

#include <atomic>
#include <functional>
#include <string>

class ConsoleDisplay;

class ConsoleFrontEnd : public IControllerFrontEnd {
public:
    struct Hooks {
        std::function<void()> postPrimaryAction; // from any thread
        std::function<void()> closeMainWindow;
        std::function<bool()> interrupted; // a question being asked gives up
        std::function<void()> whileAsking; // now and then while waiting for the answer
    };

    // answer Ask reads the terminal on inputFd.
    ConsoleFrontEnd(ConsoleDisplay& display, CliOptions::Verify answer, int inputFd, Hooks hooks);

    void ShowModalMessage(const std::string& text, const std::string& caption) override;
    bool AskYesNo(const std::string& text, const std::string& caption) override;
    void PostPrimaryAction() override;
    void CloseMainWindow() override;

    // The answer later questions get (after the console asked on its own).
    void SetAnswer(CliOptions::Verify answer) { answer_.store(answer); }
    // The last answer given; -1 before any question, 0 no, 1 yes.
    int LastAnswer() const { return lastAnswer_.load(); }
    bool CloseRequested() const { return closeRequested_.load(); }

    // A line read from the terminal as the answer: 1 yes, 0 no, -1 neither. An empty
    // line is yes, the default of the question.
    static int ParseAnswer(const std::string& line);

private:
    // Reads one line from inputFd; false at its end or when interrupted.
    bool ReadLine(std::string& line);

    ConsoleDisplay& display_;
    std::atomic<CliOptions::Verify> answer_;
    int inputFd_;
    Hooks hooks_;
    std::atomic<int> lastAnswer_{-1};
    std::atomic<bool> closeRequested_{false};
};
