#include "platform/posix.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

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

MemoryMap::MemoryMap(int fd, std::size_t length) {
  void* address = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) {
    throw SystemCallError("Failed to map file: ", errno);
  }
  data_ = static_cast<unsigned char*>(address);
  size_ = length;
}

MemoryMap::MemoryMap(MemoryMap&& other) noexcept : data_(other.data_), size_(other.size_) {
  other.data_ = nullptr;
  other.size_ = 0;
}

MemoryMap& MemoryMap::operator=(MemoryMap&& other) noexcept {
  if (this != &other) {
    if (data_ != nullptr) {
      ::munmap(data_, size_);
    }
    data_ = other.data_;
    size_ = other.size_;
    other.data_ = nullptr;
    other.size_ = 0;
  }
  return *this;
}

MemoryMap::~MemoryMap() {
  if (data_ != nullptr) {
    ::munmap(data_, size_);
  }
}

bool lookUpFileId(const std::string& path, FileId& id) noexcept {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    return false;
  }
  id = FileId{status.st_dev, status.st_ino};
  return true;
}

std::string_view baseName(std::string_view path) noexcept {
  auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace zelnor
