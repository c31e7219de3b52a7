#include "engine/core/EngineLog.h"

#include "engine/core/CBrisklaneLogApi.h"
#include "platform/Clock.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {
std::atomic<CBrisklaneLog*> g_log{nullptr};
}

CBrisklaneLog* EngineLog() {
    return g_log.load();
}

void OpenEngineLog() {
    if (g_log.load())
        return;
    auto* log = new CBrisklaneLogApi;
    CBrisklaneLog* expected = nullptr;
    if (!g_log.compare_exchange_strong(expected, log))
        delete log;
}

void CloseEngineLog() {
    delete g_log.exchange(nullptr);
}

void LogLine(int category, const char* message) {
    if (CBrisklaneLog* log = EngineLog())
        log->Write(message, category, category);
}

void LogFormat(int category, const char* format, ...) {
    CBrisklaneLog* log = EngineLog();
    if (!log)
        return;
    char text[CBrisklaneLogApi::kLineBuffer];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    log->Write(text, category, category);
}

std::string ThreadPrefix() {
    char buf[64];
    std::snprintf(buf, sizeof buf, "TID : %5lu] [", static_cast<unsigned long>(platform::CurrentThreadId()));
    return buf;
}
