#include "metrics/queue_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace zelnor {
namespace {

// The texts of these steps are part of the system's messages; they stay as they are also where
// the flags behind them are stricter than they say.
constexpr std::string_view kOpenStep =
    "Failed to fd = open(file_path_.c_str(), O_CREAT | O_RDWR, 0666): ";
constexpr std::string_view kTruncateStep = "Failed to ftruncate(fd, rounded_size): ";
constexpr std::string_view kReserveStep = "Failed to posix_fallocate(fd, 0, map_size): ";
constexpr std::string_view kStatStep = "Failed to fstat(fd): ";
constexpr std::string_view kCloseStep = "Failed to close(fd): ";
constexpr std::string_view kUnlinkStep = "Failed to unlink(file_path_.c_str()): ";

void prepareDirectory(const std::string& path) {
  auto directory = std::filesystem::path(path).parent_path();
  if (directory.empty()) {
    return;
  }
  std::filesystem::create_directories(directory);
  ::chmod(directory.c_str(), 0777);  // best effort: the directory may belong to another user
}

MemoryMap mapAndClose(UniqueFd fd) {
  MemoryMap map(fd.get(), kMapLength);
  if (fd.close() != 0) {
    throw SystemCallError(kCloseStep, errno);
  }
  return map;
}

}  // namespace

MappedQueueFile createQueueFile(const std::string& path) {
  prepareDirectory(path);
  UniqueFd fd(::open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666));
  if (!fd) {
    throw SystemCallError(kOpenStep, errno);
  }
  if (::ftruncate(fd.get(), static_cast<off_t>(kFileLength)) != 0) {
    throw SystemCallError(kTruncateStep, errno);
  }
  // The file is sparse: without reserved blocks, the first touch of a page on a full file
  // system would kill the process with SIGBUS instead of failing here.
  if (int error = ::posix_fallocate(fd.get(), 0, static_cast<off_t>(kMapLength)); error != 0) {
    throw SystemCallError(kReserveStep, error);
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) {
    throw SystemCallError(kStatStep, errno);
  }
  return MappedQueueFile{mapAndClose(std::move(fd)), FileId{status.st_dev, status.st_ino}};
}

MappedQueueFile openQueueFile(const std::string& path) {
  // O_NONBLOCK keeps a FIFO planted under a queue's name from blocking the open.
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd) {
    int error = errno;
    if (error == ELOOP) {
      throw RefusedFile("Refusing metrics file " + path + ": it is a symbolic link");
    }
    if (error == EISDIR || error == ENXIO) {
      throw RefusedFile("Refusing metrics file " + path + ": not a regular file");
    }
    throw SystemCallError(kOpenStep, error);
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) {
    throw SystemCallError(kStatStep, errno);
  }
  if (!S_ISREG(status.st_mode)) {
    throw RefusedFile("Refusing metrics file " + path + ": not a regular file");
  }
  if (status.st_nlink != 1) {
    throw RefusedFile("Refusing metrics file " + path + ": it has " +
                      std::to_string(status.st_nlink) + " links");
  }
  if (status.st_size != static_cast<off_t>(kFileLength) &&
      ::ftruncate(fd.get(), static_cast<off_t>(kFileLength)) != 0) {
    throw SystemCallError(kTruncateStep, errno);
  }
  return MappedQueueFile{mapAndClose(std::move(fd)), FileId{status.st_dev, status.st_ino}};
}

void initialiseQueue(unsigned char* base, std::size_t region_size) {
  std::memset(base, 0, region_size);
  const ProcessIdentity& self = currentProcess();
  OwnerStamp stamp{kOwnerStampMagic,
                   self.pid,
                   static_cast<std::uint32_t>(self.start_ticks),
                   static_cast<std::uint32_t>(self.start_ticks >> 32),
                   static_cast<std::uint32_t>(self.pid_namespace),
                   static_cast<std::uint32_t>(self.pid_namespace >> 32)};
  std::memcpy(base + kOwnerStampOffset, &stamp, sizeof stamp);
  auto* header = reinterpret_cast<QueueHeader*>(base);
  header->closed.store(false, std::memory_order_relaxed);
  header->head.store(0, std::memory_order_relaxed);
  header->tail.store(0, std::memory_order_relaxed);
  // release: publishes the zeroed region and the stamp; pairs with the acquire loads of ready.
  header->ready.store(true, std::memory_order_release);
}

std::optional<ProcessIdentity> readOwnerStamp(const unsigned char* base) {
  OwnerStamp stamp{};
  std::memcpy(&stamp, base + kOwnerStampOffset, sizeof stamp);
  if (stamp.magic != kOwnerStampMagic) {
    return std::nullopt;
  }
  ProcessIdentity owner;
  owner.pid = stamp.pid;
  owner.start_ticks = (std::uint64_t{stamp.start_ticks_high} << 32) | stamp.start_ticks_low;
  owner.pid_namespace = (std::uint64_t{stamp.pid_namespace_high} << 32) | stamp.pid_namespace_low;
  return owner;
}

namespace {

bool nameStillRefersTo(const std::string& path, const FileId& id) {
  FileId current;
  if (lookUpFileId(path, current) && current == id) {
    return true;
  }
  writeErrorLine("Metrics file " + path +
                 " no longer refers to the file that was mapped; "
                 "left as it is");
  return false;
}

}  // namespace

std::optional<std::string> releaseQueueName(const std::string& path, const FileId& id,
                                            std::string_view keep_directory) {
  if (!nameStillRefersTo(path, id)) {
    return std::nullopt;
  }
  if (keep_directory.empty()) {
    if (::unlink(path.c_str()) != 0) {
      writeErrorLine(std::string(kUnlinkStep) + std::strerror(errno) + "; draining " + path +
                     " under its name");
      return std::nullopt;
    }
    return std::string();
  }
  const std::string base = std::string(keep_directory) + "/" + std::string(baseName(path));
  std::string target = base;
  for (unsigned suffix = 1;; ++suffix) {
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
      return target;
    }
    if (errno != EEXIST || suffix > 1000) {
      writeErrorLine("Could not move " + path + " into " + std::string(keep_directory) + ": " +
                     std::strerror(errno) + "; draining it under its name");
      return std::nullopt;
    }
    target = base + "." + std::to_string(suffix);
  }
}

bool removeQueueName(const std::string& path, const FileId& id) {
  if (!nameStillRefersTo(path, id)) {
    return false;
  }
  if (::unlink(path.c_str()) != 0) {
    writeErrorLine(std::string(kUnlinkStep) + std::strerror(errno) + " (" + path + ")");
    return false;
  }
  return true;
}

}  // namespace zelnor
