#pragma once
// The download state and the disk-space flag: what the front end's buttons follow and
// what the primary button means. Both change here and nowhere else (Enter,
// SetDiskSpaceLow), whoever makes the change: the user's operations, the periodic
// callbacks, the verification worker, the exit. The status poll announces a change
// (its log line and, for finished, the steps that go with it) once it sees it: the
// announcement takes the state the poll began with, so a change made between two polls
// is logged by the next one, and a state left again before a poll saw it is not logged.
// Guarded by the controller mutex.
#include <cstdint>

class ControllerState {
public:
    // 2 and 14 carry no meaning, 9 is never entered.
    enum State : uint32_t {
        kBack = 0, // held back for lack of disk space
        kReady = 1,
        kUnused2 = 2,
        kPreparing = 3,
        kDownloading = 4,
        kPause = 5,
        kResume = 6,
        kFailed = 7,
        kFinished = 8,
        kRetry = 9,
        kMd5Checking = 10,
        kCheckRecover = 11,
        kCheckFinished = 12,
        kInstalling = 13,
        kUnused14 = 14,
        kRecover = 15,
        kReload = 16,
        kClosedWithoutExit = 17,
    };

    uint32_t Get() const { return state_; }
    // The one place the state changes.
    void Enter(uint32_t s) { state_ = s; }

    bool DiskSpaceLow() const { return diskSpaceLow_; }
    // The one place the disk-space flag changes.
    void SetDiskSpaceLow(bool low) { diskSpaceLow_ = low; }

    // The states in which tasks are at work (or about to be).
    static bool IsActive(uint32_t s);

    // The poll's test: true when s or the disk flag differ from what was announced
    // last, and then both count as announced.
    bool TakeChange(uint32_t s);
    // The line that announces s; null for finished (announced with its steps) and for
    // the states that have none.
    static const char* LogLineOf(uint32_t s);

private:
    uint32_t state_ = kReady;
    bool diskSpaceLow_ = false;
    // What the poll announced last. The flag starts set, so the first poll announces
    // the state the start-up left.
    uint32_t announcedState_ = kReady;
    bool announcedDiskLow_ = true;
};
