#pragma once
// Where the controller's statistics events go. The default hands them to the engine's
// statistics upload; tests put a recorder in its place.
#include <cstdint>
#include <string>

class EventReporter {
public:
    // The transfer figures that accompany a progress event.
    struct Progress {
        std::string code;
        uint32_t totalTime = 0; // seconds downloading in this run
        uint64_t totalBytes = 0, averageSpeed = 0;
        std::string progress; // percentage text
        uint64_t httpBytes = 0, httpAverage = 0, p2pBytes = 0, p2pAverage = 0;
        std::string errorMessage;
    };

    virtual ~EventReporter() = default;
    virtual void Event(const std::string& code, const std::string& message, int32_t flag);
    virtual void FileEvent(const std::string& code, const std::string& fileName, const std::string& message);
    virtual void ProgressEvent(const Progress& p);
};
