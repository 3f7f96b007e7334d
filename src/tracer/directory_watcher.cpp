#include "tracer/directory_watcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "platform/process.h"

namespace zelnor::tracer {
namespace {

constexpr std::uint32_t kWatchNamed = IN_CREATE | IN_MOVED_TO;
constexpr std::uint32_t kWatchMask = kWatchNamed | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr std::uint32_t kWatchGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED;
constexpr std::size_t kEventBufferSize = 4096;

// Closes a directory stream however the listing ends.
struct DirCloser {
  void operator()(DIR* directory) const noexcept { ::closedir(directory); }
};

}  // namespace

DirectoryWatcher::DirectoryWatcher(std::string_view directory_path, bool shared)
    : directory_path_(directory_path), shared_(shared), generation_(zelnor::forkGeneration()) {
  zelnor::prepareDirectory(directory_path_, shared_);
  inotify_fd_ = zelnor::UniqueFd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!inotify_fd_) {
    throw zelnor::SystemCallError::withFixedText("Failed to initialize inotify", errno);
  }
  addWatch();
}

DirectoryWatcher::~DirectoryWatcher() {
  if (watch_descriptor_ != -1 && inotify_fd_ && generation_ == zelnor::forkGeneration()) {
    ::inotify_rm_watch(inotify_fd_.get(), watch_descriptor_);
  }
}

void DirectoryWatcher::addWatch() {
  watch_descriptor_ = ::inotify_add_watch(inotify_fd_.get(), directory_path_.c_str(), kWatchMask);
  if (watch_descriptor_ == -1) {
    throw zelnor::SystemCallError::withFixedText(
        "Failed to add watch on directory: " + directory_path_, errno);
  }
  watch_paths_[watch_descriptor_] = directory_path_;
}

void DirectoryWatcher::processEvents() {
  if (!initial_scan_done_) {
    rescan();
    initial_scan_done_ = true;
  } else if (watch_descriptor_ == -1) {
    onDirectoryGone();
  } else {
    readEvents();
  }
}

bool DirectoryWatcher::eventsPending() const {
  if (watch_descriptor_ == -1) {
    return false;  // processEvents lists the directory instead
  }
  int waiting = 0;
  return ::ioctl(inotify_fd_.get(), FIONREAD, &waiting) != 0 || waiting > 0;
}

void DirectoryWatcher::rescan() {
  std::unique_ptr<DIR, DirCloser> directory(::opendir(directory_path_.c_str()));
  if (!directory) {
    throw zelnor::SystemCallError::withFixedText(
        "Failed to open directory for scanning: " + directory_path_, errno);
  }
  while (const dirent* entry = ::readdir(directory.get())) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
      continue;
    }
    std::string path = directory_path_ + "/" + entry->d_name;
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
      onCreated(path);
    }
  }
}

void DirectoryWatcher::watchAgain() {
  if (watch_descriptor_ != -1) {
    // After a move the old watch follows the directory to its new place; drop it.
    ::inotify_rm_watch(inotify_fd_.get(), watch_descriptor_);
    watch_paths_.erase(watch_descriptor_);
    watch_descriptor_ = -1;
  }
  zelnor::prepareDirectory(directory_path_, shared_);
  addWatch();
  rescan();
  initial_scan_done_ = true;
}

void DirectoryWatcher::readEvents() {
  alignas(struct inotify_event) char buffer[kEventBufferSize];
  ssize_t length = ::read(inotify_fd_.get(), buffer, sizeof buffer);
  if (length == -1) {
    if (errno == EAGAIN || errno == EINTR) {
      return;
    }
    throw zelnor::SystemCallError::withFixedText("Error reading inotify events", errno);
  }
  bool overflowed = false;
  bool watch_gone = false;
  for (ssize_t offset = 0; offset < length;) {
    const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + offset);
    offset += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
    if (event->mask & IN_Q_OVERFLOW) {
      overflowed = true;
      continue;
    }
    if (event->wd == watch_descriptor_ && (event->mask & kWatchGone)) {
      watch_gone = true;
      continue;
    }
    if (event->len == 0 || !(event->mask & kWatchNamed)) {
      continue;
    }
    auto watched = watch_paths_.find(event->wd);
    if (watched == watch_paths_.end()) {
      continue;
    }
    const std::string path = watched->second + "/" + event->name;
    // A name moved in counts as the listing counts names: when it leads to a regular file. Renames
    // of anything else within the directory (a state directory, a link in its place) say nothing.
    struct stat status {};
    if ((event->mask & IN_MOVED_TO) &&
        (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode))) {
      continue;
    }
    onCreated(path);
  }
  if (watch_gone) {
    onDirectoryGone();
  } else if (overflowed) {
    // Events were lost: list the directory again. A file still there has not been attached.
    rescan();
  }
}

}  // namespace zelnor::tracer
