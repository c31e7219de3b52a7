#include "engine/core/EngineSettings.h"

#include <atomic>
#include <mutex>

namespace {
std::atomic<bool> g_p2p{false};
std::atomic<bool> g_disguise{false};
std::atomic<int> g_listenPort{0};
std::atomic<bool> g_initialized{false};
std::mutex g_pathLock;
// Never destroyed: a task thread may still ask while the process exits.
std::string* g_dataPath = new std::string;
} // namespace

namespace EngineSettings {

bool P2PEnabled() {
    return g_p2p.load();
}
void SetP2PEnabled(bool on) {
    g_p2p.store(on);
}

bool HttpDisguise() {
    return g_disguise.load();
}
void SetHttpDisguise(bool on) {
    g_disguise.store(on);
}

int ListenPort() {
    return g_listenPort.load();
}
void SetListenPort(int port) {
    g_listenPort.store(port);
}

bool Initialized() {
    return g_initialized.load();
}
void SetInitialized(bool on) {
    g_initialized.store(on);
}

std::string DataPath() {
    std::lock_guard<std::mutex> g(g_pathLock);
    return *g_dataPath;
}
void SetDataPath(const std::string& path) {
    std::lock_guard<std::mutex> g(g_pathLock);
    *g_dataPath = path;
}

} // namespace EngineSettings
