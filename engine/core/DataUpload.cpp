#include "engine/core/DataUpload.h"

#include "engine/core/EngineLog.h"
#include "engine/core/IDataStatisticsUser.h"
#include "engine/core/QSMutex.h"
#include "engine/core/QScopedLock.h"
#include "engine/core/QTMutex.h"
#include "platform/Clock.h"

#include <cerrno>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>

struct UploadRecord {
    std::string code;
    std::string body;
    int32_t flag = 0;
};

namespace {
constexpr size_t kTextLimit = 4096;

// The statistics client adds its own leading members, hence the leading comma. The
// values are always arguments, never part of the format.
int FormatBody(char* out, size_t size, const char* const (&v)[23]) {
    // clang-format off
    return std::snprintf(out, size,
        ",\"DVersion\":\"%s\",\"GameID\":\"%s\",\"AppVersion\":\"%s\",\"GVersion\":\"%s\",\"Dchannel\":\"%s\","
        "\"Serverip\":\"%s\",\"Httpresult\":\"%s\",\"Totaltime\":\"%s\",\"Intime\":\"%s\","
        "\"Totalbytes\":\"%s\",\"Intotalbytes\":\"%s\",\"Averagespeed\":\"%s\",\"Progress\":\"%s\","
        "\"Httptotalbytes\":\"%s\",\"Inhttptotalbytes\":\"%s\",\"Httpaveragespeed\":\"%s\","
        "\"P2ptotalbytes\":\"%s\",\"Inp2ptotalbytes\":\"%s\",\"P2paveragespeed\":\"%s\","
        "\"Corruptpakid\":\"%s\",\"Filename\":\"%s\",\"Url\":\"%s\",\"Errormsg\":\"%s\"",
        v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10], v[11],
        v[12], v[13], v[14], v[15], v[16], v[17], v[18], v[19], v[20], v[21], v[22]);
    // clang-format on
}

// Everything below is created on first use and never destroyed, so that a thread
// still reporting while the process exits finds it intact.

// The client and the factory that makes it. The factory is asked once; the client it
// gives is kept for the rest of the process.
struct ClientState {
    QSMutex lock;
    DataStatisticsFactory factory = nullptr;
    bool asked = false;
    IDataStatisticsUser* client = nullptr;
};

ClientState& Client() {
    static ClientState* state = new ClientState;
    return *state;
}

IDataStatisticsUser* StatisticsClient() {
    ClientState& s = Client();
    QScopedLock hold(s.lock);
    if (!s.client && !s.asked && s.factory) {
        s.asked = true;
        IDataStatisticsUser* made = nullptr;
        try {
            s.factory(kDataStatisticsInterfaceId, &made);
        } catch (...) {
            made = nullptr;
        }
        s.client = made;
    }
    return s.client;
}

struct UploadQueue {
    QSMutex lock;
    std::deque<std::unique_ptr<UploadRecord>> records;
};

UploadQueue& Records() {
    static UploadQueue* queue = new UploadQueue;
    return *queue;
}

bool QueueEmpty() {
    UploadQueue& q = Records();
    QScopedLock hold(q.lock);
    return q.records.empty();
}

std::unique_ptr<UploadRecord> TakeFirst() {
    UploadQueue& q = Records();
    QScopedLock hold(q.lock);
    if (q.records.empty())
        return nullptr;
    std::unique_ptr<UploadRecord> r = std::move(q.records.front());
    q.records.pop_front();
    return r;
}

// The last non-zero figures reported, from which the "In" members are counted. Shared
// by every reporting thread, so read and replaced together under one lock.
struct PreviousValues {
    QSMutex lock;
    uint32_t totalTime = 0;
    uint64_t totalBytes = 0;
    uint64_t httpTotalBytes = 0;
    uint64_t p2pTotalBytes = 0;
};

PreviousValues& Previous() {
    static PreviousValues* values = new PreviousValues;
    return *values;
}

template <typename T> std::string Delta(T value, T& previous) {
    const T delta = value > previous ? value - previous : 0;
    if (value != 0)
        previous = value;
    return std::to_string(delta);
}

// The process-wide upload thread. Reporters hold the lock while they queue, so the
// thread cannot be deleted under them.
struct UploadThreadState {
    QTMutex lock;
    DataUpload* thread = nullptr;
};

