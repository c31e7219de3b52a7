#pragma once
#include <cstddef>

// A socket's send or receive buffer: bytes in one growable block that stays
// NUL-terminated one byte past its length, so protocol code may search it as text.
// It never grows past kMaxBuffered; the owner fails the connection instead.
class QSocketBuffer {
public:
    static constexpr size_t kMaxBuffered = 64u * 1024 * 1024;

    QSocketBuffer() = default;
    ~QSocketBuffer();
    QSocketBuffer(const QSocketBuffer&) = delete;
    QSocketBuffer& operator=(const QSocketBuffer&) = delete;

    const char* Data() const { return data_ ? data_ : ""; }
    size_t Length() const { return length_; }
    size_t Capacity() const { return capacity_; }
    bool Empty() const { return length_ == 0; }

    // Makes room for room more bytes behind the data (and the terminator), growing by
    // at least slack; false when that would pass the ceiling or memory ran out.
    bool Reserve(size_t room, size_t slack);
    bool Append(const char* data, size_t length);
    // The free space behind the data, after Reserve; Commit counts bytes written there.
    char* Tail() { return data_ + length_; }
    void Commit(size_t count);
    // Drops count bytes from the front. With keep the block stays as it is; otherwise
    // it is freed when empty and shrunk when mostly empty.
    void Drop(size_t count, bool keep);
    void Free();

private:
    char* data_ = nullptr;
    size_t length_ = 0;
    size_t capacity_ = 0;
};
