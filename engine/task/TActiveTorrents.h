#pragma once
#include <array>
#include <cstdint>
#include <vector>

class TBaseWork;

using InfoHash = std::array<uint8_t, 20>;

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