UploadThreadState& Upload() {
    static UploadThreadState* state = new UploadThreadState;
    return *state;
}

std::mutex g_sessionLock;
std::string* g_session = new std::string;
} // namespace

std::string StatisticsSessionCode() {
    std::lock_guard<std::mutex> g(g_sessionLock);
    return *g_session;
}

void SetStatisticsSessionCode(const std::string& code) {
    std::lock_guard<std::mutex> g(g_sessionLock);
    *g_session = code;
}

void SetDataStatisticsFactory(DataStatisticsFactory factory) {
    ClientState& s = Client();
    QScopedLock hold(s.lock);
    s.factory = factory;
}

DataUpload::DataUpload() = default;

DataUpload::~DataUpload() {
    Stop();
}

void DataUpload::Configure(const char* statsInit, const char* gameId, const char* appVersion,
                           const char* gameVersion, const char* channel) {
    IDataStatisticsUser* client = StatisticsClient();
    if (client && statsInit) {
        client->SetConfigFile(statsInit);
        clientReady_ = true;
    }
    if (gameId && appVersion && gameVersion && channel) {
        gameId_ = gameId;
        appVersion_ = appVersion;
        gameVersion_ = gameVersion;
        channel_ = channel;
    }
}

bool DataUpload::UploadEnabled() const {
    return clientReady_ && !gameId_.empty() && !appVersion_.empty() && !gameVersion_.empty();
}

std::string DataUpload::SessionCode() const {
    IDataStatisticsUser* client = StatisticsClient();
    if (!client || !UploadEnabled())
        return {};
    try {
        char buffer[kTextLimit] = {};
        size_t size = sizeof buffer;
        if (client->GetSessionCode(buffer, &size) != 1)
            return {};
        buffer[sizeof buffer - 1] = 0;
        return buffer;
    } catch (...) {
        return {};
    }
}

void DataUpload::Queue(const StatisticsRecord& r) {
    try {
        if (!IsRunning())
            return;
        LogLine(kLogStatisticsUpload, r.code.c_str());

        std::string inTime, inTotal, inHttp, inP2p;
        {
            PreviousValues& p = Previous();
            QScopedLock hold(p.lock);
            inTime = Delta(r.totalTime, p.totalTime);
            inTotal = Delta(r.totalBytes, p.totalBytes);
            inHttp = Delta(r.httpTotalBytes, p.httpTotalBytes);
            inP2p = Delta(r.p2pTotalBytes, p.p2pTotalBytes);
        }
        if (!UploadEnabled() || !StatisticsClient())
            return;

        const std::string seconds = std::to_string(r.totalTime);
        const std::string total = std::to_string(r.totalBytes);
        const std::string average = std::to_string(r.averageSpeed);
        const std::string http = std::to_string(r.httpTotalBytes);
        const std::string httpAverage = std::to_string(r.httpAverageSpeed);
        const std::string p2p = std::to_string(r.p2pTotalBytes);
        const std::string p2pAverage = std::to_string(r.p2pAverageSpeed);
        const std::string pak = std::to_string(r.corruptPakId);
        const char* const values[23] = {"1.8",
                                        gameId_.c_str(),
                                        appVersion_.c_str(),
                                        gameVersion_.c_str(),
                                        channel_.c_str(),
                                        r.serverIp.c_str(),
                                        r.httpResult.c_str(),
                                        seconds.c_str(),
                                        inTime.c_str(),
                                        total.c_str(),
                                        inTotal.c_str(),
                                        average.c_str(),
                                        r.progress.c_str(),
                                        http.c_str(),
                                        inHttp.c_str(),
                                        httpAverage.c_str(),
                                        p2p.c_str(),
                                        inP2p.c_str(),
                                        p2pAverage.c_str(),
                                        pak.c_str(),
                                        r.fileName.c_str(),
                                        r.url.c_str(),
                                        r.errorMsg.c_str()};
        const int length = FormatBody(nullptr, 0, values);
        if (length < 0)
            return;
        auto record = std::make_unique<UploadRecord>();
        record->body.resize(static_cast<size_t>(length));
        FormatBody(record->body.data(), record->body.size() + 1, values);
        record->code = r.code;
        record->flag = r.flag;

        QScopedLock hold(ObjectLock());
        UploadQueue& q = Records();
        QScopedLock queued(q.lock);
        q.records.push_back(std::move(record));
    } catch (...) {
        // A report that cannot be built is lost; the caller must not notice.
    }
}

