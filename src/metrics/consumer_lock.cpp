#include "metrics/consumer_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <set>
#include <stdexcept>

#include "platform/process.h"

namespace zelnor {
namespace {

// fcntl locks do not exclude a second lock taken by the same process, so consumers of this
// process are kept apart here, by directory and fork generation: entries inherited through
// fork() belong to the parent. Constructed when the library loads, before any consumer.
std::mutex held_directories_mutex;
std::set<std::pair<std::string, unsigned>> held_directories;

std::runtime_error refusal(const std::string& directory, long holder) {
  return std::runtime_error("Another consumer is already draining " + directory + ": process " +
                            std::to_string(holder) + " holds its lock");
}

// Creates a directory that everyone may use, and refuses anything else under its name.
void makeSharedDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
    throw SystemCallError("Failed to create consumer directory " + path + ": ", errno);
  }
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    throw SystemCallError("Failed to inspect consumer directory " + path + ": ", errno);
  }
  if (!S_ISDIR(status.st_mode)) {
    throw std::runtime_error("Consumer directory " + path + " is not a directory");
  }
  ::chmod(path.c_str(), 0777);  // best effort: another user's consumer may have made it
}

}  // namespace

ConsumerLock::ConsumerLock(std::string_view metrics_directory)
    : generation_(forkGeneration()),
      metrics_directory_(metrics_directory),
      state_directory_(metrics_directory_ + "/" + std::string(kConsumerStateDirectory)) {
  {
    std::lock_guard<std::mutex> guard(held_directories_mutex);
    if (!held_directories.emplace(metrics_directory_, generation_).second) {
      throw refusal(metrics_directory_, static_cast<long>(currentProcess().pid));
    }
  }
  try {
    makeSharedDirectory(state_directory_);
    const std::string lock_path = state_directory_ + "/lock";
    fd_ = UniqueFd(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd_) {
      throw SystemCallError("Failed to open consumer lock " + lock_path + ": ", errno);
    }
    ::fchmod(fd_.get(), 0666);  // best effort, so that a consumer of another user may lock it
    struct flock request {};
    request.l_type = F_WRLCK;
    request.l_whence = SEEK_SET;
    if (::fcntl(fd_.get(), F_SETLK, &request) != 0) {
      int error = errno;
      if (error != EACCES && error != EAGAIN) {
        throw SystemCallError("Failed to lock " + lock_path + ": ", error);
      }
      struct flock holder {};
      holder.l_type = F_WRLCK;
      holder.l_whence = SEEK_SET;
      long holder_pid = ::fcntl(fd_.get(), F_GETLK, &holder) == 0 ? holder.l_pid : 0;
      throw refusal(metrics_directory_, holder_pid);
    }
    const std::string pid_text = std::to_string(currentProcess().pid) + "\n";
    if (::ftruncate(fd_.get(), 0) == 0) {
      static_cast<void>(::pwrite(fd_.get(), pid_text.data(), pid_text.size(), 0));
    }
    const ProcessIdentity& self = currentProcess();
    keep_directory_ = state_directory_ + "/attached." + std::to_string(self.pid) + "." +
                      std::to_string(self.start_ticks);
    makeSharedDirectory(keep_directory_);
  } catch (...) {
    std::lock_guard<std::mutex> guard(held_directories_mutex);
    held_directories.erase({metrics_directory_, generation_});
    throw;
  }
}

ConsumerLock::~ConsumerLock() {
  // Closing the descriptor releases the lock (in the process that took it; a forked child holds
  // none, so its closing releases nothing).
  fd_.reset();
  std::lock_guard<std::mutex> guard(held_directories_mutex);
  held_directories.erase({metrics_directory_, generation_});
}

}  // namespace zelnor
