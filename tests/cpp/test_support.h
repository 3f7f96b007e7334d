// Helpers shared by the C++ tests: scratch directories, raw views of queue files, child
// processes, and the machine-wide lock that keeps tests apart on the real metrics directory.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/posix.h"
#include "metrics/queue_file.h"

namespace zelnor::testing {

// A fresh directory under /tmp, removed with everything in it at the end of the test.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A second mapping of a queue file, for looking at and preparing its header and slots.
class RawQueueFile {
 public:
  explicit RawQueueFile(const std::string& path);
  QueueHeader& header() const { return *reinterpret_cast<QueueHeader*>(map_.data()); }
  unsigned char* bytes() const { return map_.data(); }

 private:
  MemoryMap map_;
};

// Runs `body` in a forked child; returns its exit status (the body's result, 0 to 255).
int runInChild(const std::function<int()>& body);
pid_t startChild(const std::function<int()>& body);
int waitForChild(pid_t child);

// Held while a test uses the machine's real metrics directory; other test runs wait for it.
class RealDirectoryLock {
 public:
  RealDirectoryLock();
  ~RealDirectoryLock();

 private:
  UniqueFd fd_;
};

// The names in a directory, sorted, without "." and "..".
std::vector<std::string> listNames(const std::string& directory);
std::size_t openDescriptorCount();
// Mappings of this process; only those of files whose path contains `containing`, if given.
std::size_t mappingCount(const std::string& containing = "");

}  // namespace zelnor::testing

#include <map>
#include <memory>

#include "metrics/metrics_consumer.h"

namespace zelnor::testing {

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

}  // namespace zelnor::testing

namespace zelnor::testing {

// A one-shot signal between a parent and a forked child, over a pipe.
class Signal {
 public:
  Signal();
  ~Signal();
  void notify();
  // False if the other side went away without notifying.
  bool wait();

 private:
  int fds_[2];
};

}  // namespace zelnor::testing