void DataUpload::Pause() {
    for (int i = 0; i < 10; ++i) {
        platform::SleepMs(100);
        if (StopRequested())
            return;
    }
}

void DataUpload::Run() {
    for (;;) {
        Pause();
        if (QueueEmpty()) {
            if (CheckStop() || !IsRunning())
                return;
            continue;
        }
        QScopedLock hold(ObjectLock());
        IDataStatisticsUser* client = StatisticsClient();
        while (std::unique_ptr<UploadRecord> record = TakeFirst())
            Send(*record, client);
        if (sentCount_ > 0) {
            sentCount_ = 0;
            try {
                client->SubmitEventDownloadSeveral();
            } catch (...) {
                // A batch that fails is the client's concern; the next pass goes on.
            }
        }
    }
}

void DataUpload::Send(UploadRecord& record, IDataStatisticsUser* client) {
    try {
        const std::string prefix = ThreadPrefix();
        if (!client || !UploadEnabled())
            return;
        if (record.code.empty() || record.body.empty()) {
            LogLine(kLogStatisticsUpload, (prefix + "Data Upload Failed with Empty Code Or Body").c_str());
            return;
        }
        ++sentCount_;
        client->AddEvent(record.code.c_str(), record.body.c_str(), &record.flag);
    } catch (...) {
        const unsigned long error = static_cast<unsigned long>(errno);
        try {
            std::string text = "A exception catched in dataupload";
            text += "CODE : (" + record.code + ")";
            text += "ErrorCode : (" + std::to_string(error) + ")";
            if (text.size() >= kTextLimit)
                text = ThreadPrefix() + "A exception catched in AddData";
            LogLine(kLogStatisticsUpload, text.c_str());
        } catch (...) {
        }
    }
}

void StartDataUpload(const char* statsInit, const char* gameId, const char* appVersion,
                     const char* gameVersion, const char* channel) {
    try {
        // One upload thread per process: an earlier one ends before the new one starts.
        StopDataUpload();
        auto fresh = std::make_unique<DataUpload>();
        fresh->Configure(statsInit, gameId, appVersion, gameVersion, channel);
        DataUpload* previous = nullptr;
        {
            UploadThreadState& u = Upload();
            QScopedLock hold(u.lock);
            // Started under the lock, so that a concurrent stop cannot delete it first.
            previous = u.thread;
            u.thread = fresh.release();
            u.thread->Start("CollectDataUpload");
            SetStatisticsSessionCode(u.thread->SessionCode());
        }
        delete previous;
    } catch (...) {
    }
}

void StopDataUpload() {
    DataUpload* thread = nullptr;
    {
        UploadThreadState& u = Upload();
        QScopedLock hold(u.lock);
        thread = u.thread;
        u.thread = nullptr;
    }
    // The destructor stops the thread and joins it.
    delete thread;
}

void ReportStatistics(const StatisticsRecord& record) {
    UploadThreadState& u = Upload();
    QScopedLock hold(u.lock);
    if (u.thread)
        u.thread->Queue(record);
}

std::string QueryStatisticsSessionCode() {
    UploadThreadState& u = Upload();
    QScopedLock hold(u.lock);
    return u.thread ? u.thread->SessionCode() : std::string();
}

void ResetDataUploadForTests() {
    StopDataUpload();
    {
        UploadQueue& q = Records();
        QScopedLock hold(q.lock);
        q.records.clear();
    }
    {
        PreviousValues& p = Previous();
        QScopedLock hold(p.lock);
        p.totalTime = 0;
        p.totalBytes = 0;
        p.httpTotalBytes = 0;
        p.p2pTotalBytes = 0;
    }
    {
        ClientState& s = Client();
        QScopedLock hold(s.lock);
        delete s.client;
        s.client = nullptr;
        s.asked = false;
        s.factory = nullptr;
    }
    SetStatisticsSessionCode("");
}
