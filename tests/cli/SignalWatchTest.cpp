// The signal watch in a child process of its own: the signals it blocks must be blocked
// in every thread of the process, which only a fresh process can promise.
#include "ui/console/SignalWatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// Runs body in a child and gives its exit status (or minus the signal that ended it).
template <typename Body> int InChild(Body body) {
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(body());
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

bool WaitFor(const std::atomic<int>& value, int wanted) {
    for (int i = 0; i < 2000 && value.load() < wanted; ++i)
        ::usleep(5000);
    return value.load() >= wanted;
}

TEST(SignalWatchTest, FirstSignalRunsTheFirstReactionThenTheSecond) {
    const int status = InChild([] {
        std::atomic<int> first{0}, second{0}, which{0};
        SignalWatch watch;
        if (!watch.Start([&](int s) { which = s, ++first; }, [&](int) { ++second; }))
            return 10;
        if (watch.Start([](int) {}))
            return 11; // started once only
        ::kill(::getpid(), SIGTERM);
        if (!WaitFor(first, 1) || which.load() != SIGTERM || second.load() != 0 || !watch.Signalled())
            return 12;
        ::kill(::getpid(), SIGINT);
        if (!WaitFor(second, 1) || first.load() != 1)
            return 13;
        // A thread started after the watch inherits the blocked signals.
        std::atomic<bool> blocked{false};
        std::thread([&] {
            sigset_t now;
            pthread_sigmask(SIG_BLOCK, nullptr, &now);
            blocked = sigismember(&now, SIGINT) == 1 && sigismember(&now, SIGTERM) == 1;
        }).join();
        watch.Stop();
        return blocked.load() ? 0 : 14;
    });
    EXPECT_EQ(status, 0);
}

TEST(SignalWatchTest, SecondSignalEndsAtOnceByDefault) {
    const int status = InChild([] {
        std::atomic<int> first{0};
        SignalWatch watch;
        watch.Start([&](int) { ++first; });
        ::kill(::getpid(), SIGINT);
        if (!WaitFor(first, 1))
            return 10;
        ::kill(::getpid(), SIGINT);
        ::sleep(20); // the watcher ends the process long before
        return 11;
    });
    EXPECT_EQ(status, SignalWatch::kInterruptedExit);
}

} // namespace
