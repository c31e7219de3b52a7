#pragma once
#include "engine/core/EngineTypes.h"

#include <cstddef>
#include <vector>

class TBaseWork;

// Every live task, in order of creation, under the registry lock. Tasks add
// themselves when constructed and remove themselves when destroyed; the first task of
// the process starts the engine's shared services and the last one releases them.
class QTaskRegistry {
public:
    // Registers the task and returns its new handle (never 0, never reused).
    static EngineTask Add(TBaseWork* task);
    static void Remove(TBaseWork* task);
    // The task named by the handle, or null. Only meaningful while the caller keeps
    // tasks from being deleted (the engine API lock does).
    static TBaseWork* Find(EngineTask handle);
    static TBaseWork* First();
    static std::vector<TBaseWork*> Snapshot();
    static size_t Count();

    // Run when the first task of the process registers and when the last one goes: the
    // engine's shared services start with the first and are released with the last.
    static void OnFirstTask();
    static void OnLastTask();
};
