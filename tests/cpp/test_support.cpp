#include "test_support.h"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
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

namespace {

// This process's own mount namespace, in which nothing it mounts propagates anywhere else.
bool ownMountNamespace() {
  static const bool made = ::unshare(CLONE_NEWNS) == 0 &&
                           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  return made;
}

std::string mountError(const std::string& what) {
  return "cannot mount " + what + " here: " + std::strerror(errno);
}

}  // namespace

MountedDirectory::MountedDirectory(const std::string& type) {
  if (::geteuid() != 0 || !ownMountNamespace()) {
    failure_ = "needs root and a mount namespace of its own";
    return;
  }
  const std::string target = scratch_.file("mounted");
  std::filesystem::create_directories(target);
  if (type == "tmpfs") {
    if (::mount("zelnor-test", target.c_str(), "tmpfs", 0, "size=256m") != 0) {
      failure_ = mountError("tmpfs");
      return;
    }
  } else if (type == "overlay") {
    const std::string layers = scratch_.file("layers");
    std::filesystem::create_directories(layers);
    if (::mount("zelnor-test", layers.c_str(), "tmpfs", 0, "size=256m") != 0) {
      failure_ = mountError("the overlay's tmpfs");
      return;
    }
    mounted_.push_back(layers);
    for (const char* layer : {"/lower", "/upper", "/work"}) {
      std::filesystem::create_directories(layers + layer);
    }
    const std::string options =
        "lowerdir=" + layers + "/lower,upperdir=" + layers + "/upper,workdir=" + layers + "/work";
    if (::mount("overlay", target.c_str(), "overlay", 0, options.c_str()) != 0) {
      failure_ = mountError("overlay");
      return;
    }
  } else {
    // mkfs and mount(8) set the loop device up, and free it again when it is unmounted.
    const std::string image = scratch_.file("image");
    const std::string make = "truncate -s 320M " + image + " && mkfs." + type + " -q " + image +
                             " >/dev/null 2>&1 && mount -o loop " + image + " " + target;
    if (std::system(make.c_str()) != 0) {
      failure_ = "cannot make and mount " + type + " on a loop device here (mkfs." + type +
                 " from xfsprogs or btrfs-progs, and loop devices, are needed)";
      return;
    }
  }
  mounted_.push_back(target);
}

MountedDirectory::~MountedDirectory() {
  for (auto it = mounted_.rbegin(); it != mounted_.rend(); ++it) {
    // Lazily: a descriptor still open on it (a child that has not been reaped) never fails this.
    ::umount2(it->c_str(), MNT_DETACH);
  }
}

bool mountsRequired() {
  const char* value = std::getenv("ZELNOR_REQUIRE_MOUNTS");
  return value != nullptr && std::string(value) == "1";
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

KillAtEnd::~KillAtEnd() {
  while (!processes_.empty()) {
    stop(processes_.back());
  }
}

void KillAtEnd::stop(pid_t process) {
  processes_.erase(std::remove(processes_.begin(), processes_.end(), process), processes_.end());
  if (process > 0 && ::kill(process, SIGKILL) == 0) {
    ::waitpid(process, nullptr, 0);  // fails for a grandchild, which is not ours to reap
  }
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
