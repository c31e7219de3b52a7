#pragma once
// A named auto-reset event between the processes of one user: Set signals it, and one
// Wait consumes the signal (a Set with nobody waiting stays until the next Wait).
// Setting a signalled event changes nothing. It lives while some live process holds
// it; one made when nobody held it starts not signalled.
#include "platform/NamedObjectFile.h"

#include <cstdint>
#include <string>

namespace platform {

class ReplyEvent {
public:
    ReplyEvent() = default;
    ~ReplyEvent();
    ReplyEvent(const ReplyEvent&) = delete;
    ReplyEvent& operator=(const ReplyEvent&) = delete;

    // Creates the event, or opens it when a live process holds it already.
    // folder empty: NamedObjectFile::DefaultFolder().
    bool Create(const std::string& name, const std::string& folder = {});
    // Opens the event only when a live process holds it.
    bool Open(const std::string& name, const std::string& folder = {});
    bool Set();
    // True when the signal came within timeoutMs (and is consumed); false on time-out
    // or when not open.
    bool Wait(unsigned timeoutMs);
    void Close();

    bool isOpen() const { return state_ != nullptr; }

private:
    bool Map(NamedObjectFile::Mode mode, const std::string& name, const std::string& folder);

    NamedObjectFile file_;
    uint32_t* state_ = nullptr; // 1 signalled, 0 not; a futex word in the shared file
};

} // namespace platform
