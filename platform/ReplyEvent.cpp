#include "platform/ReplyEvent.h"

#include "platform/Clock.h"

#include <cerrno>
#include <ctime>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr size_t kStateSize = sizeof(uint32_t);

// Shared (not process-private) futex operations: the waiter and the setter are in
// different processes and meet through the file's page.
long Futex(uint32_t* word, int op, uint32_t value, const timespec* timeout) {
    return ::syscall(SYS_futex, word, op, value, timeout, nullptr, 0);
}

} // namespace

ReplyEvent::~ReplyEvent() {
    Close();
}

bool ReplyEvent::Create(const std::string& name, const std::string& folder) {
    return Map(NamedObjectFile::Mode::CreateOrOpen, name, folder);
}

bool ReplyEvent::Open(const std::string& name, const std::string& folder) {
    return Map(NamedObjectFile::Mode::OpenExisting, name, folder);
}

bool ReplyEvent::Map(NamedObjectFile::Mode mode, const std::string& name, const std::string& folder) {
    Close();
    auto notSignalled = [](int fd) {
        return ::ftruncate(fd, 0) == 0 && ::ftruncate(fd, static_cast<off_t>(kStateSize)) == 0;
    };
    if (file_.Open(folder, name, mode, notSignalled) == NamedObjectFile::Result::Failed)
        return false;
    struct stat st {};
    if (::fstat(file_.fd(), &st) != 0 || st.st_size < static_cast<off_t>(kStateSize)) {
        file_.Close();
        return false;
    }
    void* p = ::mmap(nullptr, kStateSize, PROT_READ | PROT_WRITE, MAP_SHARED, file_.fd(), 0);
    if (p == MAP_FAILED) {
        file_.Close();
        return false;
    }
    state_ = static_cast<uint32_t*>(p);
    return true;
}

bool ReplyEvent::Set() {
    if (!state_)
        return false;
    __atomic_store_n(state_, 1u, __ATOMIC_SEQ_CST);
    Futex(state_, FUTEX_WAKE, 1, nullptr);
    return true;
}

bool ReplyEvent::Wait(unsigned timeoutMs) {
    if (!state_)
        return false;
    const uint64_t deadline = TickCount64() + timeoutMs;
    for (;;) {
        uint32_t expected = 1;
        if (__atomic_compare_exchange_n(state_, &expected, 0u, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
            return true;
        const uint64_t now = TickCount64();
        if (now >= deadline)
            return false;
        const uint64_t left = deadline - now;
        const timespec timeout{static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000L};
        // Sleeps only while the word is still 0; a Set in between makes it return at once.
        Futex(state_, FUTEX_WAIT, 0, &timeout);
    }
}

void ReplyEvent::Close() {
    if (state_) {
        ::munmap(state_, kStateSize);
        state_ = nullptr;
    }
    file_.Close();
}

} // namespace platform
