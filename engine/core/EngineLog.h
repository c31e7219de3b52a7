#pragma once
#include "engine/core/CBrisklaneLog.h"
#include "engine/core/LogCategories.h"

#include <cstdint>
#include <string>

// The process-wide log; null until EngineOpenLog and after EngineCloseServices.
CBrisklaneLog* EngineLog();
void OpenEngineLog();
void CloseEngineLog();

// Writes one line with the same number as category and debug level, when the log
// exists.
void LogLine(int category, const char* message);
void LogFormat(int category, const char* format, ...) __attribute__((format(printf, 2, 3)));

// "TID : %5lu] [" with the calling thread's identity: the prefix of lines written
// from engine threads.
std::string ThreadPrefix();
