#pragma once
#include "engine/core/TRefObject.h"
#include "engine/piece/TPeerId.h"

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

// The ordered list of sources a task knows. Touched only on the task's thread.
class TCandidates {
public:
    struct Self {
        uint32_t address = 0; // network order; 0 when unknown
        uint16_t port = 0;
        std::array<uint8_t, 20> peerId{};
        bool torrentBased = false;
    };

    explicit TCandidates(std::function<uint32_t()> tick = {});

    // Admits a copy of id unless it is known already; returns the candidate (new or
    // known), or null when refused (our own address, a BitTorrent peer on loopback or
    // with our own peer id, a dropped source).
    TPeerId* Add(const TPeerId& id, bool refreshPeerId, bool keepPeerId, const Self& self);
    // Finds or adds a candidate known only by its address.
    TPeerId* AddByAddress(uint32_t address, uint16_t port, TPeerKind kind, bool front, int originCode);
    // A source failed: with retry its back-off grows, without it is dropped and refused
    // from then on. True when any candidate was affected.
    bool SourceFailed(const TPeerId* source, bool retry, int backoffSeconds);
    void Remove(const TPeerId* id);
    // Removes a source that proved bad and refuses it from then on: the mirror lists
    // would otherwise bring it back with a clean record a second later.
    void Drop(const TPeerId* id);
    void MoveToEnd(const TPeerId* id);
    void Sort();
    // Forgets the candidates and the dropped sources.
    void Clear();

    size_t Size() const { return list_.size(); }
    TPeerId* At(size_t i) const { return list_[i].get(); }
    TPeerId* Find(const TPeerId* id) const;

private:
    // Remembers a web or FTP source as refused.
    void Refuse(const TPeerId& id);
    bool IsDropped(const TPeerId& id) const;

    std::vector<TRef<TPeerId>> list_;
    std::vector<TRef<TPeerId>> dropped_; // copies of the refused sources' URL fields
    std::function<uint32_t()> tick_;
};
