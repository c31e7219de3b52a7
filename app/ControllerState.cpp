#include "app/ControllerState.h"

#include "app/ControllerTexts.h"

bool ControllerState::IsActive(uint32_t s) {
    return s == kPreparing || s == kDownloading || s == kResume || s == kRetry || s == kRecover ||
           s == kReload;
}

bool ControllerState::TakeChange(uint32_t s) {
    if (s == announcedState_ && diskSpaceLow_ == announcedDiskLow_)
        return false;
    announcedState_ = s;
    announcedDiskLow_ = diskSpaceLow_;
    return true;
}

const char* ControllerState::LogLineOf(uint32_t s) {
    switch (s) {
    case kBack:
        return texts::kLogStateBack;
    case kReady:
        return texts::kLogStateReady;
    case kPreparing:
        return texts::kLogStatePreparing;
    case kDownloading:
        return texts::kLogStateDownloading;
    case kPause:
        return texts::kLogStatePause;
    case kResume:
        return texts::kLogStateResume;
    case kFailed:
        return texts::kLogStateFailed;
    case kRetry:
        return texts::kLogStateRetry;
    case kMd5Checking:
        return texts::kLogStateMd5Checking;
    case kCheckRecover:
        return texts::kLogStateCheckRecover;
    case kCheckFinished:
        return texts::kLogStateCheckFinished;
    case kRecover:
        return texts::kLogStateRecover;
    case kReload:
        return texts::kLogStateReload;
    default:
        return nullptr;
    }
}
