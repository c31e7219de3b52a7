#include "engine/core/QThread.h"

#include "engine/core/EngineClock.h"
#include "platform/Clock.h"

#include <system_error>

QThread::QThread() = default;

QThread::~QThread() {
    Stop();
    JoinFinished();
}

void QThread::JoinFinished() {
    joinLock_.Lock();
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach();
        else
            thread_.join();
    }
    joinLock_.Unlock();
}

bool QThread::Start(const char* /*label*/, std::shared_ptr<void> owned) {
    if (IsRunning())
        return false;
    lock_.Lock();
    if (starting_ || threadId_ != 0) {
        lock_.Unlock();
        return false;
    }
    starting_ = true;
    lock_.Unlock();

    // The previous run has cleared its identity; wait for its last instructions.
    JoinFinished();

    lock_.Lock();
    stopRequested_ = false;
    paused_ = false;
    running_ = false;
    threadId_ = 0;
    startTime_ = 0;
    owned_.reset();
    const int generation = ++generation_;
    bool created = true;
    try {
        joinLock_.Lock();
        thread_ = std::thread([this, generation] { Body(generation); });
        joinLock_.Unlock();
    } catch (const std::system_error&) {
        joinLock_.Unlock();
        created = false;
    }
    if (created) {
        owned_ = std::move(owned);
        // The new thread announces itself by setting its identity and running.
        while (announced_ != generation && generation_ == generation) {
            lock_.Unlock();
            platform::SleepMs(50);
            lock_.Lock();
        }
    }
    starting_ = false;
    // A run that already ended did start; only a thread that never announced failed.
    const bool ok = created && announced_ == generation;
    lock_.Unlock();
    return ok;
}

void QThread::Body(int generation) {
    lock_.Lock();
    if (generation_ != generation) {
        lock_.Unlock();
        return;
    }
    threadId_ = platform::CurrentThreadId();
    running_ = true;
    announced_ = generation;
    lock_.Unlock();
    const uint32_t started = EngineUptime();
    lock_.Lock();
    startTime_ = started;
    const bool stopEarly = stopRequested_;
    lock_.Unlock();

    platform::SleepMs(5);

    bool failed = false;
    if (!stopEarly) {
        try {
            Run();
        } catch (...) {
            failed = true;
        }
    }
    if (failed) {
        // Whatever the failed code left held must not stay held: nobody else could
        // ever take it again. Done before the identity is cleared, because once it is
        // cleared the object may be deleted.
        while (lock_.Unlock()) {
            platform::SleepMs(50);
        }
        ReleaseLocksAfterFailure();
    }

    lock_.Lock();
    std::shared_ptr<void> owned;
    if (generation_ == generation && threadId_ == platform::CurrentThreadId()) {
        threadId_ = 0;
        running_ = false;
        owned = std::move(owned_);
    }
    lock_.Unlock();
}

bool QThread::Stop() {
    lock_.Lock();
    const uint32_t id = threadId_;
    if (id == 0) {
        lock_.Unlock();
        return true;
    }
    if (id == platform::CurrentThreadId()) {
        lock_.Unlock();
        return false;
    }
    stopRequested_ = true;
    while (threadId_ == id && threadId_ != 0) {
        lock_.Unlock();
        platform::SleepMs(50);
        lock_.Lock();
    }
    lock_.Unlock();
    return true;
}

bool QThread::RequestStop(uint32_t& threadId) {
    lock_.Lock();
    threadId = threadId_;
    const bool running = threadId_ != 0;
    if (running)
        stopRequested_ = true;
    lock_.Unlock();
    return running;
}

bool QThread::HasEnded(uint32_t threadId) {
    lock_.Lock();
    const bool ended = threadId == 0 || threadId_ != threadId;
    lock_.Unlock();
    return ended;
}

bool QThread::IsRunning() {
    lock_.Lock();
    const bool r = threadId_ != 0 && running_;
    lock_.Unlock();
    return r;
}

bool QThread::SetPause(bool on) {
    lock_.Lock();
    const bool running = threadId_ != 0;
    paused_ = running && on;
    lock_.Unlock();
    return running;
}

bool QThread::CheckStop() {
    lock_.Lock();
    while (paused_ && !stopRequested_ && threadId_ != 0) {
        lock_.Unlock();
        platform::SleepMs(1000);
        lock_.Lock();
    }
    const bool stop = stopRequested_;
    lock_.Unlock();
    return stop;
}

bool QThread::StopRequested() {
    lock_.Lock();
    const bool stop = stopRequested_;
    lock_.Unlock();
    return stop;
}

bool QThread::WaitSeconds(int n) {
    for (;;) {
        platform::SleepMs(1000);
        if (n <= 1)
            return false;
        --n;
        if (CheckStop())
            return true;
    }
}

uint32_t QThread::CurrentThreadId() {
    lock_.Lock();
    const uint32_t id = running_ ? threadId_ : 0;
    lock_.Unlock();
    return id;
}

uint32_t QThread::StartTime() {
    lock_.Lock();
    const uint32_t t = startTime_;
    lock_.Unlock();
    return t;
}
