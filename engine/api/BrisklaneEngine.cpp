#include "engine/api/BrisklaneEngine.h"

#include "engine/api/CBrisklaneCore.h"

#include "engine/core/DataUpload.h"
#include "engine/core/EngineLocks.h"
#include "engine/core/EngineLog.h"
#include "engine/core/EngineServices.h"
#include "engine/core/QScopedLock.h"
#include "engine/core/QTaskRegistry.h"
#include "engine/core/QTimeThread.h"
#include "engine/peer/QProxyEnvironment.h"
#include "engine/task/TActiveTorrents.h"
#include "engine/task/TWorkThread.h"
#include "platform/Clock.h"
#include "platform/Disk.h"
#include "platform/MessageSink.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace {
std::atomic<bool> g_initialized{false};
std::atomic<bool> g_p2p{false};
std::atomic<bool> g_disguise{false};
std::atomic<int> g_listenPort{0};
char g_dataPath[kEnginePathSize];

TWorkThread* FindTask(EngineTask handle) {
    return dynamic_cast<TWorkThread*>(QTaskRegistry::Find(handle));
}

// Runs a task call under the API lock with the handle checked; any exception becomes
// kEngineFailure.
template <typename F> int WithTask(EngineTask handle, F&& f) {
    QScopedLock api(EngineApiLock());
    try {
        TWorkThread* task = FindTask(handle);
        if (!task)
            return kEngineNoTask;
        return f(*task);
    } catch (...) {
        return kEngineFailure;
    }
}

int BuildTask(TaskDescriptor* d, bool recover, bool skipDuplicateTest) {
    if (!d)
        return kEngineBadArgument;
    EngineTask handle = 0;
    {
        QScopedLock api(EngineApiLock());
        try {
            TWorkThread* task = new (std::nothrow) TWorkThread;
            if (!task)
                return kEngineNoMemory;
            try {
                task->Configure(*d);
                if (!(recover && skipDuplicateTest)) {
                    bool duplicate = false;
                    {
                        QScopedLock reg(RegistryLock());
                        for (TBaseWork* other : QTaskRegistry::Snapshot())
                            if (other != task && task->SameDownloadAs(*other)) {
                                duplicate = true;
                                break;
                            }
                    }
                    if (duplicate) {
                        delete task;
                        return kEngineDuplicate;
                    }
                }
            } catch (...) {
                delete task;
                throw;
            }
            handle = task->Handle();
            d->task = handle;
            LogFormat(kLogTaskLifecycle,
                      recover ? "Recover %s, Download, ID : %lu] [Target File : (%s) "
                              : "Create %s, Download, ID : %lu] [Target File : (%s) ",
                      task->Label().c_str(), static_cast<unsigned long>(handle), task->TargetFile().c_str());
        } catch (...) {
            return kEngineFailure;
        }
    }
    return WithTask(handle,
                    [&](TWorkThread& t) { return recover ? t.ContinueDownload() : t.StartDownload(); });
}

struct MessageHandOff {
    std::mutex m;
    std::condition_variable cv;
    bool copied = false;
};
} // namespace

void EngineOpenLog() {
    OpenEngineLog();
}

int EngineSetListenPort(int port) {
    g_listenPort.store(port);
    return kEngineOk;
}

int EngineInitialize(const char* dataPath) {
    QScopedLock api(EngineApiLock());
    if (g_initialized.load())
        return kEngineOk;
    // A peer that closes its end must fail the send, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    if (dataPath) {
        std::strncpy(g_dataPath, dataPath, sizeof g_dataPath - 1);
        g_dataPath[sizeof g_dataPath - 1] = 0;
    }
    // The proxy the user configured for command-line tools applies to every connection.
    LoadProxyFromEnvironment();
    g_initialized.store(true);
    return kEngineOk;
}

int EngineSetP2PEnabled(int on) {
    g_p2p.store(on != 0);
    return kEngineOk;
}

void EngineSetHttpDisguise(int on) {
    g_disguise.store(on != 0);
}

void CollectDataUpload(const char* statsInit, const char* gameId, const char* appVersion,
                       const char* gameVersion, const char* channel) {
    StartDataUpload(statsInit, gameId, appVersion, gameVersion, channel);
}

void EngineCloseServices() {
    // The upload thread writes to the log until it has ended.
    StopDataUpload();
    CloseEngineLog();
}

