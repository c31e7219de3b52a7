#pragma once
#include <string>

// The resume-information file of a task: its torrent and the two records of the
// piece map, plus an opaque value kept as read. Written only when something changed,
// and always whole-or-nothing, so a crash leaves the previous version readable.
class TResumeInfo {
public:
    std::string torrent;
    std::string part; // file-selection record
    std::string bits; // piece-state record
    std::string seeds;

    // Reads path; a missing or damaged file leaves every value empty (false).
    bool Load(const std::string& path);
    // Writes the file when a value differs from what was last loaded or saved.
    bool Save(const std::string& path);
    bool Dirty() const;
    void Clear();
    // The bencoded dictionary, keys in the order "bits", "part", "seeds", "torrent".
    std::string Encode() const;
    // Parses what Encode wrote; values of 2 bytes or less are taken as absent.
    bool Decode(const std::string& data);

private:
    std::string savedTorrent_, savedPart_, savedBits_, savedSeeds_;
    void MarkSaved();
};
