#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The header block of one HTTP response: its status line taken apart and its fields
// kept as lines. Works on raw bytes as they arrived, so a hostile or broken server can
// at worst make a field look absent.
class THttpHeader {
public:
    THttpHeader() = default;

    // Parses the header block at the start of data: up to and including the empty line
    // that ends it (LF LF or LF CR LF). Returns the block's length, or 0 while the block
    // is not complete, leaving the previous contents in place.
    size_t Parse(const char* data, size_t length);
    // The value of the first field called name (case ignored unless case-sensitive),
    // without the blanks around it; empty when there is none.
    std::string GetField(std::string_view name) const;
    bool HasField(std::string_view name) const;
    void Clear();

    // 0 when the block had no status line.
    int Status() const { return status_; }
    const std::string& Reason() const { return reason_; }
    // "1.0" unless the status line said otherwise.
    const std::string& Version() const { return version_; }
    // The field lines; the status line is not among them.
    const std::vector<std::string>& Lines() const { return lines_; }
    void SetCaseSensitive(bool on) { caseSensitive_ = on; }

private:
    // The line of field name, or null.
    const std::string* FindField(std::string_view name, size_t& valueStart) const;
    void TakeStatusLine(const std::string& line);

    std::vector<std::string> lines_;
    std::string reason_;
    int status_ = 0;
    bool caseSensitive_ = false;
    char separator_ = ':';
    std::string version_ = "1.0";
};
