#pragma once
// Where non-blocking message boxes go. The front end installs a sink (a window, the
// console); tests install a recording sink. With no sink a message is written to
// stderr. Texts and captions are GBK.
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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
// Installs sink (an empty function restores the stderr default) and returns the one
// it replaces (empty when it was the default).
MessageSinkFn SetMessageSink(MessageSinkFn sink);

// Prints "[caption] text" to stderr, converted to UTF-8.
void ConsoleMessageSink(const ShownMessage& message);

// Keeps every message shown while it is installed; for tests. Installs itself on
// construction and puts the sink it replaced back on destruction, so recorders nest.
class RecordingMessageSink {
public:
    RecordingMessageSink();
    ~RecordingMessageSink();
    RecordingMessageSink(const RecordingMessageSink&) = delete;
    RecordingMessageSink& operator=(const RecordingMessageSink&) = delete;
    std::vector<ShownMessage> messages() const;
    // Waits up to timeoutMs for at least n messages.
    bool WaitFor(size_t n, unsigned timeoutMs) const;

private:
    struct State;
    std::shared_ptr<State> state_;
    MessageSinkFn previous_;
};

} // namespace platform
