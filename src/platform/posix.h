// Small owners for the operating-system resources the system uses (descriptors and mappings),
// the exception type for a failed system call, file identities, and the one way diagnostics are
// written.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/process.h"

namespace zelnor {

// A failed system call: a fixed text naming the step, followed by strerror(code).
// `code()` lets callers tell a failure that may pass (EMFILE, EAGAIN, ...) from one that won't.
class SystemCallError : public std::runtime_error {
 public:
  SystemCallError(std::string_view step, int code);
  // Exactly `message`, for failures whose fixed text does not name the error; code() still does.
  static SystemCallError withFixedText(std::string message, int code) {
    return SystemCallError(std::move(message), code, FixedText{});
  }
  int code() const noexcept { return code_; }

 private:
  struct FixedText {};
  SystemCallError(std::string message, int code, FixedText)
      : std::runtime_error(std::move(message)), code_(code) {}
  int code_;
};

// A file that is refused before anything in it is touched (not a regular file, extra links, ...).
class RefusedFile : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Writes "ERROR: " + message as one line on standard output and flushes it. Conditions that only
// lose data or must be retried are reported this way; nothing in the system writes to stderr.
void writeErrorLine(std::string_view message);

// Owns one file descriptor; closes it on destruction. Move-only.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  int release() noexcept;
  void reset() noexcept;
  // Closes now and reports close()'s result (0, or -1 with errno set).
  int close() noexcept;

 private:
  int fd_ = -1;
};

// Owns one descriptor that no forked child keeps: fork()'s child handler closes it in the child at
// once, so that a lock held through it ends with this process however long a child lives (open it
// with O_CLOEXEC, and exec closes it too). It is handed over under the ForkGuard that has covered
// the descriptor since it was opened. In a child, the copy of this object closes nothing and
// get() says -1: the number may name another descriptor of the child's by then. (A descriptor
// numbered past detail::kForkLocalLimit, possible only with a raised limit, stays in children.)
// Move-only.
class ForkLocalFd {
 public:
  ForkLocalFd() = default;
  ForkLocalFd(UniqueFd fd, const ForkGuard& held);
  ForkLocalFd(ForkLocalFd&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)), generation_(other.generation_) {}
  ForkLocalFd& operator=(ForkLocalFd&& other) noexcept;
  ForkLocalFd(const ForkLocalFd&) = delete;
  ForkLocalFd& operator=(const ForkLocalFd&) = delete;
  // Takes a ForkGuard: never destroy one while holding a guard.
  ~ForkLocalFd() { reset(); }

  int get() const noexcept { return generation_ == forkGeneration() ? fd_ : -1; }
  explicit operator bool() const noexcept { return get() >= 0; }
  void reset() noexcept;

 private:
  int fd_ = -1;
  unsigned generation_ = 0;
};

// Owns one shared read-write mapping of a file; unmaps it on destruction. Move-only.
//
// A process forked from the one that made the mapping does not inherit it (MADV_DONTFORK): a
// child never writes into, nor keeps alive, what its parent mapped. The child's copy of this
// object therefore never unmaps: the addresses may hold something else of the child's by then.
class MemoryMap {
 public:
  MemoryMap() = default;
  // Maps `length` bytes from offset 0 of `fd`; throws SystemCallError("Failed to map file").
  MemoryMap(int fd, std::size_t length);
  MemoryMap(MemoryMap&& other) noexcept;
  MemoryMap& operator=(MemoryMap&& other) noexcept;
  MemoryMap(const MemoryMap&) = delete;
  MemoryMap& operator=(const MemoryMap&) = delete;
  ~MemoryMap() { unmap(); }

  unsigned char* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }

 private:
  void unmap() noexcept;

  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
  unsigned generation_ = 0;
};

// Identity of a file on this machine: device and inode.
struct FileId {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileId& other) const noexcept {
    return device == other.device && inode == other.inode;
  }
  bool operator!=(const FileId& other) const noexcept { return !(*this == other); }
};

struct FileIdHash {
  std::size_t operator()(const FileId& id) const noexcept {
    return static_cast<std::size_t>(id.inode) * 31u + static_cast<std::size_t>(id.device);
  }
};

// The identity of the file an open descriptor refers to; nothing if fstat fails.
std::optional<FileId> fileIdOf(int fd) noexcept;

// The identity of the entry `name` names in the directory `directory_fd` (or, with AT_FDCWD, the
// path `name`), not following a final symbolic link; nothing if there is none.
std::optional<FileId> fileIdAt(int directory_fd, const std::string& name) noexcept;

// The identity of the directory a path leads to, following symbolic links; nothing if none.
std::optional<FileId> directoryIdOf(const std::string& path) noexcept;

// Another open file description of the file `fd` refers to, opened with `flags` through
// /proc/self/fd: no name is involved, so no rename can lead it elsewhere. Invalid, with errno set,
// when that fails (no /proc mounted, say).
UniqueFd reopenFile(int fd, int flags) noexcept;

// Opens a directory for operations relative to it (openat, renameat2, unlinkat, fstatat), so
// that no later rename of a component of its path can redirect them. With `follow_last` false a
// final symbolic link is refused (ELOOP). Returns an invalid descriptor with errno set on failure.
UniqueFd openDirectory(int at_fd, const std::string& path, bool follow_last) noexcept;

// The names in the directory open as `directory_fd`, without "." and "..", sorted; nothing when it
// cannot be listed (errno says why). Uses one descriptor of its own for the time of the listing.
std::vector<std::string> listDirectory(int directory_fd);

// Creates `path` with every missing parent (each with mode 0777 less the umask). With `shared`,
// also gives the directory itself mode 0777, so that every user may create files in it: through
// a descriptor opened without following a symbolic link, so that a link planted under its name
// never passes the mode on to what it points at. That chmod is best effort. Throws the filesystem
// library's error when the directory cannot be created.
void prepareDirectory(const std::string& path, bool shared);

// getrandom(2) and renameat2(2) with RENAME_NOREPLACE, made through syscall(): glibc wraps them
// only from 2.25 and 2.28, and the wheels are built to load on 2.17. Each returns what the
// system call returns and sets errno as glibc's wrapper would (EINTR, ENOSYS on an older kernel).
ssize_t getRandom(void* buffer, std::size_t size, bool nonblocking) noexcept;
int renameNoReplace(int from_fd, const char* from, int to_fd, const char* to) noexcept;

// The last component of a path (all of it if it has no '/').
std::string_view baseName(std::string_view path) noexcept;

// The part of a path before its last '/' ("" if it has none, "/" for a file in the root).
std::string_view parentPath(std::string_view path) noexcept;

}  // namespace zelnor