int EngineCleanup() {
    QScopedLock api(EngineApiLock());
    try {
        if (!g_initialized.load())
            return kEngineOk;
        // One at a time, always the first, without the registry lock held while a
        // task is deleted (its destructor takes it to unregister).
        while (TBaseWork* task = QTaskRegistry::First())
            delete task;
        TActiveTorrents::Clear();
        if (StopClock())
            LogLine(kLogServiceStopped, "Time Ensure Thread Stopped.. ");
        g_initialized.store(false);
        return kEngineOk;
    } catch (...) {
        return kEngineFailure;
    }
}

int EngineCreateTask(TaskDescriptor* d) {
    return BuildTask(d, false, false);
}

int EngineRecoverTask(TaskDescriptor* d, bool skipDuplicateTest) {
    return BuildTask(d, true, skipDuplicateTest);
}

int EngineStopTask(EngineTask task, int release) {
    return WithTask(task, [&](TWorkThread& t) {
        if (t.StopDownload() != kEngineOk)
            return kEngineFailure;
        t.ResetSources();
        if (release)
            t.Reset(true, true);
        return kEngineOk;
    });
}

int EngineStopTasks(const EngineTask* tasks, unsigned count, int release, int* results) {
    QScopedLock api(EngineApiLock());
    std::vector<int> own;
    if (!results) {
        own.resize(count);
        results = own.data();
    }
    std::vector<uint32_t> ids(count, 0);
    for (unsigned i = 0; i < count; ++i) {
        TWorkThread* t = tasks ? FindTask(tasks[i]) : nullptr;
        results[i] = t ? kEngineOk : kEngineNoTask;
        if (t)
            t->RequestStop(ids[i]);
    }
    for (;;) {
        bool anyRunning = false;
        for (unsigned i = 0; i < count; ++i) {
            if (ids[i] == 0)
                continue;
            try {
                TWorkThread* t = FindTask(tasks[i]);
                if (!t) {
                    ids[i] = 0;
                    continue;
                }
                if (!t->HasEnded(ids[i])) {
                    anyRunning = true;
                    continue;
                }
                t->ResetSources();
                if (release)
                    t->Reset(true, true);
                ids[i] = 0;
            } catch (...) {
                results[i] = kEngineFailure;
                anyRunning = true;
            }
        }
        if (!anyRunning)
            break;
        platform::SleepMs(50);
    }
    return kEngineOk;
}

int EngineRestartTask(EngineTask task) {
    return WithTask(task, [](TWorkThread& t) { return t.IsRunning() ? kEngineFailure : t.StartDownload(); });
}

int EngineGetTaskStatus(EngineTask task, TaskStatus* out) {
    return WithTask(task, [&](TWorkThread& t) {
        if (!out)
            return kEngineBadArgument;
        t.GetStatus(*out);
        return kEngineOk;
    });
}

int EngineIsTaskComplete(EngineTask task, int* out) {
    return WithTask(task, [&](TWorkThread& t) {
        if (!out)
            return kEngineBadArgument;
        *out = t.IsComplete() ? 1 : 0;
        return kEngineOk;
    });
}

int EngineSetTaskSpeedLimit(EngineTask task, int kind, int value) {
    return WithTask(
        task, [&](TWorkThread& t) { return t.SetSpeedLimit(kind, value) ? kEngineOk : kEngineBadArgument; });
}

int EngineSetTaskPeerLimits(EngineTask task, int maxSourceConnections, int maxPeerConnections) {
    return WithTask(task, [&](TWorkThread& t) {
        t.SetPeerLimits(maxSourceConnections, maxPeerConnections);
        return kEngineOk;
    });
}

int EngineClearTaskMirrors(EngineTask task) {
    return WithTask(task, [](TWorkThread& t) {
        t.ClearMirrors();
        return kEngineOk;
    });
}

int EngineAddTaskMirror(EngineTask task, const char* urls, const char* hosts) {
    return WithTask(task, [&](TWorkThread& t) {
        t.SetMirrors(urls, hosts);
        return kEngineOk;
    });
}

int EngineGetTaskBitfieldSize(EngineTask task) {
    // Handles are registry numbers, so even this lock-free call must look the task up;
    // an unknown handle is answered, not dereferenced.
    QScopedLock api(EngineApiLock());
    try {
        TWorkThread* t = FindTask(task);
        if (!t)
            return kEngineBitfieldError;
        QScopedLock guard(t->ObjectLock());
        return static_cast<int>(t->Bitfield().size());
    } catch (...) {
        return kEngineBitfieldError;
    }
}

