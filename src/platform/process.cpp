#include "platform/process.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace zelnor {

std::atomic<unsigned> detail::fork_generation{0};

namespace {

// Taken by ForkGuard and by fork()'s prepare handler. A plain mutex: the child may unlock what the
// forking thread locked before the fork (an owner-checking mutex would refuse, the child's thread
// having another id).
std::mutex fork_mutex;
// One bit per descriptor that a forked child closes at once; under fork_mutex. Plain arrays that
// are never destroyed: objects of other files forget their descriptors here while the statics are
// destroyed at exit, in an order this file does not choose. Its pages cost nothing until touched.
constexpr std::size_t kBitsPerWord = 64;
std::uint64_t closed_in_children[detail::kForkLocalLimit / kBitsPerWord];
std::size_t closed_words_used = 0;  // no bit is set in the words past these

void onForkPrepare() noexcept {
  fork_mutex.lock();
}

void onForkParent() noexcept {
  fork_mutex.unlock();
}

void onForkChild() noexcept {
  for (std::size_t word = 0; word < closed_words_used; ++word) {
    for (std::size_t bit = 0; closed_in_children[word] != 0; ++bit) {
      if (closed_in_children[word] & (std::uint64_t{1} << bit)) {
        ::close(static_cast<int>(word * kBitsPerWord + bit));
        closed_in_children[word] &= ~(std::uint64_t{1} << bit);
      }
    }
  }
  closed_words_used = 0;
  detail::fork_generation.fetch_add(1, std::memory_order_relaxed);
  fork_mutex.unlock();
}

// Registered when the library is loaded: the object file that defines fork_generation is linked
// into every program that reads it, and this initialiser with it.
[[maybe_unused]] const bool fork_handler_registered = [] {
  return ::pthread_atfork(&onForkPrepare, &onForkParent, &onForkChild) == 0;
}();

// Fields 3 on of /proc/<pid>/stat; empty when it cannot be read.
std::vector<std::string> readStatFields(std::uint32_t pid) {
  std::ifstream stat_file("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::vector<std::string> fields;
  // The command name (field 2) may hold spaces and parentheses; the fields after it do not.
  const auto close_paren = std::getline(stat_file, line) ? line.rfind(')') : std::string::npos;
  if (close_paren == std::string::npos) {
    return fields;
  }
  std::istringstream rest(line.substr(close_paren + 1));
  for (std::string field; rest >> field;) {
    fields.push_back(field);
  }
  return fields;
}

// Field 22 of /proc/<pid>/stat, the start time in clock ticks; 0 when it cannot be read.
std::uint64_t readStartTicks(std::uint32_t pid) {
  const std::vector<std::string> fields = readStatFields(pid);
  return fields.size() > 19 ? std::strtoull(fields[19].c_str(), nullptr, 10) : 0;
}

std::uint64_t pidNamespaceOf(const std::string& proc_entry) {
  struct stat status {};
  if (::stat((proc_entry + "/ns/pid").c_str(), &status) != 0) {
    return 0;
  }
  return static_cast<std::uint64_t>(status.st_ino);
}

}  // namespace

ForkGuard::ForkGuard() {
  fork_mutex.lock();
}

ForkGuard::~ForkGuard() {
  fork_mutex.unlock();
}

bool detail::closeInForkedChildren(int fd) noexcept {
  const auto index = static_cast<std::size_t>(fd);
  if (fd < 0 || index >= kForkLocalLimit) {
    return false;
  }
  closed_in_children[index / kBitsPerWord] |= std::uint64_t{1} << (index % kBitsPerWord);
  closed_words_used = std::max(closed_words_used, index / kBitsPerWord + 1);
  return true;
}

void detail::forgetInForkedChildren(int fd) noexcept {
  const auto index = static_cast<std::size_t>(fd);
  if (fd >= 0 && index < kForkLocalLimit) {
    closed_in_children[index / kBitsPerWord] &= ~(std::uint64_t{1} << (index % kBitsPerWord));
  }
}

const ProcessIdentity& currentProcess() {
  thread_local unsigned generation = ~0u;
  thread_local ProcessIdentity identity;
  if (generation != forkGeneration()) {
    identity.pid = static_cast<std::uint32_t>(::getpid());
    identity.start_ticks = readStartTicks(identity.pid);
    identity.pid_namespace = pidNamespaceOf("/proc/self");
    generation = forkGeneration();
  }
  return identity;
}

Liveness processLiveness(const ProcessIdentity& process) {
  const ProcessIdentity& self = currentProcess();
  if (process.pid == 0 || process.pid > static_cast<std::uint32_t>(INT32_MAX) ||
      process.pid_namespace != self.pid_namespace || process.pid_namespace == 0) {
    return Liveness::kUnknown;
  }
  if (::kill(static_cast<pid_t>(process.pid), 0) != 0 && errno == ESRCH) {
    return Liveness::kGone;
  }
  // It exists (kill succeeded, or was refused for another user's process). A start time that can
  // be read and differs from the recorded one means the id now belongs to another process.
  const std::uint64_t start_ticks = readStartTicks(process.pid);
  if (start_ticks != 0 && process.start_ticks != 0 && start_ticks != process.start_ticks) {
    return Liveness::kGone;
  }
  return Liveness::kAlive;
}

std::optional<ProcessLineage> processLineage(std::uint32_t pid) {
  const std::vector<std::string> fields = readStatFields(pid);
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::optional<ProcessLineage> lineage;
  for (std::string line; fields.size() > 19 && std::getline(status, line);) {
    std::istringstream words(line);
    std::string tag;
    std::uint32_t real = 0;
    std::uint32_t effective = 0;
    if (words >> tag >> real >> effective && tag == "Uid:") {
      lineage = ProcessLineage{
          std::strtoull(fields[19].c_str(), nullptr, 10),
          static_cast<std::uint32_t>(std::strtoul(fields[1].c_str(), nullptr, 10)), effective};
      break;
    }
  }
  return lineage;
}

}  // namespace zelnor
