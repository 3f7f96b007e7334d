// Reports the entries of one directory to a subclass: once the regular files already there, then
// every name created in it, and every name of a regular file moved into it. It has no thread and
// never waits: the subclass calls processEvents() whenever it wants to catch up, and each report is
// a call of onCreated() from inside it.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/posix.h"

namespace zelnor::tracer {

class DirectoryWatcher {
 public:
  // Creates the directory (with its parents; with `shared`, the directory gets mode 0777) and
  // starts watching it. Throws zelnor::SystemCallError "Failed to initialize inotify" or
  // "Failed to add watch on directory: " + path (the texts alone; code() holds errno), or the
  // filesystem library's error.
  explicit DirectoryWatcher(std::string_view directory_path, bool shared = true);
  virtual ~DirectoryWatcher();
  DirectoryWatcher(const DirectoryWatcher&) = delete;
  DirectoryWatcher& operator=(const DirectoryWatcher&) = delete;

  // The first successful call lists the regular files in the directory; every later call reads
  // the pending events of names created or moved in once. A lost event queue (overflow) or a
  // directory that was removed or moved away leads to a fresh listing, after re-creating the
  // directory and its watch, so that no file is missed.
  void processEvents();
  // True when events wait that the last processEvents did not read (it reads one buffer's worth),
  // or when it cannot tell.
  bool eventsPending() const;

  // Lists the directory again now and reports every regular file in it.
  void rescan();

  // Re-creates the directory at its path if it is gone, watches what is there now, and lists it.
  // For a subclass that has found that the path no longer names the directory it was watching.
  void watchAgain();

  const std::string& directoryPath() const noexcept { return directory_path_; }

 protected:
  // Called with the watched path, "/", and the entry's name: a name created in the directory, or
  // one moved into it that leads to a regular file (a rename within the directory reports its new
  // name).
  virtual void onCreated(const std::string& path) = 0;

  // Called when the watched directory was removed or moved away, as the kernel says it (it says
  // nothing of a removal while something inside the directory is still open). By default the
  // directory is made again at its path, watched and listed (watchAgain).
  virtual void onDirectoryGone() { watchAgain(); }

 private:
  void readEvents();
  void addWatch();

  zelnor::UniqueFd inotify_fd_;
  int watch_descriptor_ = -1;
  std::string directory_path_;
  std::unordered_map<int, std::string> watch_paths_;
  bool initial_scan_done_ = false;
  bool shared_;
  // The fork generation that owns the watch; a forked child never removes its parent's watch.
  unsigned generation_;
};

}  // namespace zelnor::tracer
