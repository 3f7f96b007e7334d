#include "test_support.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace zelnor::testing {

ScratchDirectory::ScratchDirectory() {
  char pattern[] = "/tmp/zelnor-test-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

RawQueueFile::RawQueueFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
  if (!fd) {
    throw std::runtime_error("cannot open " + path);
  }
  map_ = MemoryMap(fd.get(), kMapLength);
}

pid_t startChild(const std::function<int()>& body) {
  pid_t child = ::fork();
  if (child == 0) {
    int status = 255;
    try {
      status = body();
    } catch (...) {
    }
    std::_Exit(status);
  }
  return child;
}

int waitForChild(pid_t child) {
  int status = 0;
  if (::waitpid(child, &status, 0) != child) {
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int runInChild(const std::function<int()>& body) {
  return waitForChild(startChild(body));
}

RealDirectoryLock::RealDirectoryLock()
    : fd_(::open("/tmp/zelnor-tests.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {
  if (!fd_ || ::flock(fd_.get(), LOCK_EX) != 0) {
    throw std::runtime_error("cannot take /tmp/zelnor-tests.lock");
  }
}

RealDirectoryLock::~RealDirectoryLock() {
  ::flock(fd_.get(), LOCK_UN);
}

std::vector<std::string> listNames(const std::string& directory) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::size_t openDescriptorCount() {
  std::size_t count = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd");
       it != std::filesystem::directory_iterator(); ++it) {
    ++count;
  }
  return count;
}

std::size_t mappingCount(const std::string& containing) {
  std::ifstream maps("/proc/self/maps");
  std::size_t count = 0;
  for (std::string line; std::getline(maps, line);) {
    count += containing.empty() || line.find(containing) != std::string::npos;
  }
  return count;
}

}  // namespace zelnor::testing

#include <chrono>
#include <thread>

namespace zelnor::testing {

std::unique_ptr<MetricsConsumer> consumeRealDirectory() {
  try {
    return std::make_unique<MetricsConsumer>();
  } catch (const std::runtime_error& refused) {
    return nullptr;
  }
}

std::size_t Drained::count(const std::string& prefix) const {
  std::size_t total = 0;
  auto add = [&](const auto& by_name) {
    for (const auto& [name, values] : by_name) {
      if (name.compare(0, prefix.size(), prefix) == 0) {
        total += values.size();
      }
    }
  };
  add(counters);
  add(histograms);
  add(gauges);
  return total;
}

void drainInto(MetricsConsumer& consumer, Drained& drained) {
  for (const auto& entry : consumer.getCounterEntries()) {
    drained.counters[std::string(readName(entry.name))].push_back(entry.value);
  }
  for (const auto& entry : consumer.getHistogramEntries()) {
    drained.histograms[std::string(readName(entry.name))].push_back(entry.value);
  }
  for (const auto& entry : consumer.getGaugeEntries()) {
    drained.gauges[std::string(readName(entry.name))].push_back(entry.value);
  }
}

bool drainUntil(MetricsConsumer& consumer, Drained& drained, const std::function<bool()>& done,
                int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    drainInto(consumer, drained);
    if (done()) {
      return true;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

std::string uniquePrefix(const std::string& test) {
  return test + "." + std::to_string(::getpid()) + ".";
}

}  // namespace zelnor::testing

namespace zelnor::testing {

Signal::Signal() {
  if (::pipe2(fds_, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
}

Signal::~Signal() {
  ::close(fds_[0]);
  ::close(fds_[1]);
}

void Signal::notify() {
  char byte = 1;
  static_cast<void>(::write(fds_[1], &byte, 1));
}

bool Signal::wait() {
  char byte = 0;
  return ::read(fds_[0], &byte, 1) == 1;
}

}  // namespace zelnor::testing
