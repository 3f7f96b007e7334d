// Helpers shared by the C++ tests: scratch directories, raw views of queue files, child
// processes, draining, and the machine-wide lock that keeps tests apart on the real metrics
// directory.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "metrics/entries.h"
#include "metrics/metrics_consumer.h"
#include "metrics/queue_file.h"
#include "platform/posix.h"

namespace zelnor::testing {

// A fresh directory under /dev/shm (or /tmp), removed with everything in it at the end of the test.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A file system of its own, mounted over a scratch directory in this process's own mount
// namespace (made on first use, with every mount private to it), and unmounted at the end:
// "tmpfs", "overlay" (its layers on a tmpfs, as a container's root), "xfs" or "btrfs" (an image
// on a loop device, made with mkfs). Nobody else sees it; forked children do.
class MountedDirectory {
 public:
  explicit MountedDirectory(const std::string& type);
  ~MountedDirectory();
  // Empty when it is mounted, else why it cannot be (not root, no such file system, ...).
  const std::string& failure() const { return failure_; }
  // A directory inside the mount, not yet made.
  std::string metricsDirectory() const { return scratch_.file("mounted/metrics"); }

 private:
  ScratchDirectory scratch_;
  std::vector<std::string> mounted_;  // innermost last
  std::string failure_;
};

// Whether tests that mount must not be skipped (ZELNOR_REQUIRE_MOUNTS=1, as CI sets it).
bool mountsRequired();

// A second mapping of a queue file, for looking at and preparing its header and slots.
class RawQueueFile {
 public:
  explicit RawQueueFile(const std::string& path);
  QueueHeader& header() const { return *reinterpret_cast<QueueHeader*>(map_.data()); }
  unsigned char* bytes() const { return map_.data(); }

 private:
  MemoryMap map_;
};

// Runs `body` in a forked child; returns its exit status (the body's result, 0 to 255, or 128 +
// the signal that ended it).
int runInChild(const std::function<int()>& body);
pid_t startChild(const std::function<int()>& body);
int waitForChild(pid_t child);

// Kills (SIGKILL) and reaps the processes it was given when it goes, however the test ends; a
// grandchild is killed only (init reaps it). stop() does the same for one of them at once.
class KillAtEnd {
 public:
  explicit KillAtEnd(std::vector<pid_t> processes = {}) : processes_(std::move(processes)) {}
  ~KillAtEnd();
  void add(pid_t process) { processes_.push_back(process); }
  void stop(pid_t process);

 private:
  std::vector<pid_t> processes_;
};

// A one-shot signal from a forked child to its parent, over a pipe. Call startChild() between
// constructing it and wait(): the parent closes its write end after the fork (closeWriteEnd), so
// that wait() returns false once the child has gone without notifying.
class Signal {
 public:
  Signal();
  ~Signal();
  void notify();
  void closeWriteEnd();
  bool wait();

 private:
  UniqueFd read_;
  UniqueFd write_;
};

// Held while a test uses the machine's real metrics directory; other test runs wait for it.
class RealDirectoryLock {
 public:
  RealDirectoryLock();
  ~RealDirectoryLock();

 private:
  UniqueFd fd_;
};

// A consumer on the machine's metrics directory, for tests whose producers run in child
// processes. Null (and the test skipped) when another live consumer holds the directory.
std::unique_ptr<MetricsConsumer> consumeRealDirectory();

// Everything drained so far, by name, in arrival order.
struct Drained {
  std::map<std::string, std::vector<std::int32_t>> counters;
  std::map<std::string, std::vector<double>> histograms;
  std::map<std::string, std::vector<double>> gauges;
  std::size_t count(const std::string& prefix) const;
};

void drainInto(MetricsConsumer& consumer, Drained& drained);

// Drains until `done` holds or the deadline passes; true if `done` held.
bool drainUntil(MetricsConsumer& consumer, Drained& drained, const std::function<bool()>& done,
                int timeout_ms = 10000);

// A prefix that no other test run on this machine uses.
std::string uniquePrefix(const std::string& test);

// The names and the values of drained records, in order.
template <typename Entries>
std::vector<std::string> namesOf(const Entries& entries) {
  std::vector<std::string> names;
  for (const auto& entry : entries) {
    names.emplace_back(readName(entry.name));
  }
  return names;
}

template <typename Entries>
auto valuesOf(const Entries& entries) {
  std::vector<decltype(entries.front().value)> values;
  for (const auto& entry : entries) {
    values.push_back(entry.value);
  }
  return values;
}

CounterEntry counterRecord(const std::string& name, std::int32_t value);

// 0, 1, ..., count - 1.
std::vector<std::int32_t> sequence(int count);

// Waits until the queue file's ring has room for one more record, so that nothing is dropped.
void waitForRoom(const RawQueueFile& raw);

// Queue files left in the watched directory itself (not in the consumer's own subdirectory).
std::size_t queueFilesIn(const std::string& directory);

// Creates an empty file, or empties one.
void touch(const std::string& path);
bool contains(const std::string& text, const std::string& part);

// The names in a directory, sorted, without "." and "..".
std::vector<std::string> listNames(const std::string& directory);
// The queue files kept by the consumer in its keep directory under `metrics_directory`.
std::vector<std::string> keptNames(const std::string& metrics_directory);
std::size_t openDescriptorCount();
// Mappings of this process; only those of files whose path contains `containing`, if given.
std::size_t mappingCount(const std::string& containing = "");

// Runs `body` with RLIMIT_NOFILE lowered so that every further open fails with EMFILE; the limit
// is restored afterwards.
void withoutSpareDescriptors(const std::function<void()>& body);

// In a child process only: gives up root for the unprivileged user "nobody". False if it cannot.
bool becomeNobody();

}  // namespace zelnor::testing
