#include "platform/SingleInstance.h"

#include "platform/Clock.h"
#include "platform/DebugOutput.h"
#include "platform/ProcessControl.h"

#include <cstring>
#include <unistd.h>
#include <utility>

namespace platform {

SingleInstance::SingleInstance(std::string productKey, std::string folder)
    : key_(std::move(productKey)), folder_(std::move(folder)) {}

SingleInstance::~SingleInstance() {
    Close();
}

std::string SingleInstance::MappingName(const std::string& productKey) {
    return "Brisklane_Only_Mapping_" + productKey;
}

std::string SingleInstance::EventName(const std::string& productKey) {
    return "Brisklane_ReplyEvt_" + productKey;
}

bool SingleInstance::Check() {
    if (outcome_ != Outcome::NotChecked)
        return outcome_ != Outcome::Refused;
    const NamedMutex::Result made = mutex_.Create(key_, true, folder_);
    if (made != NamedMutex::Result::Existing) {
        // Also when the mutex cannot be made at all: then nothing could stop a second
        // instance either, and refusing to start would help no one.
        if (made == NamedMutex::Result::Created)
            ThreadMessagePort::RemoveAll(key_, folder_); // no live instance of the key owns one
        // Published while this process owns the mutex, and later starts read the page
        // only once they own it, so none of them sees a half-made first instance.
        if (page_.Open(MappingName(key_), folder_)) {
            const uint32_t self = CurrentThreadId();
            std::memcpy(page_.data() + kThreadIdOffset, &self, sizeof self);
            reply_.Create(EventName(key_), folder_);
            port_.Open(key_, folder_);
        }
        mutex_.Release();
        outcome_ = Outcome::First;
        return true;
    }

    // A first instance owns the mutex only while it publishes itself or answers; one
    // that keeps it longer is stuck, and the page is then read as it is.
    const bool owned = mutex_.Wait(kReplyWaitMs);
    uint32_t firstThread = 0;
    bool pageOpen = page_.Open(MappingName(key_), folder_);
    if (pageOpen) {
        std::memcpy(&firstThread, page_.data() + kThreadIdOffset, sizeof firstThread);
        char cwd[SharedPage::kSize] = {};
        if (!::getcwd(cwd, sizeof cwd))
            cwd[0] = '\0';
        const size_t n = ::strnlen(cwd, kFolderCapacity - 1);
        std::memcpy(page_.data() + kFolderOffset, cwd, n);
        page_.data()[kFolderOffset + n] = '\0';
    }
    if (owned)
        mutex_.Release();
    if (pageOpen) {
        ThreadMessagePort::Post(key_, firstThread, ThreadMessage{kActivateMessage, 0, 0}, folder_);
        reply_.Open(EventName(key_), folder_);
    }
    if (reply_.Wait(kReplyWaitMs)) {
        outcome_ = Outcome::Refused;
        return false;
    }

    // No answer: the instance is hung or gone. The page may name a thread that has
    // ended long ago, so the process found for it is ended only when it still holds
    // this key's mutex.
    const uint32_t owner = OwnerProcessOfThread(firstThread);
    if (owner != 0) {
        if (TerminateFileHolder(owner, mutex_.file().device(), mutex_.file().inode(), kReplyWaitMs)) {
            terminated_ = owner;
            DebugOutput("single instance: ended unresponsive instance " + std::to_string(owner));
        } else {
            DebugOutput("single instance: process " + std::to_string(owner) + " is no instance, left alone");
        }
    }
    outcome_ = Outcome::TookOver;
    return true;
}

void SingleInstance::SetActivateHandler(std::function<void()> handler) {
    onActivate_ = std::move(handler);
}

int SingleInstance::activationFd() const {
    return port_.fd();
}

void SingleInstance::HandlePending() {
    ThreadMessage message;
    while (port_.Receive(message)) {
        if (message.message == kActivateMessage)
            Activate();
    }
}

void SingleInstance::Activate() {
    // Without the mutex there is no answer, and the asking start ends this instance.
    if (!mutex_.Wait(kHandlerLockWaitMs))
        return;
    reply_.Set();
    if (page_.isOpen()) {
        const char* text = reinterpret_cast<const char*>(page_.data() + kFolderOffset);
        requestFolder_.assign(text, ::strnlen(text, kFolderCapacity));
    }
    mutex_.Release();
    if (onActivate_)
        onActivate_();
}

void SingleInstance::Close() {
    port_.Close();
    reply_.Close();
    mutex_.Close();
    page_.Close();
}

} // namespace platform
