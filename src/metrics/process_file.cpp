#include "metrics/process_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "metrics/metrics_directory.h"
#include "platform/file_lock.h"
#include "platform/mix.h"
#include "platform/process.h"

namespace zelnor {
namespace {

// A taken name (planted, or another process's token) costs a new token; past this many, the
// process goes without a process file.
constexpr int kMaxTokenTries = 8;

// The process's token and the fork generation it was drawn in. Under a ForkGuard, which a fork()
// waits for, so that a child never inherits it half written.
struct TokenState {
  unsigned generation = ~0u;
  std::uint32_t token = 0;
};
TokenState token_state;

std::uint32_t drawToken() {
  std::uint32_t token = 0;
  while (token == 0) {
    if (getRandom(&token, sizeof token, true) != static_cast<ssize_t>(sizeof token)) {
      // No entropy yet (early boot): what differs between processes and between draws will do.
      static std::uint64_t draws = 0;
      std::uint64_t value =
          static_cast<std::uint64_t>(::getpid()) << 32 ^ ++draws ^
          static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
      value ^= value >> 31;
      value *= 0x9e3779b97f4a7c15ULL;
      token = static_cast<std::uint32_t>(value ^ (value >> 32));
    }
  }
  return token;
}

// Under a ForkGuard.
std::uint32_t tokenOfThisProcess() {
  if (token_state.generation != forkGeneration()) {
    token_state.token = drawToken();
    token_state.generation = forkGeneration();
  }
  return token_state.token;
}

// Every process file this process has made, for the life of the process. Under a ForkGuard. In a
// forked child, those of the parent stay here untouched (their descriptors are closed already,
// and one of their mutexes may have been held by a thread the child does not have).
struct Registry {
  std::vector<std::pair<unsigned, std::unique_ptr<ProcessFile>>> files;
};
Registry registry;

// Failures of an open that may pass by themselves.
bool mayPass(int error) {
  return error == EMFILE || error == ENFILE || error == ENOMEM || error == EINTR || error == EAGAIN;
}

}  // namespace

std::uint32_t currentProcessToken() {
  const ForkGuard guard;
  return tokenOfThisProcess();
}

std::string ProcessFileName::text() const {
  char token_text[9];
  std::snprintf(token_text, sizeof token_text, "%08x", static_cast<unsigned>(token));
  return std::to_string(pid) + "." + std::to_string(start_ticks) + "." + token_text;
}

std::uint64_t ProcessFileName::producerKey() const noexcept {
  const std::uint64_t key = mixBits(mixBits(mixBits(pid) ^ start_ticks) ^ token);
  return key == 0 ? 1 : key;
}

std::optional<ProcessFileName> ProcessFileName::parse(std::string_view text) {
  ProcessFileName name;
  const auto first_dot = text.find('.');
  const auto second_dot = text.find('.', first_dot == std::string_view::npos ? 0 : first_dot + 1);
  if (first_dot == std::string_view::npos || second_dot == std::string_view::npos) {
    return std::nullopt;
  }
  const std::string_view pid = text.substr(0, first_dot);
  const std::string_view start = text.substr(first_dot + 1, second_dot - first_dot - 1);
  const std::string_view token = text.substr(second_dot + 1);
  auto number = [](std::string_view digits, auto& value, int base) {
    const char* end = digits.data() + digits.size();
    return !digits.empty() && std::from_chars(digits.data(), end, value, base).ptr == end;
  };
  if (!number(pid, name.pid, 10) || !number(start, name.start_ticks, 10) || token.size() != 8 ||
      !number(token, name.token, 16) || name.token == 0) {
    return std::nullopt;
  }
  // Exactly the spelling text() gives: no leading zeros, no sign, lowercase digits.
  if (name.text() != text) {
    return std::nullopt;
  }
  return name;
}

ProcessFile::ProcessFile(Key, std::string directory) : directory_(std::move(directory)) {}

ProcessFile& ProcessFile::current() {
  return forDirectory(metricsDirectory());
}

ProcessFile& ProcessFile::forDirectory(std::string_view directory) {
  std::string normal = normaliseDirectory(directory);
  const ForkGuard guard;
  for (const auto& [generation, file] : registry.files) {
    if (generation == forkGeneration() && file->directory_ == normal) {
      return *file;
    }
  }
  // Not yet shared with any other thread: made before it is published.
  auto file = std::make_unique<ProcessFile>(Key{}, std::move(normal));
  file->create(guard);
  registry.files.emplace_back(forkGeneration(), std::move(file));
  return *registry.files.back().second;
}

void ProcessFile::create(const ForkGuard& guard) {
  const std::string producers_path = directory_ + "/" + std::string(kProcessFileDirectory);
  const std::string directory_step =
      "Failed to open process file directory " + producers_path + ": ";
  // A process may declare before its first record made the metrics directory.
  prepareDirectory(directory_, isSharedDirectory(directory_));
  UniqueFd metrics = openDirectory(AT_FDCWD, directory_, true);
  if (!metrics) {
    throw SystemCallError(directory_step, errno);
  }
  const std::string producers_name(kProcessFileDirectory);
  if (::mkdirat(metrics.get(), producers_name.c_str(), 0777) != 0 && errno != EEXIST) {
    throw SystemCallError(directory_step, errno);
  }
  // Anything else planted under the name (a link, a file) is not used: the process goes without.
  UniqueFd producers = openDirectory(metrics.get(), producers_name, false);
  if (!producers) {
    throw SystemCallError(directory_step, errno);
  }
  struct stat status {};
  if (isSharedDirectory(directory_) && ::fstat(producers.get(), &status) == 0 &&
      status.st_uid == ::geteuid() && (status.st_mode & 07777) != 01777) {
    ::fchmod(producers.get(), 01777);  // best effort, as for the metrics directory itself
  }
  const ProcessIdentity& self = currentProcess();
  for (int attempt = 1;; ++attempt) {
    const ProcessFileName name{self.pid, self.start_ticks, tokenOfThisProcess()};
    const std::string text = name.text();
    const std::string path = producers_path + "/" + text;
    UniqueFd fd(::openat(producers.get(), text.c_str(),
                         O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) {
      if (errno == EEXIST && attempt < kMaxTokenTries) {
        // Planted, or another process drew the same token. Queue files this process stamped
        // before keep the token they have: each was stamped kLivenessByLock or
        // kLivenessByProcess, whose judgement needs no process file, or kLivenessByProcessFile
        // with a file of this process that still holds its lock in another directory.
        token_state.token = drawToken();
        continue;
      }
      throw SystemCallError("Failed to create process file " + path + ": ", errno);
    }
    // Locked at once. A consumer's sweep spares a file that nobody holds while it is young, so
    // it never removes one between these two steps.
    if (!lockByte(fd.get(), kLockedByte)) {
      const int error = errno;
      ::unlinkat(producers.get(), text.c_str(), 0);
      throw SystemCallError("Failed to lock process file " + path + ": ", error);
    }
    const ssize_t written = ::write(fd.get(), kProcessFileHeader.data(), kProcessFileHeader.size());
    const auto id = fileIdOf(fd.get());
    if (written != static_cast<ssize_t>(kProcessFileHeader.size()) || !id) {
      const int error = written < 0 || !id ? errno : ENOSPC;
      ::unlinkat(producers.get(), text.c_str(), 0);
      throw SystemCallError("Failed to write process file " + path + ": ", error);
    }
    name_ = text;
    token_ = name.token;
    id_ = *id;
    size_ = kProcessFileHeader.size();
    fd_ = ForkLocalFd(std::move(fd), guard);
    return;
  }
}

void ProcessFile::recreateIfRemoved() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ && fileIdAt(AT_FDCWD, directory_ + "/" + std::string(kProcessFileDirectory) + "/" +
                                    name_) == std::optional<FileId>(id_)) {
    return;
  }
  fd_.reset();  // takes a ForkGuard itself: before this thread holds one
  const ForkGuard guard;
  create(guard);
}

