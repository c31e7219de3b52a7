#pragma once
// A mutex shared by name between the processes of one user. It exists while some live
// process holds it open; the process that finds no live holder is its creator. Owning
// it is separate from holding it: ownership is what Wait takes and Release gives back,
// and the owner's death gives it back too. Ownership belongs to this object, not to a
// thread, and is not counted (a second Wait by the owner succeeds at once).
#include "platform/NamedObjectFile.h"

#include <string>

namespace platform {

class NamedMutex {
public:
    enum class Result { Created, Existing, Failed };

    NamedMutex() = default;
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Creates the mutex or opens the existing one. initialOwner makes a creator the
    // owner before any other process can see the mutex; an opener never owns it
    // from here. folder empty: NamedObjectFile::DefaultFolder().
    Result Create(const std::string& name, bool initialOwner, const std::string& folder = {});
    // Takes ownership, waiting up to timeoutMs; false on time-out or when not open.
    bool Wait(unsigned timeoutMs);
    // Gives ownership back; false (and nothing happens) when this object is no owner.
    bool Release();
    void Close();

    bool isOpen() const { return file_.isOpen(); }
    bool owned() const { return owned_; }
    const NamedObjectFile& file() const { return file_; }

private:
    NamedObjectFile file_;
    bool owned_ = false;
};

} // namespace platform
