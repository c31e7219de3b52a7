#include "engine/task/QTaskRegistry.h"

#include "engine/core/EngineLocks.h"
#include "engine/core/NodeId.h"
#include "engine/core/QScopedLock.h"
#include "engine/core/QTimeThread.h"
#include "engine/net/QNetworkState.h"
#include "engine/task/TIncomingRouter.h"

#include <algorithm>
#include <utility>

namespace {
struct Entry {
    EngineTask handle;
    TBaseWork* task;
};
std::vector<Entry>& Entries() {
    static auto* entries = new std::vector<Entry>;
    return *entries;
}
EngineTask g_nextHandle = 1;
} // namespace

EngineTask QTaskRegistry::Add(TBaseWork* task) {
    bool first = false;
    EngineTask handle = 0;
    {
        QScopedLock guard(RegistryLock());
        auto& e = Entries();
        for (const Entry& x : e)
            if (x.task == task)
                return x.handle;
        first = e.empty();
        handle = g_nextHandle++;
        if (g_nextHandle == 0)
            g_nextHandle = 1;
        e.push_back({handle, task});
    }
    if (first)
        OnFirstTask();
    return handle;
}

void QTaskRegistry::Remove(TBaseWork* task) {
    bool last = false;
    {
        QScopedLock guard(RegistryLock());
        auto& e = Entries();
        auto it = std::find_if(e.begin(), e.end(), [&](const Entry& x) { return x.task == task; });
        if (it == e.end())
            return;
        e.erase(it);
        last = e.empty();
    }
    if (last)
        OnLastTask();
}

TBaseWork* QTaskRegistry::Find(EngineTask handle) {
    if (handle == 0)
        return nullptr;
    QScopedLock guard(RegistryLock());
    for (const Entry& x : Entries())
        if (x.handle == handle)
            return x.task;
    return nullptr;
}

TBaseWork* QTaskRegistry::First() {
    QScopedLock guard(RegistryLock());
    auto& e = Entries();
    return e.empty() ? nullptr : e.front().task;
}

std::vector<TBaseWork*> QTaskRegistry::Snapshot() {
    QScopedLock guard(RegistryLock());
    std::vector<TBaseWork*> out;
    for (const Entry& x : Entries())
        out.push_back(x.task);
    return out;
}

size_t QTaskRegistry::Count() {
    QScopedLock guard(RegistryLock());
    return Entries().size();
}

void QTaskRegistry::OnFirstTask() {
    TimeEnsure();
    EnsureNodeId();
    // The UDP server joins these hooks when it exists; the listener opens from the
    // tasks' own ticks.
    QNetworkState::SetUdpStreamsOff(false);
    QNetworkState::SetDirectlyReachable(false);
}

void QTaskRegistry::OnLastTask() {
    // With the switch set, closing the listener releases the UDP streams as well.
    QNetworkState::SetUdpStreamsOff(true);
    TIncomingRouter::Instance().CloseListener();
    QNetworkState::SetDirectlyReachable(false);
}
