#include "app/ControllerLock.h"

#include "platform/Clock.h"

#include <iterator>

ControllerLock::Scope::~Scope() {
    if (--lock_.depth_ != 0 || lock_.deferred_.empty())
        return;
    std::vector<std::function<void()>> work;
    work.swap(lock_.deferred_);
    hold_.unlock();
    for (auto& w : work)
        w();
}

void ControllerLock::Defer(std::function<void()> work) const {
    deferred_.push_back(std::move(work));
}

void ControllerLock::SleepUnlocked(uint32_t ms) const {
    const int depth = depth_;
    std::vector<std::function<void()>> pending;
    pending.swap(deferred_);
    depth_ = 0;
    for (int i = 0; i < depth; ++i)
        mutex_.unlock();
    platform::SleepMs(ms);
    for (int i = 0; i < depth; ++i)
        mutex_.lock();
    depth_ = depth;
    pending.insert(pending.end(), std::make_move_iterator(deferred_.begin()),
                   std::make_move_iterator(deferred_.end()));
    deferred_.swap(pending);
}
