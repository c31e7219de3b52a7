#include "platform/DebugOutput.h"

#include "platform/TextEncoding.h"
#include "platform/WriteAll.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unistd.h>

namespace platform {

namespace {

// The sink runs under this lock, so that a sink being replaced is never still in
// use once SetDebugSink has returned (a test may then destroy what it captured
// into). Recursive, so that a sink may itself write debug output or swap sinks.
std::recursive_mutex& SinkMutex() {
    static std::recursive_mutex m;
    return m;
}

DebugSink& CurrentSink() {
    static DebugSink sink;
    return sink;
}

std::atomic<bool> g_sinkInstalled{false};

// Read on every call rather than once, so that the switch follows the environment
// the process has when it writes (and a forked test child can set it).
bool EnvironmentSwitchOn() {
    const char* v = std::getenv("BRISKLANE_DEBUG_OUTPUT");
    return v && std::strcmp(v, "1") == 0;
}

// Lines are GBK and often end in "\r\n"; the terminal wants UTF-8 and one '\n'.
void WriteToStderr(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    std::string text = GbkToUtf8(line);
    text.push_back('\n');
    WriteAll(STDERR_FILENO, text);
}

} // namespace

void DebugOutput(std::string_view line) {
    if (!g_sinkInstalled.load(std::memory_order_acquire) && !EnvironmentSwitchOn())
        return;
    std::lock_guard<std::recursive_mutex> lock(SinkMutex());
    DebugSink& sink = CurrentSink();
    if (sink) {
        sink(line);
        return;
    }
    if (EnvironmentSwitchOn())
        WriteToStderr(line);
}

DebugSink SetDebugSink(DebugSink sink) {
    std::lock_guard<std::recursive_mutex> lock(SinkMutex());
    DebugSink old = std::move(CurrentSink());
    CurrentSink() = std::move(sink);
    g_sinkInstalled.store(static_cast<bool>(CurrentSink()), std::memory_order_release);
    return old;
}

} // namespace platform
