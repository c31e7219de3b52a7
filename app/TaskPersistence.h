#pragma once
// The job file: one INI file that carries the state of the download job across runs
// (what was started where, which files finished and how they looked then, how long it
// took). Read and written only through the platform's profile functions; the first
// write creates it.
#include <cstdint>
#include <string>

class TaskPersistence {
public:
    static constexpr const char* kTaskSection = "BrisklaneTask";
    static constexpr const char* kFinishSection = "BrisklaneFinishInfo";

    TaskPersistence() = default;
    explicit TaskPersistence(std::string path) : path_(std::move(path)) {}
    const std::string& path() const { return path_; }

    bool Exists() const;
    // Deletes the file; true when it is gone afterwards.
    bool Remove() const;

    // A value of the task section; "" when missing.
    std::string Read(const std::string& key) const;
    int ReadInt(const std::string& key, int def) const;
    bool Write(const std::string& key, const std::string& value) const;

    // Hash, the tick count and the local time of the start.
    void WriteJobStart(const std::string& taskHash) const;
    bool IsJobComplete() const;
    void MarkJobComplete() const;
    // Split at 2^31, as the readers of this file expect.
    void SaveDownloadedSize(uint64_t bytes) const;

    // -1 when the file does not exist, else the stored choice (0 when unset).
    int GetCloseSelection() const;
    // 0 when no path is set, else 1.
    int SetCloseSelection(unsigned choice) const;

    // What identifies a finished file: its write time (as local time) and its size,
    // each as two 32-bit halves.
    struct FileIdentity {
        uint32_t writeTimeHigh = 0, writeTimeLow = 0, sizeHigh = 0, sizeLow = 0;
    };
    // False when the file is not there.
    static bool IdentifyFile(const std::string& file, FileIdentity& out);
    // A FILETIME value moved by the current local UTC offset, as the system's
    // conversion to local file time does: the bias of now, not of the given date.
    static uint64_t ToLocalFileTime(uint64_t utcFileTime);

    // Writes the finish record of file index i from file; nothing when it is missing.
    bool RecordFinishedFile(int i, const std::string& file) const;
    // The file exists and its four values match the finish record of i exactly.
    bool MatchesFinishRecord(int i, const std::string& file) const;

private:
    std::string path_;
};
