#pragma once
// Where non-blocking message boxes go. The front end installs a sink (a window, the
// console); tests install a recording sink. With no sink a message is written to
// stderr. Texts and captions are GBK.
#include <functional>
#include <string>
#include <vector>
#include <mutex>

namespace platform {

struct ShownMessage {
    std::string text;
    std::string caption;
    unsigned type = 0;
};

using MessageSinkFn = std::function<void(const ShownMessage&)>;

// Shows the message through the current sink; may block (the caller runs it on a
// thread of its own when it must not block).
void ShowMessage(const ShownMessage& message);
MessageSinkFn SetMessageSink(MessageSinkFn sink);

// Prints "[caption] text" to stderr, converted to UTF-8.
void ConsoleMessageSink(const ShownMessage& message);

// Keeps every message shown while it is installed; for tests.
class RecordingMessageSink {
public:
    RecordingMessageSink();
    ~RecordingMessageSink();
    std::vector<ShownMessage> messages() const;
    // Waits up to timeoutMs for at least n messages.
    bool WaitFor(size_t n, unsigned timeoutMs) const;

private:
    mutable std::mutex mutex_;
    std::vector<ShownMessage> messages_;
    MessageSinkFn previous_;
};

} // namespace platform
