#pragma once
// What every part of the controller shares: its surroundings (the environment, where
// events go, the seams), the package it downloads, the window that owns its message
// boxes and the one controller mutex. The parts keep a reference to it; the fields
// below the constructor are guarded by the mutex like every other field.
#include "app/ControllerConfig.h"
#include "app/ControllerEnvironment.h"
#include "app/ControllerLock.h"
#include "app/EventReporter.h"

#include <cstdint>
#include <functional>
#include <string>

class IControllerSeams;

class ControllerContext {
public:
    // ownSeams stands in when the environment names none.
    ControllerContext(ControllerEnvironment env, IControllerSeams& ownSeams);
    ControllerContext(const ControllerContext&) = delete;
    ControllerContext& operator=(const ControllerContext&) = delete;

    const ControllerEnvironment& env() const { return env_; }
    EventReporter& events() const { return events_; }
    IControllerSeams& seams() const { return seams_; }
    const ControllerLock& lock() const { return lock_; }

    const ControllerConfig& config() const { return config_; }
    void SetConfig(const ControllerConfig& config) { config_ = config; }
    const std::string& FileName(int i) const { return config_.fileNames[i]; }

    void* OwnerWindow() const { return ownerWindow_; }
    void SetOwnerWindow(void* window) { ownerWindow_ = window; }

    // A notice that does not wait for the user.
    void ShowNotice(const char* text) const;
    // A message the user must acknowledge, shown once the outermost operation has
    // released the mutex.
    void DeferModal(const char* text) const;
    void Defer(std::function<void()> work) const { lock_.Defer(std::move(work)); }
    void SleepUnlocked(uint32_t ms) const { lock_.SleepUnlocked(ms); }

private:
    ControllerEnvironment env_;
    EventReporter defaultEvents_;
    EventReporter& events_;
    IControllerSeams& seams_;
    ControllerLock lock_;
    ControllerConfig config_;
    void* ownerWindow_ = nullptr;
};
