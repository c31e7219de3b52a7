#pragma once
// The debugger output channel. Silent unless switched on, by the environment variable
// BRISKLANE_DEBUG_OUTPUT=1 (then lines go to stderr) or by installing a sink.
#include <functional>
#include <string_view>

namespace platform {

using DebugSink = std::function<void(std::string_view line)>;

void DebugOutput(std::string_view line);
// Replaces the sink (an empty function restores the default). Returns the old one.
DebugSink SetDebugSink(DebugSink sink);

} // namespace platform
