#pragma once
// Statistics records on their way to the statistics client. Any thread queues a
// record; one thread per process hands the queued records to the client and flushes
// them as one batch per pass. Without a client nothing is built or sent.
#include "engine/core/QThread.h"
#include "engine/core/StatisticsRecord.h"

#include <cstdint>
#include <string>

class IDataStatisticsUser;
struct UploadRecord;

class DataUpload : public QThread {
public:
    DataUpload();
    ~DataUpload() override;

    void Run() override;
    void Refresh() override {}

    // Hands statsInit to the client (when both exist) and keeps the four strings when
    // none of them is null. Called before the thread starts; read-only afterwards.
    void Configure(const char* statsInit, const char* gameId, const char* appVersion, const char* gameVersion,
                   const char* channel);
    // The client is ready and the download is named well enough to be counted.
    bool UploadEnabled() const;
    // Formats one record on the caller's thread and queues it.
    void Queue(const StatisticsRecord& record);
    // The client's short session code; empty without a client or while uploading is off.
    std::string SessionCode() const;

private:
    void Send(UploadRecord& record, IDataStatisticsUser* client);
    // One second between passes, cut short by a stop request.
    void Pause();

    bool clientReady_ = false;
    // Touched only by the upload thread, under the object lock.
    int32_t sentCount_ = 0;
    std::string gameId_;
    std::string appVersion_;
    std::string gameVersion_;
    std::string channel_;
};

// The process-wide upload thread. StartDataUpload replaces (and stops) any earlier
// one; StopDataUpload stops, joins and deletes it. Reports made while no upload thread
// runs are dropped.
void StartDataUpload(const char* statsInit, const char* gameId, const char* appVersion,
                     const char* gameVersion, const char* channel);
void StopDataUpload();
// Asks the running upload thread for the session code; empty when there is none.
std::string QueryStatisticsSessionCode();
// The statistics session code shown after message texts, as last handed out by the
// client; empty until then.
std::string StatisticsSessionCode();
void SetStatisticsSessionCode(const std::string& code);

// For tests only: stops and deletes the upload thread, drops every queued record,
// deletes the statistics client, removes the factory (so the next one installed is
// asked again), and zeroes the previous values and the session code.
void ResetDataUploadForTests();
