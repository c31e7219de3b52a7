#include "engine/api/BrisklaneEngine.h"

#include "engine/api/CBrisklaneCore.h"

#include "engine/core/DataUpload.h"
#include "engine/core/EngineLocks.h"
#include "engine/core/EngineLog.h"
#include "engine/core/EngineSettings.h"
#include "engine/core/QScopedLock.h"
#include "engine/core/QTimeThread.h"
#include "engine/net/QProxyEnvironment.h"
#include "engine/piece/TFileStore.h"
#include "engine/task/QTaskRegistry.h"
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
    EngineSettings::SetListenPort(port);
    return kEngineOk;
}

int EngineInitialize(const char* dataPath) {
    QScopedLock api(EngineApiLock());
    if (EngineSettings::Initialized())
        return kEngineOk;
    // A peer that closes its end must fail the send, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    if (dataPath)
        EngineSettings::SetDataPath(std::string(dataPath).substr(0, kEnginePathSize - 1));
    // The proxy the user configured for command-line tools applies to every connection.
    LoadProxyFromEnvironment();
    EngineSettings::SetInitialized(true);
    return kEngineOk;
}

int EngineSetP2PEnabled(int on) {
    EngineSettings::SetP2PEnabled(on != 0);
    return kEngineOk;
}

void EngineSetHttpDisguise(int on) {
    EngineSettings::SetHttpDisguise(on != 0);
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
        if (!EngineSettings::Initialized())
            return kEngineOk;
        // One at a time, always the first, without the registry lock held while a
        // task is deleted (its destructor takes it to unregister).
        while (TBaseWork* task = QTaskRegistry::First())
            delete task;
        TActiveTorrents::Clear();
        if (StopClock())
            LogLine(kLogServiceStopped, "Time Ensure Thread Stopped.. ");
        EngineSettings::SetInitialized(false);
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
    return path ? TFileStore::AllocatedSize(path) : 0;
}

namespace {
std::string Text(const char* s) {
    return s ? s : "";
}
} // namespace

void EngineReportTransfer(const char* code, const char* serverIp, const char* httpResult, uint32_t totalTime,
                          uint64_t totalBytes, uint64_t averageSpeed, const char* progress,
                          uint64_t httpTotalBytes, uint64_t httpAverageSpeed, uint64_t p2pTotalBytes,
                          uint64_t p2pAverageSpeed, uint32_t corruptPakId, const char* fileName,
                          const char* url, const char* errorMsg, int32_t flag) {
    StatisticsRecord r;
    r.code = Text(code);
    r.serverIp = Text(serverIp);
    r.httpResult = Text(httpResult);
    r.totalTime = totalTime;
    r.totalBytes = totalBytes;
    r.averageSpeed = averageSpeed;
    r.progress = Text(progress);
    r.httpTotalBytes = httpTotalBytes;
    r.httpAverageSpeed = httpAverageSpeed;
    r.p2pTotalBytes = p2pTotalBytes;
    r.p2pAverageSpeed = p2pAverageSpeed;
    r.corruptPakId = corruptPakId;
    r.fileName = Text(fileName);
    r.url = Text(url);
    r.errorMsg = Text(errorMsg);
    r.flag = flag;
    ReportStatistics(r);
}

void EngineReportEvent(const char* code, const char* errorMsg, int32_t flag) {
    StatisticsRecord r;
    r.code = Text(code);
    r.errorMsg = Text(errorMsg);
    r.flag = flag;
    ReportStatistics(r);
}

void EngineReportFileEvent(const char* code, const char* fileName, const char* errorMsg) {
    StatisticsRecord r;
    r.code = Text(code);
    r.fileName = Text(fileName);
    r.errorMsg = Text(errorMsg);
    ReportStatistics(r);
}

namespace {
CBrisklaneCore g_core;
}

bool EngineInitialized() {
    return EngineSettings::Initialized();
}
