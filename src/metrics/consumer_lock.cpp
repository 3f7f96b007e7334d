#include "metrics/consumer_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <set>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "platform/process.h"

namespace zelnor {
namespace {

constexpr const char* kLockName = "lock";

// fcntl locks do not exclude a second lock taken by the same process (and closing any
// descriptor of a locked file releases the process's lock on it), so consumers of this process
// are kept apart here, by state directory and fork generation, before a lock file is opened:
// entries inherited through fork() belong to the parent. Constructed when the library loads.
std::mutex held_mutex;
std::set<std::tuple<dev_t, ino_t, unsigned>> held_directories;

// Registers a state directory for the calling consumer; false if another one of this process
// holds it already.
bool holdDirectory(const FileId& id, unsigned generation) {
  std::lock_guard<std::mutex> guard(held_mutex);
  return held_directories.emplace(id.device, id.inode, generation).second;
}

void releaseDirectory(const FileId& id, unsigned generation) {
  std::lock_guard<std::mutex> guard(held_mutex);
  held_directories.erase({id.device, id.inode, generation});
}

ConsumerRefused refusal(const std::string& directory, long holder) {
  return ConsumerRefused("Another consumer is already draining " + directory + ": process " +
                         std::to_string(holder) + " holds its lock");
}

struct flock wholeFile(short type) {
  struct flock request {};
  request.l_type = type;
  request.l_whence = SEEK_SET;
  return request;
}

// The process holding the lock on `fd`'s file, or 0 when none does (or it cannot be told).
long lockHolder(int fd) {
  struct flock holder = wholeFile(F_WRLCK);
  if (::fcntl(fd, F_GETLK, &holder) != 0 || holder.l_type == F_UNLCK) {
    return 0;
  }
  return holder.l_pid;
}

// A `.consumer` of another user: refused, with the holder's pid when its lock can be probed.
[[noreturn]] void refuseForeign(int state_fd, const std::string& metrics_directory,
                                const std::string& state_directory, uid_t owner) {
  UniqueFd lock(::openat(state_fd, kLockName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (lock) {
    if (long holder = lockHolder(lock.get()); holder != 0) {
      throw refusal(metrics_directory, holder);
    }
  }
  throw ConsumerRefused("Cannot take the consumer lock of " + metrics_directory + ": " +
                        state_directory + " belongs to another user (uid " + std::to_string(owner) +
                        ")");
}

// Opens (creating it if needed) a directory of this user's that nobody else may write.
// `mode` is what a new one gets and what an existing one of ours is brought to. Something else
// under its name (a symbolic link, a file) cannot be anyone's consumer state: it is removed, and
// whatever a link points at is left untouched. A directory of another user is returned as it is,
// for the caller to refuse.
UniqueFd openOwnDirectory(int parent_fd, const std::string& name, const std::string& path,
                          mode_t mode, struct stat& status) {
  for (int attempt = 0;; ++attempt) {
    if (::mkdirat(parent_fd, name.c_str(), mode) != 0 && errno != EEXIST) {
      throw SystemCallError("Failed to create consumer directory " + path + ": ", errno);
    }
    UniqueFd directory = openDirectory(parent_fd, name, false);
    if (directory) {
      if (::fstat(directory.get(), &status) != 0) {
        throw SystemCallError("Failed to inspect consumer directory " + path + ": ", errno);
      }
      if (status.st_uid == ::geteuid() && (status.st_mode & 07777) != mode) {
        // Ours, but made by an older release that let everyone write into it.
        ::fchmod(directory.get(), mode);
      }
      return directory;
    }
    if ((errno != ELOOP && errno != ENOTDIR) || attempt == 2) {
      throw SystemCallError("Failed to open consumer directory " + path + ": ", errno);
    }
    ::unlinkat(parent_fd, name.c_str(), 0);
  }
}

// Opens the lock file in our own state directory, replacing whatever else carries its name
// (a link or a file planted there while an older release left the directory writable by all).
UniqueFd openLockFile(int state_fd, const std::string& path, FileId& id) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    UniqueFd lock(::openat(state_fd, kLockName,
                           O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
    struct stat status {};
    if (lock && ::fstat(lock.get(), &status) == 0 && S_ISREG(status.st_mode) &&
        status.st_nlink == 1 && status.st_uid == ::geteuid()) {
      id = FileId{status.st_dev, status.st_ino};
      return lock;
    }
    if (!lock && errno != ELOOP && errno != ENXIO && errno != EISDIR && errno != EACCES) {
      throw SystemCallError("Failed to open consumer lock " + path + ": ", errno);
    }
    ::unlinkat(state_fd, kLockName, 0);
  }
  throw ConsumerRefused("Consumer lock " + path + " is not a plain file of this user");
}

}  // namespace

ConsumerLock::ConsumerLock(int metrics_fd, std::string_view metrics_directory)
    : generation_(forkGeneration()),
      metrics_directory_(metrics_directory),
      state_directory_(metrics_directory_ + "/" + std::string(kConsumerStateDirectory)) {
  const ProcessIdentity& self = currentProcess();
  keep_name_ = "attached." + std::to_string(self.pid) + "." + std::to_string(self.start_ticks);
  keep_directory_ = state_directory_ + "/" + keep_name_;
  state_ = acquire(metrics_fd, nullptr);
}

ConsumerLock::~ConsumerLock() {
  // Closing the descriptor releases the lock (in the process that took it; a forked child holds
  // none, so its closing releases nothing).
  state_.lock.reset();
  if (state_.directory) {
    releaseDirectory(state_.directory_id, generation_);
  }
}

ConsumerLock::State ConsumerLock::acquire(int metrics_fd, const State* current) const {
  State state;
  struct stat status {};
  state.directory = openOwnDirectory(metrics_fd, std::string(kConsumerStateDirectory),
                                     state_directory_, 0755, status);
  if (status.st_uid != ::geteuid()) {
    refuseForeign(state.directory.get(), metrics_directory_, state_directory_, status.st_uid);
  }
  state.directory_id = FileId{status.st_dev, status.st_ino};
  const bool held_already = current != nullptr && current->directory_id == state.directory_id;
  if (!held_already && !holdDirectory(state.directory_id, generation_)) {
    throw refusal(metrics_directory_, static_cast<long>(currentProcess().pid));
  }
  try {
    finishAcquiring(state, current);
  } catch (...) {
    if (!held_already) {
      releaseDirectory(state.directory_id, generation_);
    }
    throw;
  }
  return state;
}

void ConsumerLock::finishAcquiring(State& state, const State* current) const {
  const std::string lock_path = state_directory_ + "/" + kLockName;
  if (current != nullptr &&
      fileIdAt(state.directory.get(), kLockName) == std::optional<FileId>(current->lock_id)) {
    // The file this process has locked already: closing a second descriptor of it would
    // release that lock, so the caller keeps the one it holds (state.lock stays empty).
    state.lock_id = current->lock_id;
  } else {
    state.lock = openLockFile(state.directory.get(), lock_path, state.lock_id);
    lockOrRefuse(state.lock.get(), lock_path);
  }

  struct stat status {};
  state.keep = openOwnDirectory(state.directory.get(), keep_name_, keep_directory_, 0700, status);
  if (status.st_uid != ::geteuid()) {
    throw ConsumerRefused("Consumer directory " + keep_directory_ + " belongs to another user");
  }
}

bool ConsumerLock::stillHeld(int metrics_fd) const noexcept {
  return fileIdAt(metrics_fd, std::string(kConsumerStateDirectory)) ==
             std::optional<FileId>(state_.directory_id) &&
         fileIdAt(state_.directory.get(), kLockName) == std::optional<FileId>(state_.lock_id);
}

void ConsumerLock::lockOrRefuse(int lock_fd, const std::string& lock_path) const {
  struct flock request = wholeFile(F_WRLCK);
  if (::fcntl(lock_fd, F_SETLK, &request) != 0) {
    int error = errno;
    if (error != EACCES && error != EAGAIN) {
      throw SystemCallError("Failed to lock " + lock_path + ": ", error);
    }
    throw refusal(metrics_directory_, lockHolder(lock_fd));
  }
  const std::string pid_text = std::to_string(currentProcess().pid) + "\n";
  if (::ftruncate(lock_fd, 0) == 0) {
    static_cast<void>(::pwrite(lock_fd, pid_text.data(), pid_text.size(), 0));
  }
}

UniqueFd ConsumerLock::retake(int metrics_fd) {
  State next = acquire(metrics_fd, &state_);
  if (!next.lock) {
    next.lock = std::move(state_.lock);
  }
  if (next.directory_id != state_.directory_id) {
    releaseDirectory(state_.directory_id, generation_);
  }
  std::swap(state_, next);
  return std::move(next.keep);  // `next` now holds the previous state; its lock goes with it
}

}  // namespace zelnor