void ProcessFile::append(std::string_view bytes) {
  if (bytes.empty()) {
    return;
  }
  if (bytes.back() != '\n') {
    throw std::invalid_argument("A process file takes whole lines only");
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  const std::string step = "Failed to append to process file " + directory_ + "/" +
                           std::string(kProcessFileDirectory) + "/" + name_ + ": ";
  if (bytes.size() > kMaxSize - size_) {
    throw SystemCallError(step, EFBIG);
  }
  while (true) {
    // In a forked child the descriptor is the parent's, closed already: get() says -1.
    const ssize_t written = ::write(fd_.get(), bytes.data(), bytes.size());
    if (written == static_cast<ssize_t>(bytes.size())) {
      size_ += bytes.size();
      return;
    }
    if (written < 0 && errno == EINTR) {
      continue;
    }
    const int error = written < 0 ? errno : ENOSPC;
    if (written > 0) {
      // Part of a line would mislead every reader: take it back.
      static_cast<void>(::ftruncate(fd_.get(), static_cast<off_t>(size_)));
    }
    throw SystemCallError(step, error);
  }
}

StateHeader* ProcessFile::stateArea(std::uint32_t wanted, std::uint32_t& reserved) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!state_tried_) {
    state_tried_ = true;
    createState();
  }
  if (state_map_.data() == nullptr) {
    reserved = 0;
    return nullptr;
  }
  // In steps of 4 KiB of slots, up to what the file holds.
  constexpr std::uint32_t kStep = 128;
  wanted = std::min(kStateSlots, (std::max(wanted, 1u) + kStep - 1) / kStep * kStep);
  if (wanted > state_reserved_ &&
      ::posix_fallocate(state_fd_.get(), 0,
                        static_cast<off_t>(sizeof(StateHeader) + wanted * sizeof(StateSlot))) ==
          0) {
    state_reserved_ = wanted;
  }
  reserved = state_reserved_;
  return reinterpret_cast<StateHeader*>(state_map_.data());
}

