// Small owners for the operating-system resources the system uses (descriptors and mappings),
// the exception type for a failed system call, and the one way diagnostics are written.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zelnor {

// A failed system call: a fixed text naming the step, followed by strerror(code).
// `code()` lets callers tell a failure that may pass (EMFILE, EAGAIN, ...) from one that won't.
class SystemCallError : public std::runtime_error {
 public:
  SystemCallError(std::string_view step, int code);
  int code() const noexcept { return code_; }

 private:
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

// Owns one shared read-write mapping of a file; unmaps it on destruction. Move-only.
class MemoryMap {
 public:
  MemoryMap() = default;
  // Maps `length` bytes from offset 0 of `fd`; throws SystemCallError("Failed to map file").
  MemoryMap(int fd, std::size_t length);
  MemoryMap(MemoryMap&& other) noexcept;
  MemoryMap& operator=(MemoryMap&& other) noexcept;
  MemoryMap(const MemoryMap&) = delete;
  MemoryMap& operator=(const MemoryMap&) = delete;
  ~MemoryMap();

  unsigned char* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }

 private:
  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
};

// Identity of a file on this machine: device and inode.
struct FileId {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileId& other) const noexcept {
    return device == other.device && inode == other.inode;
  }
};

struct FileIdHash {
  std::size_t operator()(const FileId& id) const noexcept {
    return static_cast<std::size_t>(id.inode) * 31u + static_cast<std::size_t>(id.device);
  }
};

// The identity of the entry a path names, not following a final symbolic link; false if none.
bool lookUpFileId(const std::string& path, FileId& id) noexcept;

// The last component of a path (all of it if it has no '/').
std::string_view baseName(std::string_view path) noexcept;

}  // namespace zelnor
