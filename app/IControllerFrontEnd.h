#pragma once
// What the controller asks of the front end that drives it (the window, the console):
// the few answers that must wait for the user. Non-blocking notices do not come here;
// they go through the engine's message box.
#include <string>

class IControllerFrontEnd {
public:
    virtual ~IControllerFrontEnd() = default;
    // A message the user must acknowledge before the operation goes on. Texts are GBK.
    // Called on the thread of the operation, with no controller lock held.
    virtual void ShowModalMessage(const std::string& text, const std::string& caption) = 0;
    // A yes/no question; true for yes. Same thread and lock rules.
    virtual bool AskYesNo(const std::string& text, const std::string& caption) = 0;
    // Asks the front end to run PrimaryAction on its own thread soon (a verification
    // that passed on the way to installing goes on). May be called from any thread;
    // must not wait for the action.
    virtual void PostPrimaryAction() {}
    // The installer has started: the front end ends its loop, and calls OnExit as it
    // closes. Called on the thread of the operation, with no controller lock held.
    virtual void CloseMainWindow() {}
};
