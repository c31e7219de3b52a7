#include "engine/net/QSocketBuffer.h"

#include <cstdlib>
#include <cstring>

namespace {
constexpr size_t kAppendSlack = 1024;
constexpr size_t kShrinkMinCapacity = 4097;
constexpr size_t kShrinkRatio = 6;
constexpr size_t kShrinkSlack = 1024;
constexpr size_t kLargeFree = 2101248;
constexpr size_t kLargeRemaining = 21012479;
} // namespace

QSocketBuffer::~QSocketBuffer() {
    Free();
}

bool QSocketBuffer::Reserve(size_t room, size_t slack) {
    if (room > kMaxBuffered || length_ > kMaxBuffered - room)
        return false;
    const size_t needed = length_ + room + 1;
    if (needed <= capacity_)
        return true;
    size_t capacity = needed + capacity_ + slack;
    const size_t ceiling = kMaxBuffered + 1 + slack;
    if (capacity > ceiling)
        capacity = ceiling;
    char* grown = static_cast<char*>(std::realloc(data_, capacity));
    if (!grown)
        return false;
    data_ = grown;
    capacity_ = capacity;
    data_[length_] = '\0';
    return true;
}

bool QSocketBuffer::Append(const char* data, size_t length) {
    if (!Reserve(length, kAppendSlack))
        return false;
    std::memcpy(data_ + length_, data, length);
    Commit(length);
    return true;
}

void QSocketBuffer::Commit(size_t count) {
    length_ += count;
    data_[length_] = '\0';
}

void QSocketBuffer::Drop(size_t count, bool keep) {
    if (!data_ || count == 0)
        return;
    if (count > length_)
        count = length_;
    const size_t remaining = length_ - count;
    if (remaining == 0) {
        if (!keep) {
            Free();
            return;
        }
        length_ = 0;
        data_[0] = '\0';
        return;
    }
    std::memmove(data_, data_ + count, remaining);
    length_ = remaining;
    data_[remaining] = '\0';
    if (keep)
        return;
    // Shrink only a buffer that is mostly empty, so that a steady stream does not
    // reallocate on every message.
    size_t target = 0;
    if (capacity_ >= kShrinkMinCapacity && capacity_ / kShrinkRatio >= remaining)
        target = remaining + kShrinkSlack;
    else if (capacity_ - remaining > kLargeFree && remaining <= kLargeRemaining)
        target = remaining + remaining / 10 > remaining + 1 ? remaining + remaining / 10 : remaining + 1;
    if (target == 0 || target >= capacity_)
        return;
    if (char* shrunk = static_cast<char*>(std::realloc(data_, target))) {
        data_ = shrunk;
        capacity_ = target;
    }
}

void QSocketBuffer::Free() {
    std::free(data_);
    data_ = nullptr;
    length_ = 0;
    capacity_ = 0;
}
