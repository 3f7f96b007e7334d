// One live consumer per metrics directory. The consumer's state lives in a hidden subdirectory
// of the metrics directory, owned by the consumer's user and writable by nobody else:
//
//   .consumer/                        mode 0755
//   .consumer/lock                    mode 0600, write-locked (fcntl) by the live consumer; its pid
//   .consumer/attached.<pid>.<start>  mode 0700, the queue files that consumer has attached
//
// The lock belongs to the process and dies with it, so nothing stale is ever left to clean by
// hand; a forked child does not inherit it. Everything is done relative to descriptors of these
// directories, so that renaming a component of their paths can redirect nothing. The metrics
// directory itself may be writable by everyone, so anyone may rename `.consumer` away or put
// something else in its place: the consumer checks, at most every state interval, that the names
// still refer to what it holds (stillHeld) and otherwise takes the lock again (retake). A
// `.consumer` that is not a directory of the consumer's own user is never used, so consumers of two
// users never share one metrics directory.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/posix.h"

namespace zelnor {

inline constexpr std::string_view kConsumerStateDirectory = ".consumer";

// The directory cannot be drained by this process: another consumer holds it, or its state
// directory is not this user's to use.
class ConsumerRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ConsumerLock {
 public:
  // Takes the lock of the metrics directory open as `metrics_fd` (its path is
  // `metrics_directory`) and creates this consumer's own subdirectory. Throws ConsumerRefused
  // naming the directory and the holder when another consumer, in this process or another, holds
  // it, or naming the problem when `.consumer` is not ours; SystemCallError when a step fails.
  ConsumerLock(int metrics_fd, std::string_view metrics_directory);
  ~ConsumerLock();
  ConsumerLock(const ConsumerLock&) = delete;
  ConsumerLock& operator=(const ConsumerLock&) = delete;

  // True while `.consumer` and `.consumer/lock` in `metrics_fd` still name the directory and the
  // file this consumer holds.
  bool stillHeld(int metrics_fd) const noexcept;

  // Takes the lock again in the metrics directory open as `metrics_fd`, after stillHeld() said
  // no, and lets go of the previous one. Returns the previous keep directory, so that the caller
  // can move what it kept there. Throws as the constructor does; then nothing changes.
  UniqueFd retake(int metrics_fd);

  int stateFd() const noexcept { return state_.directory.get(); }
  int keepFd() const noexcept { return state_.keep.get(); }
  const std::string& stateDirectory() const noexcept { return state_directory_; }
  // Where this consumer keeps the files it attached, and that directory's name in stateFd().
  const std::string& keepDirectory() const noexcept { return keep_directory_; }
  const std::string& keepName() const noexcept { return keep_name_; }

 private:
  struct State {
    UniqueFd directory;  // .consumer
    FileId directory_id;
    UniqueFd lock;  // .consumer/lock, write-locked
    FileId lock_id;
    UniqueFd keep;  // .consumer/attached.<pid>.<start>
  };
  // Opens or creates the state directory, its lock and this consumer's keep directory, and takes
  // the lock. `current`, when given, is the state held so far: a lock file it holds already is
  // left to the caller (the result's lock is empty) rather than opened again.
  State acquire(int metrics_fd, const State* current) const;
  void finishAcquiring(State& state, const State* current) const;
  void lockOrRefuse(int lock_fd, const std::string& lock_path) const;

  unsigned generation_;
  std::string metrics_directory_;
  std::string state_directory_;
  std::string keep_name_;
  std::string keep_directory_;
  State state_;
};

}  // namespace zelnor
