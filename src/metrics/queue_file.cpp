#include "metrics/queue_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "metrics/process_file.h"
#include "platform/mix.h"

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

// Whether a lock that the description now closed held on byte `offset` of the file `id` outlived
// it, seen through `probe`, another description of the same file opened before.
bool lockOutlivedItsDescriptor(const UniqueFd& probe, const FileId& id, off_t offset) {
  return probe && fileIdOf(probe.get()) == std::optional<FileId>(id) &&
         probeByte(probe.get(), offset) == ByteLock::kHeld;
}

}  // namespace

QueueFile& QueueFile::operator=(QueueFile&& other) noexcept {
  if (this != &other) {
    markClosed();
    map_ = std::move(other.map_);
    id_ = other.id_;
    owner_ = other.owner_;
    liveness_ = other.liveness_;
    token_ = other.token_;
    uid_ = other.uid_;
    claim_ = std::move(other.claim_);
    generation_ = other.generation_;
  }
  return *this;
}

QueueFile QueueFile::create(const std::string& path) {
  const std::string directory(parentPath(path));
  if (!directory.empty()) {
    std::filesystem::create_directories(directory);
  }
  UniqueFd fd(::open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666));
  if (!fd) {
    throw SystemCallError(kOpenStep, errno);
  }
  // A second description of the new file, opened without its name (a consumer may have moved it
  // already): once the first is closed, it shows whether the lock taken through the first
  // outlived it. By the name only where /proc is missing.
  UniqueFd probe = reopenFile(fd.get(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (!probe) {
    probe = UniqueFd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  }
  QueueFile file;
  file.owner_ = true;
  file.generation_ = forkGeneration();
  // Taken before anything else, so that a consumer sees a live producer even while the file is
  // not ready yet. Without it (a file system without locks) liveness falls back to the stamp.
  const bool locked = lockByte(fd.get(), kProducerLockOffset);
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
  file.token_ = currentProcessToken();
  if (!locked) {
    return file;  // no lock on this file system, so no process file either: judged by identity
  }
  if (lockOutlivedItsDescriptor(probe, file.id_, kProducerLockOffset)) {
    file.liveness_ = kLivenessByLock;
    return file;
  }
  // The lock went with the descriptor (overlayfs): the process's own file, whose descriptor the
  // process keeps, stands for it. Without one (something planted as .producers, no descriptor
  // to spare) the process identity still is positive evidence.
  try {
    ProcessFile& process_file = ProcessFile::forDirectory(directory.empty() ? "." : directory);
    process_file.recreateIfRemoved();
    file.token_ = process_file.token();
    file.liveness_ = kLivenessByProcessFile;
  } catch (const std::exception&) {
    file.liveness_ = kLivenessByProcess;
  }
  return file;
}

QueueFile QueueFile::attach(int directory_fd, const std::string& name, const std::string& path) {
  // Held from the first descriptor on: no child forked meanwhile inherits one holding the claim.
  const ForkGuard guard;
  // O_NONBLOCK keeps a FIFO planted under a queue's name from blocking the open.
  constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  UniqueFd fd(::openat(directory_fd, name.c_str(), kFlags));
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
  const FileId id{status.st_dev, status.st_ino};
  // A second description, to see once the first is closed whether the claim outlived it: opened
  // without the name where /proc allows it. A name that no longer leads to the file is no file to
  // attach: it is found again by its own event.
  UniqueFd second = reopenFile(fd.get(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (!second) {
    second = UniqueFd(::openat(directory_fd, name.c_str(), kFlags));
  }
  if (!second) {
    throw SystemCallError(kOpenStep, errno);
  }
  if (fileIdOf(second.get()) != std::optional<FileId>(id)) {
    throw SystemCallError(kOpenStep, ENOENT);
  }
  // Claimed before the file is changed in any way: a file another consumer drains is not ours.
  const auto heldElsewhere = [&] {
    return HeldElsewhere("Metrics file " + path + " is held by another consumer; left as it is");
  };
  if (!lockByte(fd.get(), kConsumerLockOffset)) {
    if (errno == EAGAIN || errno == EACCES) {
      throw heldElsewhere();
    }
    throw SystemCallError("Failed to lock " + path + ": ", errno);
  }
  if (status.st_size != static_cast<off_t>(kFileLength) &&
      ::ftruncate(fd.get(), static_cast<off_t>(kFileLength)) != 0) {
    throw SystemCallError(kTruncateStep, errno);
  }
  QueueFile file;
  file.id_ = id;
  file.uid_ = status.st_uid;
  file.generation_ = forkGeneration();
  file.map_ = mapAndClose(std::move(fd));
  if (probeByte(second.get(), kConsumerLockOffset) == ByteLock::kFree) {
    // The claim went with its descriptor (overlayfs): claim the file again through the second,
    // which is kept. Another consumer may have claimed it in between; then it is theirs.
    if (!lockByte(second.get(), kConsumerLockOffset)) {
      if (errno == EAGAIN || errno == EACCES) {
        throw heldElsewhere();
      }
      throw SystemCallError("Failed to lock " + path + ": ", errno);
    }
    file.claim_ = ForkLocalFd(std::move(second), guard);  // last: nothing may throw after it
  }
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
                   liveness_,
                   token_};
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
  if (token != 0) {
    return ProcessFileName{process.pid, process.start_ticks, token}.producerKey();
  }
  // Files of earlier releases: the three parts of the identity, mixed.
  const std::uint64_t key =
      mixBits(mixBits(mixBits(process.pid) ^ process.start_ticks) ^ process.pid_namespace);
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
  owner.liveness = stamp.liveness == kLivenessByLock || stamp.liveness == kLivenessByProcessFile
                       ? stamp.liveness
                       : kLivenessByProcess;
  owner.token = stamp.process_token;
  return owner;
}

void QueueFile::markClosed() noexcept {
  if (owner_ && map_.data() != nullptr && generation_ == forkGeneration()) {
    // seq_cst: after every release store of head; pairs with the acquire load in isClosed.
    header().closed.exchange(1, std::memory_order_seq_cst);
  }
}

NamedLock probeNamedLock(int directory_fd, const std::string& name, const FileId& id,
                         off_t offset) {
  UniqueFd fd(::openat(directory_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd) {
    // Out of descriptors, say; unless the name itself is gone or leads elsewhere now.
    return fileIdAt(directory_fd, name) == std::optional<FileId>(id) ? NamedLock::kFailed
                                                                     : NamedLock::kNoName;
  }
  if (fileIdOf(fd.get()) != std::optional<FileId>(id)) {
    return NamedLock::kNoName;
  }
  switch (probeByte(fd.get(), offset)) {
    case ByteLock::kHeld:
      return NamedLock::kHeld;
    case ByteLock::kFree:
      return NamedLock::kFree;
    case ByteLock::kUnknown:
      break;
  }
  return NamedLock::kFailed;
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
                                         const std::string& to_directory,
                                         std::string_view outcome) {
  if (!nameStillRefersTo(from_fd, name, id, path)) {
    return std::nullopt;
  }
  std::string target = name;
  for (unsigned suffix = 1;; ++suffix) {
    if (renameNoReplace(from_fd, name.c_str(), to_fd, target.c_str()) == 0) {
      return target;
    }
    if (errno != EEXIST || suffix > 1000) {
      writeErrorLine("Could not move " + path + " into " + to_directory + ": " +
                     std::strerror(errno) + "; " + std::string(outcome));
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
