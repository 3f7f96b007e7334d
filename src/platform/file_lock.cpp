#include "platform/file_lock.h"

#include <fcntl.h>

namespace zelnor {
namespace {

struct flock byteRequest(short type, off_t offset) {
  struct flock request {};
  request.l_type = type;
  request.l_whence = SEEK_SET;
  request.l_start = offset;
  request.l_len = 1;
  request.l_pid = 0;  // required to be 0 for open-file-description locks
  return request;
}

}  // namespace

bool lockByte(int fd, off_t offset) noexcept {
  struct flock request = byteRequest(F_WRLCK, offset);
  return ::fcntl(fd, F_OFD_SETLK, &request) == 0;
}

ByteLock probeByte(int fd, off_t offset) noexcept {
  struct flock request = byteRequest(F_WRLCK, offset);
  if (::fcntl(fd, F_OFD_GETLK, &request) != 0) {
    return ByteLock::kUnknown;
  }
  return request.l_type == F_UNLCK ? ByteLock::kFree : ByteLock::kHeld;
}

}  // namespace zelnor
