#pragma once
#include "engine/core/CBrisklaneLog.h"
#include "engine/core/LogCategories.h"

#include <mutex>
#include <string>

// One log for the whole process: a line's debug level decides whether it goes to the
// debugger output, its category whether it is appended to one of eleven files.
class CBrisklaneLogApi : public CBrisklaneLog {
public:
    static constexpr int kFileCount = 11;
    static constexpr int kLineBuffer = 4096;
    static constexpr int kOff = kLogOff;
    // Serious failures and above go to files; nearly everything to the debugger output.
    static constexpr int kInitialFileThreshold = kLogSerious;
    static constexpr int kInitialDebugThreshold = 2;

    CBrisklaneLogApi();
    void SetLevels(int fileThreshold, int debugThreshold) override;
    void SetBasePath(const char* base) override;
    void Write(const char* message, int category, int debugLevel) override;
    void Printf(const char* format, ...) override __attribute__((format(printf, 2, 3)));

    // The file a category selects (index into the table of suffixes).
    static int FileIndexForCategory(int category);
    std::string PathForCategory(int category) const;

private:
    int fileThreshold_ = kInitialFileThreshold;
    int debugThreshold_ = kInitialDebugThreshold;
    mutable std::mutex guard_;
    std::string paths_[kFileCount];
};
