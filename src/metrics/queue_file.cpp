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

MemoryMap mapAndClose(UniqueFd fd) {
  MemoryMap map(fd.get(), kMapLength);
  if (fd.close() != 0) {
    throw SystemCallError(kCloseStep, errno);
  }
  return map;
}

FileId idOrThrow(int fd) {
  auto id = fileIdOf(fd);
  if (!id) {
    throw SystemCallError(kStatStep, errno);
  }
  return *id;
}

}  // namespace

QueueFile& QueueFile::operator=(QueueFile&& other) noexcept {
  if (this != &other) {
    markClosed();
    map_ = std::move(other.map_);
    id_ = other.id_;
    owner_ = other.owner_;
    holds_producer_lock_ = other.holds_producer_lock_;
    generation_ = other.generation_;
  }
  return *this;
}

QueueFile QueueFile::create(const std::string& path) {
  if (auto directory = parentPath(path); !directory.empty()) {
    std::filesystem::create_directories(std::string(directory));
  }
  UniqueFd fd(::open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666));
  if (!fd) {
    throw SystemCallError(kOpenStep, errno);
  }
  QueueFile file;
  file.owner_ = true;
  file.generation_ = forkGeneration();
  // Taken before anything else, so that a consumer sees a live producer even while the file is
  // not ready yet. Without it (a file system without locks) liveness falls back to the stamp.
  file.holds_producer_lock_ = lockByte(fd.get(), kProducerLockOffset);
  if (::ftruncate(fd.get(), static_cast<off_t>(kFileLength)) != 0) {
    throw SystemCallError(kTruncateStep, errno);
  }
  // The file is sparse: without reserved blocks, the first touch of a page on a full file
  // system would kill the process with SIGBUS instead of failing here.
  if (int error = ::posix_fallocate(fd.get(), 0, static_cast<off_t>(kMapLength)); error != 0) {
    throw SystemCallError(kReserveStep, error);
  }
  file.id_ = idOrThrow(fd.get());
  file.map_ = mapAndClose(std::move(fd));
  return file;
}

