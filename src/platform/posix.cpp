#include "platform/posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/random.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "platform/process.h"

namespace zelnor {

SystemCallError::SystemCallError(std::string_view step, int code)
    : std::runtime_error(std::string(step) + std::strerror(code)), code_(code) {}

void writeErrorLine(std::string_view message) {
  // One insertion of the whole line, so that lines of two threads never interleave.
  std::string line;
  line.reserve(message.size() + 8);
  line.append("ERROR: ").append(message).append("\n");
  std::cout << line << std::flush;
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

int UniqueFd::release() noexcept {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::reset() noexcept {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

int UniqueFd::close() noexcept {
  return ::close(release());
}

ForkLocalFd::ForkLocalFd(UniqueFd fd, const ForkGuard&) : generation_(forkGeneration()) {
  static_cast<void>(detail::closeInForkedChildren(fd.get()));
  fd_ = fd.release();
}

ForkLocalFd& ForkLocalFd::operator=(ForkLocalFd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = std::exchange(other.fd_, -1);
    generation_ = other.generation_;
  }
  return *this;
}

void ForkLocalFd::reset() noexcept {
  if (fd_ >= 0 && generation_ == forkGeneration()) {
    // Forgotten and closed as one step: a fork between the two would leave the child a copy.
    ForkGuard guard;
    detail::forgetInForkedChildren(fd_);
    ::close(fd_);
  }
  fd_ = -1;
}

MemoryMap::MemoryMap(int fd, std::size_t length) {
  void* address = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) {
    throw SystemCallError("Failed to map file: ", errno);
  }
  // Best effort: without it a child inherits the mapping, which is harmless but keeps the
  // file's locks alive for as long as the child lives.
  ::madvise(address, length, MADV_DONTFORK);
  data_ = static_cast<unsigned char*>(address);
  size_ = length;
  generation_ = forkGeneration();
}

MemoryMap::MemoryMap(MemoryMap&& other) noexcept
    : data_(other.data_), size_(other.size_), generation_(other.generation_) {
  other.data_ = nullptr;
  other.size_ = 0;
}

MemoryMap& MemoryMap::operator=(MemoryMap&& other) noexcept {
  if (this != &other) {
    unmap();
    data_ = other.data_;
    size_ = other.size_;
    generation_ = other.generation_;
    other.data_ = nullptr;
    other.size_ = 0;
  }
  return *this;
}

void MemoryMap::unmap() noexcept {
  if (data_ != nullptr && generation_ == forkGeneration()) {
    ::munmap(data_, size_);
  }
  data_ = nullptr;
  size_ = 0;
}

std::optional<FileId> fileIdOf(int fd) noexcept {
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    return std::nullopt;
  }
  return FileId{status.st_dev, status.st_ino};
}

std::optional<FileId> fileIdAt(int directory_fd, const std::string& name) noexcept {
  struct stat status {};
  if (::fstatat(directory_fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return std::nullopt;
  }
  return FileId{status.st_dev, status.st_ino};
}

std::optional<FileId> directoryIdOf(const std::string& path) noexcept {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
    return std::nullopt;
  }
  return FileId{status.st_dev, status.st_ino};
}

UniqueFd reopenFile(int fd, int flags) noexcept {
  char path[32];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  return UniqueFd(::open(path, flags));
}

UniqueFd openDirectory(int at_fd, const std::string& path, bool follow_last) noexcept {
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow_last ? 0 : O_NOFOLLOW);
  return UniqueFd(::openat(at_fd, path.c_str(), flags));
}

std::vector<std::string> listDirectory(int directory_fd) {
  std::vector<std::string> names;
  int fd = ::openat(directory_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return names;
  }
  DIR* directory = ::fdopendir(fd);
  if (directory == nullptr) {
    ::close(fd);
    return names;
  }
  while (const dirent* entry = ::readdir(directory)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.emplace_back(entry->d_name);
    }
  }
  ::closedir(directory);
  std::sort(names.begin(), names.end());
  return names;
}

void prepareDirectory(const std::string& path, bool shared) {
  std::filesystem::create_directories(path);
  if (shared) {
    if (UniqueFd directory = openDirectory(AT_FDCWD, path, false)) {
      ::fchmod(directory.get(), 0777);
    }
  }
}

ssize_t getRandom(void* buffer, std::size_t size, bool nonblocking) noexcept {
  return ::syscall(SYS_getrandom, buffer, size, nonblocking ? GRND_NONBLOCK : 0u);
}

int renameNoReplace(int from_fd, const char* from, int to_fd, const char* to) noexcept {
  // The kernel's flag (linux/fs.h, which clashes with glibc's own headers).
  constexpr unsigned kRenameNoReplace = 1u << 0;
  return static_cast<int>(::syscall(SYS_renameat2, from_fd, from, to_fd, to, kRenameNoReplace));
}

std::string_view baseName(std::string_view path) noexcept {
  auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view parentPath(std::string_view path) noexcept {
  auto slash = path.rfind('/');
  if (slash == std::string_view::npos) {
    return {};
  }
  return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

}  // namespace zelnor
