#pragma once
// The start of a front end, in the order the window makes it: one running instance per
// product key, the package's configuration, the controller's start-up, the expiry
// notice, the front end's own settings and, where the front end wants it, the start
// button when there is nothing to resume. Every front end (the window, the console,
// the test driver) runs this and nothing of its own in its place.
//
// Start, the instance's requests (Instance) and End belong to one thread: the front
// end's, which later starts address.
#include "app/ControllerConfig.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

class DownloadController;
namespace platform {
class SingleInstance;
}

class ControllerStartup {
public:
    enum class Outcome {
        AlreadyRunning, // another instance answered: this one ends, the controller untouched
        Failed,         // the controller could not start (InitResult is negative)
        Expired,        // this downloader may no longer be used (ExpiryMessage, ExpiryUrl)
        Fresh,          // nothing to resume
        Resumed,        // an earlier job was found and its tasks re-created
    };

    struct Options {
        // The package; none: the one in the program's configuration block.
        std::optional<ControllerConfig> config;
        // One instance per product key; the folder of its shared objects, empty for the
        // user's own.
        bool singleInstance = true;
        std::string instanceFolder;
        // A later start asked for this one to come to the front; on the front end's
        // thread, while it services the instance.
        std::function<void()> onActivate;
        // After a start that succeeded and before start is pressed: the front end's own
        // settings (a save folder, a speed limit). Gets the outcome, Fresh or Resumed.
        std::function<void(Outcome)> beforeStart;
        // Press start when there is nothing to resume, as a user at the window would.
        bool pressStart = false;
    };

    ControllerStartup(DownloadController& controller, Options options);
    ~ControllerStartup();
    ControllerStartup(const ControllerStartup&) = delete;
    ControllerStartup& operator=(const ControllerStartup&) = delete;

    // Runs once.
    Outcome Start();
    // Initialize's result; 0 when it did not run.
    int InitResult() const { return initResult_; }
    const std::string& ExpiryMessage() const { return expiryMessage_; }
    const std::string& ExpiryUrl() const { return expiryUrl_; }
    // The instance this start holds; null without one (or before Start).
    platform::SingleInstance* Instance() const { return instance_.get(); }

    // The front end is closing: the controller's exit procedure, then the instance is
    // given up. Nothing after AlreadyRunning, which left the controller untouched.
    void End();

private:
    // The resource list's expiry notice; true when the downloader may no longer be used.
    bool CheckExpiry();

    DownloadController& controller_;
    Options options_;
    std::unique_ptr<platform::SingleInstance> instance_;
    Outcome outcome_ = Outcome::Failed;
    bool started_ = false;
    int initResult_ = 0;
    std::string expiryMessage_;
    std::string expiryUrl_;
};
