#pragma once
// SIGINT and SIGTERM without a signal handler: both are blocked in every thread and a
// watcher thread takes them with sigtimedwait, so the reactions run as ordinary code.
// The first signal runs onFirst; any later one runs onSecond (by default it ends the
// process at once with the interrupted code).
#include <atomic>
#include <functional>
#include <thread>

class SignalWatch {
public:
    static constexpr int kInterruptedExit = 130;

    SignalWatch() = default;
    ~SignalWatch() { Stop(); }
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

    // Blocks both signals in the calling thread, which every thread started later
    // inherits: call it before any other thread exists. False when already started.
    bool Start(std::function<void(int signal)> onFirst, std::function<void(int signal)> onSecond = {});
    // Ends the watcher; the signals stay blocked, so a late one is held, not fatal.
    void Stop();
    // Whether a first signal came.
    bool Signalled() const { return count_.load() > 0; }

    // The default second reaction: restore the terminal's line wrap and _exit(130).
    static void ExitAtOnce(int signal);

private:
    void Run();

    std::function<void(int)> onFirst_;
    std::function<void(int)> onSecond_;
    std::atomic<bool> stop_{false};
    std::atomic<int> count_{0};
    std::thread thread_;
};
