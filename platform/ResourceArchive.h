#pragma once
// The program's own resources, kept in an archive appended to its executable file:
// entries named by a type text, a numeric id and a language, as the resource section
// of a Windows program names them. A tool appends or replaces the archive; the
// program reads it back from its own file.
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

constexpr uint16_t kLanguageChineseSimplified = 2052;

struct ResourceEntry {
    std::string type; // e.g. "DUCONF", "TORRENT", "VERSION"
    uint32_t id = 0;
    uint16_t language = kLanguageChineseSimplified;
    std::string data;
};

class ResourceArchive {
public:
    enum class Status {
        Ok,      // read, or the file has no archive (then it is empty)
        NoFile,  // the file cannot be opened or read
        Damaged, // an archive trailer is there but the archive does not check out
    };

    // Reads the archive at the end of file. A file without a trailer gives Ok and no
    // entries.
    Status Load(const std::string& file);
    // Finds an entry; null when absent.
    const ResourceEntry* Find(const std::string& type, uint32_t id,
                              uint16_t language = kLanguageChineseSimplified) const;
    // Adds or replaces the entry with the same type, id and language.
    void Put(ResourceEntry entry);
    const std::vector<ResourceEntry>& entries() const { return entries_; }
    // The result and, on failure, a description of the last Load, for messages.
    Status status() const { return status_; }
    const std::string& error() const { return error_; }

    // The archive's bytes, to be appended to a program image.
    std::string Serialize() const;
    // The image without any archive at its end (the program as it was built); the
    // image unchanged when it carries none. False when a trailer is there but damaged.
    static bool StripArchive(const std::string& image, std::string& program);

private:
    std::vector<ResourceEntry> entries_;
    Status status_ = Status::Ok;
    std::string error_;
};

// Reads the archive of the running program once and keeps it; entries are looked up
// there by the controller.
const ResourceArchive& ProgramResources();

} // namespace platform
