// Who the calling process is, whether another process still runs, how many times the process
// line has forked since this library was loaded, and what a forked child must not inherit.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace zelnor {

namespace detail {
// Written only by the atfork child handler, while the child has a single thread; relaxed loads
// are enough because no other thread of the child exists to race with that write.
extern std::atomic<unsigned> fork_generation;
}  // namespace detail

// Counts the fork()s that led to the calling process; a child sees its parent's count plus one.
// Reading it makes no system call, so the recording path may check it on every call.
inline unsigned forkGeneration() noexcept {
  return detail::fork_generation.load(std::memory_order_relaxed);
}

// Held while this process has a descriptor open that carries a lock a forked child must not keep,
// and that is neither closed again nor handed to a ForkLocalFd (posix.h) yet: fork() waits for it,
// since its prepare handler takes the same mutex, so no child ever holds a copy nobody knows of.
// Guards what ForkLocalFd registers, too. Not reentrant; held for a few system calls at most.
class ForkGuard {
 public:
  ForkGuard();
  ~ForkGuard();
  ForkGuard(const ForkGuard&) = delete;
  ForkGuard& operator=(const ForkGuard&) = delete;
};

namespace detail {
// The descriptors below this number (the kernel's default ceiling for them) can be closed in
// forked children; a child keeps a copy of any descriptor past it.
inline constexpr std::size_t kForkLocalLimit = std::size_t{1} << 20;
// Under a ForkGuard: `fd` is closed in every child forked from now on, until forgotten again.
// False, and nothing done, for a descriptor at or past kForkLocalLimit.
bool closeInForkedChildren(int fd) noexcept;
void forgetInForkedChildren(int fd) noexcept;
}  // namespace detail

// A process as seen from this machine: its id is reused, its id together with its start time
// (clock ticks since boot) is not. `pid_namespace` is the inode of its pid namespace, 0 if unknown.
struct ProcessIdentity {
  std::uint32_t pid = 0;
  std::uint64_t start_ticks = 0;
  std::uint64_t pid_namespace = 0;
};

// The calling process's identity, computed once per process (and again after a fork).
const ProcessIdentity& currentProcess();

enum class Liveness { kAlive, kGone, kUnknown };

// kGone only on positive evidence that the process has ended: no process with its id exists in
// this pid namespace (kill() says ESRCH), or the one that does started at another time (its id was
// reused). A process that merely cannot be looked at (another user's under hidepid, an error
// reading /proc) is kAlive; one in another pid namespace, or whose identity is not known, is
// kUnknown. A zombie still counts as alive: it is gone once reaped.
Liveness processLiveness(const ProcessIdentity& process);

// What /proc says of the process `pid` of the caller's pid namespace: when it started, its parent,
// and its effective user; nothing when it cannot be read (gone, or hidden by hidepid).
struct ProcessLineage {
  std::uint64_t start_ticks = 0;
  std::uint32_t parent = 0;
  std::uint32_t uid = 0;
};
std::optional<ProcessLineage> processLineage(std::uint32_t pid);

}  // namespace zelnor
