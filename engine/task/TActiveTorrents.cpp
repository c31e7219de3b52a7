#include "engine/task/TActiveTorrents.h"

#include <algorithm>
#include <mutex>

namespace {
struct Lists {
    std::vector<TBaseWork*> tasks;
    std::vector<InfoHash> hashes; // parallel to tasks
};
Lists& Active() {
    static auto* lists = new Lists;
    return *lists;
}
// Innermost: a task unregisters while it holds its own lock, and the registry lock is
// taken before a task's lock elsewhere, so the list cannot share the registry lock.
std::mutex& ListLock() {
    static auto* m = new std::mutex;
    return *m;
}
} // namespace

bool TActiveTorrents::Register(TBaseWork* task, const InfoHash& hash) {
    if (std::all_of(hash.begin(), hash.end(), [](uint8_t b) { return b == 0; }))
        return false;
    std::lock_guard<std::mutex> guard(ListLock());
    Lists& a = Active();
    auto it = std::find(a.tasks.begin(), a.tasks.end(), task);
    if (it != a.tasks.end()) {
        a.hashes[static_cast<size_t>(it - a.tasks.begin())] = hash;
        return true;
    }
    a.tasks.push_back(task);
    a.hashes.push_back(hash);
    return true;
}

void TActiveTorrents::Unregister(TBaseWork* task) {
    std::lock_guard<std::mutex> guard(ListLock());
    Lists& a = Active();
    auto it = std::find(a.tasks.begin(), a.tasks.end(), task);
    if (it == a.tasks.end())
        return;
    const auto i = it - a.tasks.begin();
    a.tasks.erase(it);
    a.hashes.erase(a.hashes.begin() + i);
}

TBaseWork* TActiveTorrents::FindByHash(const InfoHash& hash) {
    std::lock_guard<std::mutex> guard(ListLock());
    Lists& a = Active();
    for (size_t i = 0; i < a.hashes.size(); ++i)
        if (a.hashes[i] == hash)
            return a.tasks[i];
    return nullptr;
}

std::vector<TBaseWork*> TActiveTorrents::Tasks() {
    std::lock_guard<std::mutex> guard(ListLock());
    return Active().tasks;
}

void TActiveTorrents::Clear() {
    std::lock_guard<std::mutex> guard(ListLock());
    Active().tasks.clear();
    Active().hashes.clear();
}
