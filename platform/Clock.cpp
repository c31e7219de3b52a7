#include "platform/Clock.h"

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
uint32_t CurrentThreadId() {
    return static_cast<uint32_t>(::syscall(SYS_gettid));
}

uint64_t SystemTimeSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec > 0 ? static_cast<uint64_t>(ts.tv_sec) : 0;
}

} // namespace platform