QueueFile QueueFile::attach(int directory_fd, const std::string& name, const std::string& path) {
  // O_NONBLOCK keeps a FIFO planted under a queue's name from blocking the open.
  UniqueFd fd(::openat(directory_fd, name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
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
  // Claimed before the file is changed in any way: a file another consumer drains is not ours.
  if (!lockByte(fd.get(), kConsumerLockOffset)) {
    if (errno == EAGAIN || errno == EACCES) {
      throw HeldElsewhere("Metrics file " + path + " is held by another consumer; left as it is");
    }
    throw SystemCallError("Failed to lock " + path + ": ", errno);
  }
  if (status.st_size != static_cast<off_t>(kFileLength) &&
      ::ftruncate(fd.get(), static_cast<off_t>(kFileLength)) != 0) {
    throw SystemCallError(kTruncateStep, errno);
  }
  QueueFile file;
  file.id_ = FileId{status.st_dev, status.st_ino};
  file.generation_ = forkGeneration();
  file.map_ = mapAndClose(std::move(fd));
  return file;
}

void QueueFile::initialise(std::size_t region_size) {
  std::memset(map_.data(), 0, region_size);
  const ProcessIdentity& self = currentProcess();
  OwnerStamp stamp{kOwnerStampMagic,
                   self.pid,
                   static_cast<std::uint32_t>(self.start_ticks),
                   static_cast<std::uint32_t>(self.start_ticks >> 32),
                   static_cast<std::uint32_t>(self.pid_namespace),
                   static_cast<std::uint32_t>(self.pid_namespace >> 32),
                   holds_producer_lock_ ? kLivenessByLock : 0,
                   0};
  std::memcpy(map_.data() + kOwnerStampOffset, &stamp, sizeof stamp);
  QueueHeader& queue = header();
  queue.closed.store(0, std::memory_order_relaxed);
  queue.head.store(0, std::memory_order_relaxed);
  queue.tail.store(0, std::memory_order_relaxed);
  // release: publishes the zeroed region and the stamp; pairs with the acquire loads of ready.
  queue.ready.store(1, std::memory_order_release);
}

std::optional<QueueOwner> QueueFile::owner() const {
  // acquire: pairs with the owner's release store of ready; the stamp before it is seen.
  if (header().ready.load(std::memory_order_acquire) == 0) {
    return std::nullopt;
  }
  return readOwner(map_.data());
}

std::uint64_t QueueOwner::key() const noexcept {
  // splitmix64's finaliser over the three parts of the identity.
  auto mix = [](std::uint64_t value) {
    value ^= value >> 30;
    value *= 0xbf58476d1ce4e5b9ULL;
    value ^= value >> 27;
    value *= 0x94d049bb133111ebULL;
    return value ^ (value >> 31);
  };
  const std::uint64_t key =
      mix(mix(mix(process.pid) ^ process.start_ticks) ^ process.pid_namespace);
  return key == 0 ? 1 : key;
}

std::optional<QueueOwner> readOwner(const unsigned char* base) {
  OwnerStamp stamp{};
  std::memcpy(&stamp, base + kOwnerStampOffset, sizeof stamp);
  if (stamp.magic != kOwnerStampMagic) {
    return std::nullopt;
  }
  QueueOwner owner;
  owner.process.pid = stamp.pid;
  owner.process.start_ticks = (std::uint64_t{stamp.start_ticks_high} << 32) | stamp.start_ticks_low;
  owner.process.pid_namespace =
      (std::uint64_t{stamp.pid_namespace_high} << 32) | stamp.pid_namespace_low;
  owner.liveness_by_lock = stamp.liveness == kLivenessByLock;
  return owner;
}

void QueueFile::markClosed() noexcept {
  if (owner_ && map_.data() != nullptr && generation_ == forkGeneration()) {
    // seq_cst: after every release store of head; pairs with the acquire load in isClosed.
    header().closed.exchange(1, std::memory_order_seq_cst);
  }
}

ByteLock probeProducer(int directory_fd, const std::string& name, const FileId& id) {
  UniqueFd fd(::openat(directory_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd || fileIdOf(fd.get()) != std::optional<FileId>(id)) {
    return ByteLock::kUnknown;
  }
  return probeByte(fd.get(), kProducerLockOffset);
}

namespace {

// True if `name` in `directory_fd` still refers to the file `id`. A name that refers to another
// file gets one line; a name that is gone is no news.
bool nameStillRefersTo(int directory_fd, const std::string& name, const FileId& id,
                       const std::string& path) {
  auto current = fileIdAt(directory_fd, name);
  if (!current) {
    return false;
  }
  if (*current != id) {
    writeErrorLine("Metrics file " + path +
                   " no longer refers to the file that was mapped; "
                   "left as it is");
    return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> moveQueueName(int from_fd, const std::string& name, const FileId& id,
                                         int to_fd, const std::string& path,
                                         const std::string& to_directory) {
  if (!nameStillRefersTo(from_fd, name, id, path)) {
    return std::nullopt;
  }
  std::string target = name;
  for (unsigned suffix = 1;; ++suffix) {
    if (::renameat2(from_fd, name.c_str(), to_fd, target.c_str(), RENAME_NOREPLACE) == 0) {
      return target;
    }
    if (errno != EEXIST || suffix > 1000) {
      writeErrorLine("Could not move " + path + " into " + to_directory + ": " +
                     std::strerror(errno) + "; draining it under its name");
      return std::nullopt;
    }
    target = name + "." + std::to_string(suffix);
  }
}

Removal removeQueueName(int directory_fd, const std::string& name, const FileId& id,
                        const std::string& path) {
  auto current = fileIdAt(directory_fd, name);
  if (!current) {
    return Removal::kGone;
  }
  if (!nameStillRefersTo(directory_fd, name, id, path)) {
    return Removal::kReplaced;
  }
  return ::unlinkat(directory_fd, name.c_str(), 0) == 0 ? Removal::kRemoved : Removal::kFailed;
}

}  // namespace zelnor
