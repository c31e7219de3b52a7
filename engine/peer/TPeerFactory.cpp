#include "engine/peer/TPeerFactory.h"

#include "engine/peer/THttpPeer.h"
#include "engine/peer/TPeerObject.h"

#include <array>
#include <mutex>

namespace {

template <typename T> TPeerObject* Make(TPeerTask* task) {
    return new T(task);
}

// The protocols this engine speaks, one line each. Registration is spelled out here
// rather than left to static initialisers, which a static library may drop unseen.
struct Makers {
    std::mutex lock;
    std::array<TPeerFactory::Maker, 16> byKind{};
    Makers() { byKind[kPeerHttp] = &Make<THttpPeer>; }
};

Makers& Table() {
    static Makers* table = new Makers;
    return *table;
}

bool Valid(TPeerKind kind) {
    return kind > kPeerNone && static_cast<size_t>(kind) < Table().byKind.size();
}

} // namespace

TRef<TPeerObject> TPeerFactory::Create(TPeerKind kind, TPeerTask* task) {
    if (!Valid(kind))
        return {};
    Maker maker;
    {
        std::lock_guard<std::mutex> g(Table().lock);
        maker = Table().byKind[kind];
    }
    return maker ? TRef<TPeerObject>::Adopt(maker(task)) : TRef<TPeerObject>{};
}

TPeerFactory::Maker TPeerFactory::Register(TPeerKind kind, Maker maker) {
    if (!Valid(kind))
        return nullptr;
    std::lock_guard<std::mutex> g(Table().lock);
    Maker previous = Table().byKind[kind];
    Table().byKind[kind] = maker;
    return previous;
}
