#include "platform/MessageSink.h"

#include "platform/TextEncoding.h"
#include "platform/WriteAll.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <unistd.h>

namespace platform {

namespace {

// The sink is called outside this lock: a sink may block for as long as a message
// box stays open, and other messages must not wait for it.
std::mutex& SinkMutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<const MessageSinkFn>& CurrentSink() {
    static std::shared_ptr<const MessageSinkFn> sink;
    return sink;
}

} // namespace

struct RecordingMessageSink::State {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<ShownMessage> messages;
};

void ShowMessage(const ShownMessage& message) {
    std::shared_ptr<const MessageSinkFn> sink;
    {
        std::lock_guard<std::mutex> lock(SinkMutex());
        sink = CurrentSink();
    }
    if (sink && *sink)
        (*sink)(message);
    else
        ConsoleMessageSink(message);
}

MessageSinkFn SetMessageSink(MessageSinkFn sink) {
    auto next = sink ? std::make_shared<const MessageSinkFn>(std::move(sink)) : nullptr;
    std::lock_guard<std::mutex> lock(SinkMutex());
    std::shared_ptr<const MessageSinkFn> old = std::move(CurrentSink());
    CurrentSink() = std::move(next);
    return old ? *old : MessageSinkFn();
}

void ConsoleMessageSink(const ShownMessage& message) {
    std::string line = "[" + GbkToUtf8(message.caption) + "] " + GbkToUtf8(message.text) + "\n";
    WriteAll(STDERR_FILENO, line);
}

// The installed function holds the state, not this object: a message shown on
// another thread just as the recorder goes away lands in state that is still alive.
RecordingMessageSink::RecordingMessageSink() : state_(std::make_shared<State>()) {
    std::shared_ptr<State> state = state_;
    previous_ = SetMessageSink([state](const ShownMessage& message) {
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->messages.push_back(message);
        }
        state->changed.notify_all();
    });
}

RecordingMessageSink::~RecordingMessageSink() {
    SetMessageSink(std::move(previous_));
}

std::vector<ShownMessage> RecordingMessageSink::messages() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->messages;
}

bool RecordingMessageSink::WaitFor(size_t n, unsigned timeoutMs) const {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [&] { return state_->messages.size() >= n; });
}

} // namespace platform
