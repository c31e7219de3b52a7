#pragma once
#include <cstdint>
#include <string>

// One statistics record as a reporter hands it to the upload thread. Texts are GBK and
// may be empty; figures the reporter does not know stay 0.
struct StatisticsRecord {
    std::string code; // the event code
    std::string serverIp;
    std::string httpResult;
    uint32_t totalTime = 0; // seconds
    uint64_t totalBytes = 0;
    uint64_t averageSpeed = 0;
    std::string progress;
    uint64_t httpTotalBytes = 0;
    uint64_t httpAverageSpeed = 0;
    uint64_t p2pTotalBytes = 0;
    uint64_t p2pAverageSpeed = 0;
    uint32_t corruptPakId = 0;
    std::string fileName;
    std::string url;
    std::string errorMsg;
    int32_t flag = 0;
};

// Queues the record for the process's upload thread, from any thread; dropped while no
// upload thread runs or no statistics client exists.
void ReportStatistics(const StatisticsRecord& record);
