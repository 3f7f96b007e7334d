#include "platform/process.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace zelnor {

std::atomic<unsigned> detail::fork_generation{0};

namespace {

void onForkChild() noexcept {
  detail::fork_generation.fetch_add(1, std::memory_order_relaxed);
}

// Registered when the library is loaded: the object file that defines fork_generation is linked
// into every program that reads it, and this initialiser with it.
[[maybe_unused]] const bool fork_handler_registered = [] {
  return ::pthread_atfork(nullptr, nullptr, &onForkChild) == 0;
}();

// Field 22 of /proc/<pid>/stat, the start time in clock ticks; 0 when it cannot be read.
std::uint64_t readStartTicks(std::uint32_t pid) {
  std::ifstream stat_file("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat_file, line)) {
    return 0;
  }
  // The command name (field 2) may hold spaces and parentheses; the fields after it do not.
  auto close_paren = line.rfind(')');
  if (close_paren == std::string::npos) {
    return 0;
  }
  std::istringstream fields(line.substr(close_paren + 1));
  std::string field;
  for (int number = 3; number <= 22 && (fields >> field); ++number) {
    if (number == 22) {
      return std::strtoull(field.c_str(), nullptr, 10);
    }
  }
  return 0;
}

std::uint64_t pidNamespaceOf(const std::string& proc_entry) {
  struct stat status {};
  if (::stat((proc_entry + "/ns/pid").c_str(), &status) != 0) {
    return 0;
  }
  return static_cast<std::uint64_t>(status.st_ino);
}

}  // namespace

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

}  // namespace zelnor
