#include "tracer/directory_watcher.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace zelnor::tracer {
namespace {

using testing::ScratchDirectory;
using testing::touch;

class RecordingWatcher : public DirectoryWatcher {
 public:
  using DirectoryWatcher::DirectoryWatcher;
  std::vector<std::string> take() {
    std::vector<std::string> taken;
    taken.swap(reports_);
    return taken;
  }
  std::vector<std::string> sortedCall() {
    processEvents();
    auto reports = take();
    std::sort(reports.begin(), reports.end());
    return reports;
  }

 protected:
  void onCreated(const std::string& path) override { reports_.push_back(path); }

 private:
  std::vector<std::string> reports_;
};

TEST(Watcher, CreatesAMissingDirectoryWithEveryParent) {
  ScratchDirectory dir;
  const std::string watched = dir.file("a/b/c");
  RecordingWatcher watcher(watched);
  struct stat status {};
  ASSERT_EQ(::stat(watched.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0777u);
}

TEST(Watcher, FirstCallListsRegularFilesThenEventsReportNewNames) {
  ScratchDirectory dir;
  touch(dir.file("old"));
  touch(dir.file(".hidden"));
  ASSERT_EQ(::mkdir(dir.file("subdir").c_str(), 0777), 0);
  RecordingWatcher watcher(dir.path());
  touch(dir.file("between"));  // after the watch, before the scan: found by the scan
  EXPECT_EQ(watcher.sortedCall(),
            (std::vector<std::string>{dir.file(".hidden"), dir.file("between"), dir.file("old")}));

  touch(dir.file("new"));
  ASSERT_EQ(::mkdir(dir.file("newdir").c_str(), 0777), 0);
  // The event pass also reads the creation event queued for "between" before the scan.
  EXPECT_EQ(watcher.sortedCall(),
            (std::vector<std::string>{dir.file("between"), dir.file("new"), dir.file("newdir")}));
  EXPECT_TRUE(watcher.sortedCall().empty());
}

TEST(Watcher, DeletionsWritesAndMovesOutAreNotReported) {
  ScratchDirectory dir;
  ScratchDirectory elsewhere;
  touch(dir.file("existing"));
  touch(dir.file("leaving"));
  RecordingWatcher watcher(dir.path());
  watcher.processEvents();
  watcher.take();
  std::filesystem::rename(dir.file("leaving"), elsewhere.file("leaving"));
  std::ofstream(dir.file("existing")) << "more";
  std::filesystem::remove(dir.file("existing"));
  EXPECT_TRUE(watcher.sortedCall().empty());
}

// A file moved in (handed back by a refused consumer, say) is as new to the directory as a created
// one; a directory or a link to one moved in is no file, as for the first listing.
TEST(Watcher, FilesMovedInAreReportedLikeCreatedOnesButNothingElseMovedIn) {
  ScratchDirectory dir;
  ScratchDirectory elsewhere;
  touch(elsewhere.file("moved"));
  touch(dir.file("renamed"));
  ASSERT_EQ(::mkdir(elsewhere.file("subdir").c_str(), 0777), 0);
  ASSERT_EQ(::symlink(elsewhere.path().c_str(), dir.file("link").c_str()), 0);
  RecordingWatcher watcher(dir.path());
  watcher.processEvents();
  watcher.take();
  std::filesystem::rename(elsewhere.file("moved"), dir.file("moved"));
  std::filesystem::rename(dir.file("renamed"), dir.file("renamed.1"));
  std::filesystem::rename(elsewhere.file("subdir"), dir.file("subdir"));
  std::filesystem::rename(dir.file("link"), dir.file("link.1"));
  EXPECT_EQ(watcher.sortedCall(),
            (std::vector<std::string>{dir.file("moved"), dir.file("renamed.1")}));
}

// More events than one read of the kernel's queue holds: every name is reported, in the order the
// names were made, over as many calls as it takes.
TEST(Watcher, ManyPendingEventsAreAllReportedInCreationOrder) {
  ScratchDirectory dir;
  RecordingWatcher watcher(dir.path());
  watcher.processEvents();
  std::vector<std::string> created;
  for (int i = 0; i < 300; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "file-%025d", i);
    created.push_back(dir.file(name));
    touch(created.back());
  }
  std::vector<std::string> reported;
  for (int call = 0; call < 20 && reported.size() < created.size(); ++call) {
    watcher.processEvents();
    auto more = watcher.take();
    reported.insert(reported.end(), more.begin(), more.end());
  }
  EXPECT_EQ(reported, created);
}

TEST(Watcher, ATrailingSeparatorIsKeptInEveryPath) {
  ScratchDirectory dir;
  touch(dir.file("f"));
  RecordingWatcher watcher(dir.path() + "/");
  EXPECT_EQ(watcher.sortedCall(), (std::vector<std::string>{dir.path() + "//f"}));
}

// A lost event queue must not lose a producer: the watcher lists the directory again.
TEST(Watcher, AnOverflowedEventQueueLeadsToARescan) {
  ScratchDirectory dir;
  RecordingWatcher watcher(dir.path());
  watcher.processEvents();
  int limit = 16384;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
  if (limit > 100000) {
    GTEST_SKIP() << "event queue limit too large to overflow quickly";
  }
  // Create and remove names until the queue has overflowed; one file is left at the end.
  for (int i = 0; i < limit + 10; ++i) {
    const std::string path = dir.file("t" + std::to_string(i));
    touch(path);
    ::unlink(path.c_str());
  }
  touch(dir.file("survivor"));
  bool found = false;
  for (int call = 0; call < 1000 && !found; ++call) {
    watcher.processEvents();
    for (const auto& path : watcher.take()) {
      found |= path == dir.file("survivor");
    }
  }
  EXPECT_TRUE(found);
}

// Someone removes the whole directory while producers keep creating files in it.
TEST(Watcher, ARemovedDirectoryIsCreatedAndWatchedAgain) {
  ScratchDirectory dir;
  const std::string watched = dir.file("watched");
  RecordingWatcher watcher(watched);
  watcher.processEvents();
  std::filesystem::remove_all(watched);
  watcher.processEvents();  // sees the directory go, makes it again
  EXPECT_TRUE(std::filesystem::is_directory(watched));
  touch(watched + "/after");
  std::vector<std::string> reports;
  for (int call = 0; call < 3; ++call) {
    auto more = watcher.sortedCall();
    reports.insert(reports.end(), more.begin(), more.end());
  }
  EXPECT_EQ(reports, (std::vector<std::string>{watched + "/after"}));
}

TEST(Watcher, DescriptorsAreCloseOnExecAndReleased) {
  ScratchDirectory dir;
  const std::size_t before = testing::openDescriptorCount();
  {
    RecordingWatcher watcher(dir.path());
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::string target = std::filesystem::read_symlink(entry.path()).string();
      if (target == "anon_inode:inotify") {
        int fd = std::stoi(entry.path().filename().string());
        EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
      }
    }
  }
  EXPECT_EQ(testing::openDescriptorCount(), before);
}

}  // namespace
}  // namespace zelnor::tracer
