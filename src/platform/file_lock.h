// Open-file-description locks on single bytes of a file, used as claims between processes.
//
// Such a lock belongs to the open file description, not to a process or a descriptor, and a
// shared mapping of the file keeps that description alive after its descriptor is closed. So a
// lock taken just before mapping and closing lasts exactly as long as the mapping: it is released
// by munmap, by exec and by the end of the process however it ends, and another process can probe
// it on a descriptor of its own, across users and pid namespaces, without /proc.
#pragma once

#include <sys/types.h>

namespace zelnor {

enum class ByteLock {
  kHeld,     // someone holds it
  kFree,     // nobody holds it
  kUnknown,  // the probe itself failed
};

// Takes a write lock on byte `offset` for the open file description of `fd` (which must be open
// for writing), without waiting. True on success; false with errno set otherwise (EAGAIN when
// another description holds it).
bool lockByte(int fd, off_t offset) noexcept;

// Whether another open file description holds a lock on byte `offset`.
ByteLock probeByte(int fd, off_t offset) noexcept;

}  // namespace zelnor
