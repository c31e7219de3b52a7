#include "ui/console/SignalWatch.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <unistd.h>

namespace {

sigset_t WatchedSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

bool SignalWatch::Start(std::function<void(int)> onFirst, std::function<void(int)> onSecond) {
    if (thread_.joinable())
        return false;
    const sigset_t set = WatchedSignals();
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0)
        return false;
    onFirst_ = std::move(onFirst);
    onSecond_ = onSecond ? std::move(onSecond) : std::function<void(int)>(&SignalWatch::ExitAtOnce);
    stop_.store(false);
    thread_ = std::thread([this] { Run(); });
    return true;
}

void SignalWatch::Stop() {
    stop_.store(true);
    if (thread_.joinable())
        thread_.join();
}

void SignalWatch::Run() {
    const sigset_t set = WatchedSignals();
    // The wait wakes now and then to see the stop flag: nothing else may take the
    // blocked signals, so a wake-up signal of our own is not an option.
    const timespec slice{0, 100 * 1000 * 1000};
    while (!stop_.load()) {
        const int s = sigtimedwait(&set, nullptr, &slice);
        if (s < 0)
            continue; // EAGAIN at the end of the slice, EINTR
        if (count_.fetch_add(1) == 0) {
            if (onFirst_)
                onFirst_(s);
        } else {
            onSecond_(s);
        }
    }
}

void SignalWatch::ExitAtOnce(int) {
    static const char kWrapOn[] = "\x1b[?7h\n";
    if (::isatty(STDOUT_FILENO))
        (void)!::write(STDOUT_FILENO, kWrapOn, sizeof kWrapOn - 1);
    ::_exit(kInterruptedExit);
}
