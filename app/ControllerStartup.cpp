#include "app/ControllerStartup.h"

#include "app/DownloadController.h"
#include "app/EmbeddedConfigBlock.h"
#include "platform/SingleInstance.h"

#include <utility>

ControllerStartup::ControllerStartup(DownloadController& controller, Options options)
    : controller_(controller), options_(std::move(options)) {}

ControllerStartup::~ControllerStartup() = default;

ControllerStartup::Outcome ControllerStartup::Start() {
    if (started_)
        return outcome_;
    started_ = true;
    const ControllerConfig config =
        options_.config ? *options_.config
                        : ControllerConfig::FromBlock(embedded::EmbeddedConfigBlock::Program());

    if (options_.singleInstance) {
        instance_ = std::make_unique<platform::SingleInstance>(config.productKey, options_.instanceFolder);
        if (options_.onActivate)
            instance_->SetActivateHandler(options_.onActivate);
        if (!instance_->Check()) {
            instance_.reset();
            return outcome_ = Outcome::AlreadyRunning;
        }
    }

    controller_.LoadConfig(config);
    controller_.SetShutdownWhenDone(0);
    initResult_ = controller_.Initialize();
    if (initResult_ < 0)
        return outcome_ = Outcome::Failed;
    if (initResult_ == 0 && CheckExpiry())
        return outcome_ = Outcome::Expired;
    outcome_ = initResult_ > 0 ? Outcome::Resumed : Outcome::Fresh;
    if (options_.beforeStart)
        options_.beforeStart(outcome_);
    if (outcome_ == Outcome::Fresh && options_.pressStart)
        controller_.PrimaryAction();
    return outcome_;
}

// The controller has no resource list yet, and with it no expiry notice: until it has,
// no downloader counts as expired. Replace the body with the controller's CheckExpiry
// (message, url) once it exists.
bool ControllerStartup::CheckExpiry() {
    return false;
}

void ControllerStartup::End() {
    if (!started_ || outcome_ == Outcome::AlreadyRunning)
        return;
    controller_.OnExit();
    if (instance_)
        instance_->Close();
}
