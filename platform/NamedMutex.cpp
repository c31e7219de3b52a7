#include "platform/NamedMutex.h"

namespace platform {

namespace {
constexpr off_t kOwnerByte = NamedObjectFile::kFirstFreeLockByte;
} // namespace

NamedMutex::~NamedMutex() {
    Close();
}

NamedMutex::Result NamedMutex::Create(const std::string& name, bool initialOwner, const std::string& folder) {
    Close();
    // Ownership is taken inside the creation, so that no opener can take it first.
    auto takeOwnership = [&](int fd) {
        return !initialOwner || NamedObjectFile::LockByte(fd, kOwnerByte, true, 0);
    };
    switch (file_.Open(folder, name, NamedObjectFile::Mode::CreateOrOpen, takeOwnership)) {
    case NamedObjectFile::Result::Created:
        owned_ = initialOwner;
        return Result::Created;
    case NamedObjectFile::Result::Opened:
        return Result::Existing;
    case NamedObjectFile::Result::Failed:
        break;
    }
    return Result::Failed;
}

bool NamedMutex::Wait(unsigned timeoutMs) {
    if (!file_.isOpen())
        return false;
    if (owned_)
        return true;
    owned_ = NamedObjectFile::LockByte(file_.fd(), kOwnerByte, true, timeoutMs);
    return owned_;
}

bool NamedMutex::Release() {
    if (!file_.isOpen() || !owned_)
        return false;
    NamedObjectFile::UnlockByte(file_.fd(), kOwnerByte);
    owned_ = false;
    return true;
}

void NamedMutex::Close() {
    Release();
    file_.Close();
}

} // namespace platform
