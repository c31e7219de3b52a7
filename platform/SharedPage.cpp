#include "platform/SharedPage.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

SharedPage::~SharedPage() {
    Close();
}

bool SharedPage::Open(const std::string& name, const std::string& folder) {
    Close();
    // Cutting to zero and growing again drops whatever a dead holder left.
    auto zeroFill = [](int fd) {
        return ::ftruncate(fd, 0) == 0 && ::ftruncate(fd, static_cast<off_t>(kSize)) == 0;
    };
    const NamedObjectFile::Result result =
        file_.Open(folder, name, NamedObjectFile::Mode::CreateOrOpen, zeroFill);
    if (result == NamedObjectFile::Result::Failed)
        return false;
    // A shorter file would fault on access; only a foreign writer could make one.
    struct stat st {};
    if (::fstat(file_.fd(), &st) != 0 || st.st_size < static_cast<off_t>(kSize)) {
        file_.Close();
        return false;
    }
    void* p = ::mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_SHARED, file_.fd(), 0);
    if (p == MAP_FAILED) {
        file_.Close();
        return false;
    }
    data_ = static_cast<uint8_t*>(p);
    created_ = result == NamedObjectFile::Result::Created;
    return true;
}

void SharedPage::Close() {
    if (data_) {
        ::munmap(data_, kSize);
        data_ = nullptr;
    }
    created_ = false;
    file_.Close();
}

} // namespace platform