void ProcessFile::createState() {
  const std::string producers_path = directory_ + "/" + std::string(kProcessFileDirectory);
  const std::string name = name_ + std::string(kStateFileSuffix);
  const UniqueFd producers = openDirectory(AT_FDCWD, producers_path, false);
  // Made exclusively: a file or link planted under the name is never written through.
  UniqueFd fd(producers ? ::openat(producers.get(), name.c_str(),
                                   O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644)
                        : -1);
  int error = fd ? 0 : errno;
  if (error == 0 && ::ftruncate(fd.get(), static_cast<off_t>(kStateFileSize)) != 0) {
    error = errno;
  }
  if (error == 0) {
    error = ::posix_fallocate(fd.get(), 0, sizeof(StateHeader));
  }
  if (error == 0) {
    try {
      state_map_ = MemoryMap(fd.get(), kStateFileSize);
      formatStateArea(*reinterpret_cast<StateHeader*>(state_map_.data()));
      state_fd_ = std::move(fd);
      return;
    } catch (const SystemCallError& failure) {
      error = failure.code();
    }
  }
  if (fd) {
    ::unlinkat(producers.get(), name.c_str(), 0);
  }
  writeErrorLine("Failed to create process state file " + producers_path + "/" + name + ": " +
                 std::strerror(error) +
                 " (its gauges, Info and Enum are not kept for an exporter that restarts)");
}

std::uint32_t ProcessFile::token() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return token_;
}

std::string ProcessFile::path() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return directory_ + "/" + std::string(kProcessFileDirectory) + "/" + name_;
}

UniqueFd openProcessFile(int metrics_fd, const ProcessFileName& name, uid_t owner) {
  UniqueFd producers = openDirectory(metrics_fd, std::string(kProcessFileDirectory), false);
  if (!producers) {
    return producers;
  }
  UniqueFd fd(::openat(producers.get(), name.text().c_str(),
                       O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  struct stat status {};
  if (!fd || ::fstat(fd.get(), &status) != 0) {
    return UniqueFd();
  }
  if (!S_ISREG(status.st_mode) || status.st_nlink != 1 || status.st_uid != owner) {
    errno = EPERM;
    return UniqueFd();
  }
  return fd;
}

ProcessFileLock probeProcessFile(int metrics_fd, const ProcessFileName& name, uid_t owner) {
  const UniqueFd fd = openProcessFile(metrics_fd, name, owner);
  if (!fd) {
    return mayPass(errno) ? ProcessFileLock::kFailed : ProcessFileLock::kMissing;
  }
  switch (probeByte(fd.get(), kLockedByte)) {
    case ByteLock::kHeld:
      return ProcessFileLock::kHeld;
    case ByteLock::kFree:
      return ProcessFileLock::kFree;
    case ByteLock::kUnknown:
      break;
  }
  return ProcessFileLock::kFailed;
}

bool removeProcessFileIfFree(int metrics_fd, const std::string& name, std::optional<uid_t> owner) {
  const UniqueFd producers = openDirectory(metrics_fd, std::string(kProcessFileDirectory), false);
  if (!producers) {
    return false;
  }
  const UniqueFd fd(
      ::openat(producers.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  struct stat status {};
  if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1 ||
      (owner && status.st_uid != *owner) || probeByte(fd.get(), kLockedByte) != ByteLock::kFree) {
    return false;
  }
  const FileId id{status.st_dev, status.st_ino};
  return fileIdAt(producers.get(), name) == std::optional<FileId>(id) &&
         ::unlinkat(producers.get(), name.c_str(), 0) == 0;
}

}  // namespace zelnor
