#pragma once
#include "engine/core/QTMutex.h"

#include <cstdint>
#include <memory>
#include <thread>

// Base of every long-running engine activity (tasks, the clock, the upload thread,
// the UDP server). The thread is stopped cooperatively: Run polls CheckStop or
// WaitSeconds at its safe points.
class QThread {
public:
    QThread();
    QThread(const QThread&) = delete;
    QThread& operator=(const QThread&) = delete;
    // Derived classes must stop the thread in their own destructor (Run is theirs);
    // this one stops and joins whatever is left.
    virtual ~QThread();

    virtual void Run() = 0;
    virtual void Refresh() = 0;
    // Sleeps n seconds in 1-second steps; true as soon as a stop request is seen.
    virtual bool WaitSeconds(int n);
    virtual void Notify(void*) {}

    // label names the operation that starts the thread; owned is released when the
    // run ends.
    bool Start(const char* label, std::shared_ptr<void> owned = {});
    bool Stop();
    bool RequestStop(uint32_t& threadId);
    bool HasEnded(uint32_t threadId);
    bool IsRunning();
    bool SetPause(bool on);
    bool CheckStop();
    // The stop request, without waiting out a pause.
    bool StopRequested();
    uint32_t CurrentThreadId();
    uint32_t StartTime();

    bool Lock() { return lock_.Lock(); }
    bool Unlock() { return lock_.Unlock(); }
    QTMutex& ObjectLock() { return lock_; }

protected:
    // Called on the thread when Run ended with an exception, after the object lock
    // was released; tasks release the engine's shared locks here.
    virtual void ReleaseLocksAfterFailure() {}

private:
    void Body(int generation);
    void JoinFinished();

    QTMutex lock_;
    std::shared_ptr<void> owned_;
    uint32_t threadId_ = 0;
    bool starting_ = false;
    bool running_ = false;
    bool stopRequested_ = false;
    bool paused_ = false;
    uint32_t startTime_ = 0;
    int generation_ = 0;
    // The generation whose thread has announced itself.
    int announced_ = 0;
    // Joined before a new start and at destruction, so no run outlives its object.
    std::thread thread_;
    QTMutex joinLock_;
};
