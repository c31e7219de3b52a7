#pragma once
#include "engine/piece/InfoHash.h"

#include <vector>

class TBaseWork;

// The tasks that have an info hash, with their hashes: incoming connections are
// routed by it and the global rate limits are shared among these tasks. Guarded by
// the registry lock.
class TActiveTorrents {
public:
    // Adds or updates the task; an all-zero hash is not registered.
    static bool Register(TBaseWork* task, const InfoHash& hash);
    static void Unregister(TBaseWork* task);
    static TBaseWork* FindByHash(const InfoHash& hash);
    static std::vector<TBaseWork*> Tasks();
    static void Clear();
};
