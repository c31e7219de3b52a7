#pragma once
// Finding and ending other processes of this user.
#include <cstdint>
#include <sys/types.h>

namespace platform {

// The process that owns the thread with kernel identity threadId; 0 when no such
// thread exists.
uint32_t OwnerProcessOfThread(uint32_t threadId);
// Whether process pid has the file (device, inode) open.
bool ProcessHoldsFile(uint32_t pid, dev_t device, ino_t inode);
// Ends process pid at once (SIGKILL), but only when it is another process of this
// user and has the file open right now: a process number read from old data may
// meanwhile belong to anything. Waits up to waitMs for the process to be gone. True
// when the process was told to end.
bool TerminateFileHolder(uint32_t pid, dev_t device, ino_t inode, unsigned waitMs);

} // namespace platform