int EngineGetTaskBitfield(EngineTask task, unsigned char* buf, int len) {
    QScopedLock api(EngineApiLock());
    try {
        TWorkThread* t = FindTask(task);
        if (!t)
            return kEngineBitfieldError;
        if (!buf || len <= 0)
            return 0;
        QScopedLock guard(t->ObjectLock());
        const auto& bits = t->Bitfield();
        const size_t n = std::min(bits.size(), static_cast<size_t>(len));
        if (n)
            std::memcpy(buf, bits.data(), n);
        return static_cast<int>(n);
    } catch (...) {
        return kEngineBitfieldError;
    }
}

int EngineMessageBox(void* /*owner*/, const char* text, const char* caption, unsigned type) {
    auto handOff = std::make_shared<MessageHandOff>();
    platform::ShownMessage msg;
    msg.text = text ? text : "";
    msg.caption = caption ? caption : "";
    msg.type = type;
    try {
        std::thread([handOff, msg]() mutable {
            {
                std::lock_guard<std::mutex> g(handOff->m);
                handOff->copied = true;
            }
            handOff->cv.notify_all();
            std::string code = StatisticsSessionCode();
            if (code.empty()) {
                // The client may have had no code yet when the upload thread started.
                code = QueryStatisticsSessionCode();
                if (!code.empty())
                    SetStatisticsSessionCode(code);
            }
            if (!code.empty())
                msg.text += "\n\xA3\xA8" + code + "\xA3\xA9"; // full-width parentheses in GBK
            platform::ShowMessage(msg);
        }).detach();
    } catch (...) {
        return 0;
    }
    std::unique_lock<std::mutex> g(handOff->m);
    return handOff->cv.wait_for(g, std::chrono::milliseconds(2000), [&] { return handOff->copied; }) ? 1 : 0;
}

uint64_t EngineGetFreeDiskSpace(const char* path) {
    uint64_t bytes = 0;
    if (!path || !*path || !platform::FreeBytesForCaller(path, bytes))
        return 0;
    return bytes;
}

int64_t EngineGetAllocatedSize(const char* path) {
    if (!path)
        return 0;
    uint64_t bytes = 0;
    platform::FileQuery q = platform::AllocatedBytes(path, bytes);
    if (q != platform::FileQuery::Ok)
        q = platform::AllocatedBytes(std::string(path) + ".qvtmp", bytes);
    switch (q) {
    case platform::FileQuery::Ok:
        return static_cast<int64_t>(bytes);
    case platform::FileQuery::NotFound:
        return 0;
    default:
        return -1;
    }
}

void EngineReportTransfer(const char* code, const char* serverIp, const char* httpResult, uint32_t totalTime,
                          uint64_t totalBytes, uint64_t averageSpeed, const char* progress,
                          uint64_t httpTotalBytes, uint64_t httpAverageSpeed, uint64_t p2pTotalBytes,
                          uint64_t p2pAverageSpeed, uint32_t corruptPakId, const char* fileName,
                          const char* url, const char* errorMsg, int32_t flag) {
    QueueDataUpload(code, serverIp, httpResult, totalTime, totalBytes, averageSpeed, progress, httpTotalBytes,
                    httpAverageSpeed, p2pTotalBytes, p2pAverageSpeed, corruptPakId, fileName, url, errorMsg,
                    flag);
}

void EngineReportEvent(const char* code, const char* errorMsg, int32_t flag) {
    EngineReportTransfer(code, "", "", 0, 0, 0, "", 0, 0, 0, 0, 0, "", "", errorMsg, flag);
}

void EngineReportFileEvent(const char* code, const char* fileName, const char* errorMsg) {
    EngineReportTransfer(code, "", "", 0, 0, 0, "", 0, 0, 0, 0, 0, fileName, "", errorMsg, 0);
}

namespace {
CBrisklaneCore g_core;
}

bool EngineP2PEnabled() {
    return g_p2p.load();
}
bool EngineHttpDisguise() {
    return g_disguise.load();
}
int EngineListenPort() {
    return g_listenPort.load();
}
bool EngineInitialized() {
    return g_initialized.load();
}
const char* EngineDataPath() {
    return g_dataPath;
}
