#include "test_support.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace zelnor::testing {

ScratchDirectory::ScratchDirectory() {
  // On tmpfs where there is one: creating queue files there is several times faster.
  std::string pattern = std::filesystem::is_directory("/dev/shm") ? "/dev/shm/zelnor-test-XXXXXX"
                                                                  : "/tmp/zelnor-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
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

Signal::Signal() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  read_ = UniqueFd(fds[0]);
  write_ = UniqueFd(fds[1]);
}

Signal::~Signal() = default;

void Signal::notify() {
  char byte = 1;
  static_cast<void>(::write(write_.get(), &byte, 1));
}

void Signal::closeWriteEnd() {
  write_.reset();
}

bool Signal::wait() {
  char byte = 0;
  return ::read(read_.get(), &byte, 1) == 1;
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

CounterEntry counterRecord(const std::string& name, std::int32_t value) {
  CounterEntry entry{};
  fillName(entry.name, name);
  entry.value = value;
  return entry;
}

std::vector<std::int32_t> sequence(int count) {
  std::vector<std::int32_t> values(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    values[static_cast<std::size_t>(i)] = i;
  }
  return values;
}

void waitForRoom(const RawQueueFile& raw) {
  while ((raw.header().head.load() + 1) % 1000 == raw.header().tail.load()) {
    std::this_thread::yield();
  }
}

std::size_t queueFilesIn(const std::string& directory) {
  std::size_t count = 0;
  for (const auto& name : listNames(directory)) {
    count += name != ".consumer";
  }
  return count;
}

void touch(const std::string& path) {
  std::ofstream(path) << "";
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
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

std::vector<std::string> keptNames(const std::string& metrics_directory) {
  std::vector<std::string> kept;
  const std::string state = metrics_directory + "/.consumer";
  for (const std::string& name : listNames(state)) {
    if (name.rfind("attached.", 0) == 0) {
      for (const std::string& file : listNames(state + "/" + name)) {
        kept.push_back(name + "/" + file);
      }
    }
  }
  return kept;
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

void withoutSpareDescriptors(const std::function<void()>& body) {
  rlimit saved{};
  if (::getrlimit(RLIMIT_NOFILE, &saved) != 0) {
    throw std::runtime_error("getrlimit failed");
  }
  // A new descriptor takes the lowest free number; below that limit, none is left.
  const int lowest_free = ::dup(0);
  ::close(lowest_free);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowest_free);
  if (lowest_free < 0 || ::setrlimit(RLIMIT_NOFILE, &tight) != 0) {
    throw std::runtime_error("cannot lower RLIMIT_NOFILE");
  }
  try {
    body();
  } catch (...) {
    ::setrlimit(RLIMIT_NOFILE, &saved);
    throw;
  }
  ::setrlimit(RLIMIT_NOFILE, &saved);
}

bool becomeNobody() {
  constexpr gid_t kNobodyGroup = 65534;
  constexpr uid_t kNobody = 65534;
  return ::setgroups(0, nullptr) == 0 && ::setgid(kNobodyGroup) == 0 && ::setuid(kNobody) == 0;
}

}  // namespace zelnor::testing
