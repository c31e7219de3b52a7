#include "platform/Clock.h"

#include <pthread.h>

#include <cerrno>
#include <ctime>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

uint64_t TickCount64() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint32_t TickCount() {
    return static_cast<uint32_t>(TickCount64());
}

void SleepMs(uint32_t milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    // A signal handler must not cut the sleep short.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// Not cached per thread: a forked child's thread would keep its parent's number.
namespace {
// Locks ask for the thread's identity on every call; the kernel is asked once per
// thread. A forked child's only thread has a new identity, so the child forgets it.
thread_local uint32_t t_threadId = 0;
void ForgetThreadIdInChild() {
    t_threadId = 0;
}
const int g_atfork = pthread_atfork(nullptr, nullptr, &ForgetThreadIdInChild);
} // namespace

uint32_t CurrentThreadId() {
    (void)g_atfork;
    if (t_threadId == 0)
        t_threadId = static_cast<uint32_t>(::syscall(SYS_gettid));
    return t_threadId;
}

uint64_t SystemTimeSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec > 0 ? static_cast<uint64_t>(ts.tv_sec) : 0;
}

} // namespace platform
