#pragma once
// One running instance per product key. The first instance of a key publishes the
// identity of its user-interface thread; a later start asks that thread to bring the
// program to the front and quits when it answers within a second, and otherwise ends
// the silent instance and runs itself. Instances of different keys never meet: every
// shared object is named after the key.
//
// Check, HandlePending and Close belong to the user-interface thread: the thread that
// runs Check is the one later starts address.
#include "platform/NamedMutex.h"
#include "platform/ReplyEvent.h"
#include "platform/SharedPage.h"
#include "platform/ThreadMessagePort.h"

#include <cstdint>
#include <functional>
#include <string>

namespace platform {

class SingleInstance {
public:
    enum class Outcome {
        NotChecked,
        First,    // made the instance objects; answers later starts
        Refused,  // the running instance answered: this process is to end
        TookOver, // nobody answered in time: runs, but answers nobody
    };

    static constexpr uint32_t kActivateMessage = 11025;
    static constexpr unsigned kReplyWaitMs = 1000;
    static constexpr unsigned kHandlerLockWaitMs = 5000;
    // Page layout: the first instance's thread identity, then the latest later
    // start's current folder (NUL-terminated).
    static constexpr size_t kThreadIdOffset = 0;
    static constexpr size_t kFolderOffset = 4;
    static constexpr size_t kFolderCapacity = SharedPage::kSize - kFolderOffset;

    // folder: where the shared objects live; empty: NamedObjectFile::DefaultFolder().
    explicit SingleInstance(std::string productKey, std::string folder = {});
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // True when this process may go on starting; run once.
    bool Check();
    // Called on the user-interface thread when a later start asks for the front.
    void SetActivateHandler(std::function<void()> handler);
    // Readable when activation requests wait; -1 unless this is the first instance.
    int activationFd() const;
    // Services every waiting request: answers it and calls the activate handler.
    void HandlePending();
    // Gives up every shared object; also done on destruction.
    void Close();

    Outcome outcome() const { return outcome_; }
    // The process a takeover ended; 0 when none.
    uint32_t terminatedProcess() const { return terminated_; }
    // The current folder the latest activation request carried.
    const std::string& requestFolder() const { return requestFolder_; }

    static std::string MappingName(const std::string& productKey);
    static std::string EventName(const std::string& productKey);

private:
    void Activate();

    std::string key_;
    std::string folder_;
    NamedMutex mutex_;
    SharedPage page_;
    ReplyEvent reply_;
    ThreadMessagePort port_;
    std::function<void()> onActivate_;
    Outcome outcome_ = Outcome::NotChecked;
    uint32_t terminated_ = 0;
    std::string requestFolder_;
};

} // namespace platform
