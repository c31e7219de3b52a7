#include "app/EventReporter.h"

#include "engine/api/BrisklaneEngine.h"

void EventReporter::Event(const std::string& code, const std::string& message, int32_t flag) {
    EngineReportEvent(code.c_str(), message.c_str(), flag);
}

void EventReporter::FileEvent(const std::string& code, const std::string& fileName,
                              const std::string& message) {
    EngineReportFileEvent(code.c_str(), fileName.c_str(), message.c_str());
}

void EventReporter::ProgressEvent(const Progress& p) {
    EngineReportTransfer(p.code.c_str(), "", "", p.totalTime, p.totalBytes, p.averageSpeed,
                         p.progress.c_str(), p.httpBytes, p.httpAverage, p.p2pBytes, p.p2pAverage, 0, "", "",
                         p.errorMessage.c_str(), 0);
}
