// One file per producer process, beside its queue files:
//
//   .producers/                        in the metrics directory; mode 01777 in the shared default
//                                      (sticky: users cannot remove each other's files), else
//                                      0777 less the umask
//   .producers/<pid>.<start>.<token>   one per process: its pid, its start time in clock ticks,
//                                      and its token as 8 lowercase hex digits; mode 0644 less the
//                                      umask; it begins with the line "zelnor-process 1\n"
//
// The process write-locks byte 0 of its file (an open-file-description lock) as soon as it has
// created it, and keeps the descriptor that holds the lock for as long as it lives: one
// descriptor per process, and a lock that holds on every file system, overlayfs included. It is
// what a queue file stamped kLivenessByProcessFile stands on. A forked child closes the inherited
// descriptor at once (ForkLocalFd), and exec closes it, so only the process itself keeps the lock.
//
// The token is random, never 0, drawn once per process (again in a forked child; an exec'ed image
// loads this library anew and draws its own). Queue files carry it in their owner stamp.
//
// The file is left in place when the process ends: a consumer removes it once it has let go of
// every queue that named it and nobody holds it any more, and sweeps away the files of ended
// producers that no queue it holds names.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "metrics/process_state.h"
#include "platform/posix.h"
#include "platform/process.h"

namespace zelnor {

inline constexpr std::string_view kProcessFileDirectory = ".producers";
inline constexpr std::string_view kProcessFileHeader = "zelnor-process 1\n";
// The byte of its file the process keeps write-locked for as long as it lives.
inline constexpr off_t kLockedByte = 0;

// This process's token (drawn on first use, and again after a fork); never 0.
std::uint32_t currentProcessToken();

// What names a process file.
struct ProcessFileName {
  std::uint32_t pid = 0;
  std::uint64_t start_ticks = 0;
  std::uint32_t token = 0;

  std::string text() const;  // "<pid>.<start>.<token as 8 lowercase hex digits>"
  // The key that tells this producer process apart from every other (QueueOwner::key of its
  // queue files): the name tells it, without the pid namespace, which a random token makes moot.
  std::uint64_t producerKey() const noexcept;
  // The name `text` spells exactly (decimal numbers without leading zeros, 8 hex digits, token
  // not 0); nothing otherwise.
  static std::optional<ProcessFileName> parse(std::string_view text);
};

class ProcessFile {
 public:
  // This process's file in metricsDirectory(), created on first use.
  static ProcessFile& current();
  // This process's file in `directory`, created on first use. The object lives as long as the
  // process; a forked child asks again and gets one of its own (the parent's object is of no use
  // there: its appends fail with EBADF). Throws SystemCallError with a fixed text naming the step
  // ("Failed to open process file directory PATH: ", "Failed to create process file PATH: ",
  // "Failed to lock process file PATH: ", "Failed to write process file PATH: ") and the system's
  // error text; then a later call tries again.
  static ProcessFile& forDirectory(std::string_view directory);

  // Appends `bytes`, which must be whole lines (empty, or ending in '\n'; std::invalid_argument
  // otherwise), with one write on a descriptor open for appending, under this object's mutex:
  // a reader who knows that an append has returned finds all of its bytes, and never a part of
  // a line. Refuses to let the file grow past kMaxSize, and a write that fails or falls short
  // leaves the file as it was: SystemCallError "Failed to append to process file PATH: ".
  void append(std::string_view bytes);

  // Makes the file again if its name no longer leads to it (the metrics directory was removed and
  // made again, say), under the same name when it is free. Throws as forDirectory does.
  void recreateIfRemoved();

  std::uint32_t token() const;
  std::string path() const;

  // This process's state area (process_state.h), in the file beside this one, made on first use
  // with the blocks of at least its first `wanted` slots reserved (more as more are wanted: a
  // slot of a sparse file without them would kill the process with SIGBUS on a full file system);
  // `reserved` says how many are. Null when it cannot be made (said once as an "ERROR: " line,
  // never tried again). Never throws.
  StateHeader* stateArea(std::uint32_t wanted, std::uint32_t& reserved);

  static constexpr std::size_t kMaxSize = 16 * 1024 * 1024;

  ProcessFile(const ProcessFile&) = delete;
  ProcessFile& operator=(const ProcessFile&) = delete;

 private:
  struct Key {
    explicit Key() = default;
  };

 public:
  ProcessFile(Key, std::string directory);  // made by forDirectory only

 private:
  void create(const ForkGuard& guard);  // under mutex_, or before the object is published
  void createState();                   // under mutex_

  std::string directory_;
  mutable std::mutex mutex_;  // the fields below
  std::string name_;
  std::uint32_t token_ = 0;
  FileId id_;
  std::size_t size_ = 0;
  ForkLocalFd fd_;  // open for appending; holds the lock on byte 0
  bool state_tried_ = false;
  UniqueFd state_fd_;
  MemoryMap state_map_;
  std::uint32_t state_reserved_ = 0;  // slots whose blocks are reserved
};

// Consumer side: opens the process file `name` in .producers of the metrics directory open as
// `metrics_fd`, read-only, without following a symbolic link (neither .producers nor the file)
// and without blocking, and only if it is a regular file with exactly one link that belongs to
// `owner` (the user of the queue file that named it). An invalid descriptor otherwise, with errno
// set: EPERM for a file that is refused, else the error of the failed step (ENOENT: none there).
UniqueFd openProcessFile(int metrics_fd, const ProcessFileName& name, uid_t owner);

// What the lock of a process file says of its process.
enum class ProcessFileLock {
  kHeld,     // the process lives
  kFree,     // it has ended
  kMissing,  // no such file, or one that is refused: say nothing
  kFailed,   // could not look (no descriptor to spare, ...)
};

ProcessFileLock probeProcessFile(int metrics_fd, const ProcessFileName& name, uid_t owner);

// Removes the process file `name` from .producers of `metrics_fd` if nobody holds its lock and it
// is a regular file with one link (of `owner`, when given). True if it was removed.
bool removeProcessFileIfFree(int metrics_fd, const std::string& name,
                             std::optional<uid_t> owner = std::nullopt);

}  // namespace zelnor
