#include "engine/core/HostLookup.h"

#include "engine/core/QSMutex.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>

namespace {

struct PendingLookup {
    uint8_t* buffer;
    size_t bufferSize;
    int* addressLength;
    int* count;
    int* error;
    bool done = false;
};

// A signal the resolver thread may outlive its waiter on, hence shared.
struct LookupEvent {
    std::mutex m;
    std::condition_variable cv;
    bool signalled = false;
};

struct LookupTable {
    QSMutex lock;
    std::map<LookupEvent*, PendingLookup> pending;
    std::mutex resolverLock;
    HostResolver resolver = &SystemResolveHost;
};

// Leaked: resolver threads that finish after process exit began still use it.
LookupTable& Table() {
    static LookupTable* table = new LookupTable;
    return *table;
}

HostResolver CurrentResolver() {
    auto& t = Table();
    std::lock_guard<std::mutex> g(t.resolverLock);
    return t.resolver;
}

} // namespace

HostResolver SetHostResolver(HostResolver resolver) {
    auto& t = Table();
    std::lock_guard<std::mutex> g(t.resolverLock);
    HostResolver old = std::move(t.resolver);
    t.resolver = resolver ? std::move(resolver) : HostResolver(&SystemResolveHost);
    return old;
}

int SystemResolveHost(const std::string& host, std::vector<HostAddress>& out) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (rc != 0)
        return rc == EAI_NONAME ? 11001 : 11002;
    for (addrinfo* p = res; p; p = p->ai_next) {
        if (p->ai_family != AF_INET)
            continue;
        HostAddress a;
        std::memcpy(a.data(), &reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr, 4);
        out.push_back(a);
    }
    freeaddrinfo(res);
    return out.empty() ? 11004 : 0;
}

bool LookupHostTimed(const char* host, uint8_t* addressBuffer, size_t bufferSize, int& addressLength,
                     int& count, int& error, uint32_t milliseconds) {
    if (!host || milliseconds == 0) {
        error = kLookupInvalidParameter;
        return false;
    }
    auto event = std::make_shared<LookupEvent>();
    auto& table = Table();
    table.lock.Lock();
    table.pending[event.get()] = PendingLookup{addressBuffer, bufferSize, &addressLength, &count, &error};
    table.lock.Unlock();

    std::string name(host);
    HostResolver resolver = CurrentResolver();
    try {
        std::thread([event, name, resolver] {
            std::vector<HostAddress> found;
            int rc = resolver(name, found);
            auto& t = Table();
            t.lock.Lock();
            auto it = t.pending.find(event.get());
            if (it != t.pending.end()) {
                PendingLookup& p = it->second;
                *p.error = rc;
                if (rc == 0) {
                    size_t n = std::min(found.size(), p.bufferSize / 4);
                    for (size_t i = 0; i < n; ++i)
                        std::memcpy(p.buffer + 4 * i, found[i].data(), 4);
                    *p.addressLength = 4;
                    *p.count = static_cast<int>(n);
                    p.done = true;
                    std::lock_guard<std::mutex> g(event->m);
                    event->signalled = true;
                    event->cv.notify_all();
                }
            }
            t.lock.Unlock();
        }).detach();
    } catch (...) {
        table.lock.Lock();
        table.pending.erase(event.get());
        table.lock.Unlock();
        error = 8;
        return false;
    }

    {
        std::unique_lock<std::mutex> g(event->m);
        event->cv.wait_for(g, std::chrono::milliseconds(milliseconds), [&] { return event->signalled; });
    }
    table.lock.Lock();
    bool done = false;
    auto it = table.pending.find(event.get());
    if (it != table.pending.end()) {
        done = it->second.done;
        table.pending.erase(it);
    }
    table.lock.Unlock();
    return done;
}
