#pragma once
// Writes the program's own resources (statistics configuration, torrents) to disk,
// with the temporary folder as the second place to try.
#include <string>

class ResourceExtractor {
public:
    // Resources are found in the archive appended to this program file unless a test
    // names another file (an empty name means this program).
    ResourceExtractor();
    explicit ResourceExtractor(std::string programFile);

    // 0: written to folder/fileName; 1: written to the temporary folder instead; -1: both
    // attempts failed. decode: the resource is Base64 text and its decoded bytes are
    // written. The folder chain is created when it does not exist.
    int ReleaseResource(int id, const std::string& folder, const std::string& fileName, const char* type,
                        bool decode);
    // The path a successful release wrote: folder/fileName after 0, the temporary
    // folder's file after 1.
    static std::string ReleasedPath(int result, const std::string& folder, const std::string& fileName);
    // The failure text of the last attempt (GBK), kept for a caller that wants it.
    const std::string& LastFailure() const { return lastFailure_; }

private:
    bool WriteOnce(int id, const std::string& target, const char* type, bool decode);
    std::string programFile_;
    std::string lastFailure_;
};
