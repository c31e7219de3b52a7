#pragma once
// A named page of shared memory between the processes of one user. It lives while
// some live process holds it; a page made when no live process holds one starts
// zero-filled, so nothing written by an instance that crashed survives into the next.
// Access is not serialised here: processes agree on a lock of their own.
#include "platform/NamedObjectFile.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class SharedPage {
public:
    static constexpr size_t kSize = 4096;

    SharedPage() = default;
    ~SharedPage();
    SharedPage(const SharedPage&) = delete;
    SharedPage& operator=(const SharedPage&) = delete;

    // Creates or opens the page and maps it; false when either fails. folder empty:
    // NamedObjectFile::DefaultFolder().
    bool Open(const std::string& name, const std::string& folder = {});
    void Close();

    bool isOpen() const { return data_ != nullptr; }
    // Whether this object made the page (it was not held by anyone before).
    bool created() const { return created_; }
    // kSize bytes while open, else null.
    uint8_t* data() const { return data_; }

private:
    NamedObjectFile file_;
    uint8_t* data_ = nullptr;
    bool created_ = false;
};

} // namespace platform
