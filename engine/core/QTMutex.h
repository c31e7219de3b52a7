#pragma once
#include "engine/core/QBaseMutex.h"

#include <atomic>
#include <cstdint>

// Recursive lock that knows its owner: the owner may lock again (depth counts the
// levels), and an unlock by any other thread fails without effect.
class QTMutex : public QBaseMutex {
public:
    QTMutex();
    ~QTMutex() override;

    bool Create() override;
    void Destroy() override;
    bool Lock() override;
    bool TryLock() override;
    bool Unlock() override;

    // The owning thread's identity, 0 when free.
    uint32_t Owner() const { return owner_.load(std::memory_order_acquire); }
    // Levels held by the calling thread (0 when it is not the owner).
    int HeldDepth() const;

private:
    // Read without the system mutex by threads asking "do I own it?"; only the owner
    // writes a value equal to its own identity, so the answer is exact for the caller.
    std::atomic<uint32_t> owner_{0};
    int depth_ = 0;
};
