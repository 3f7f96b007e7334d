// One live consumer per metrics directory. The consumer's state lives in a hidden subdirectory
// of the metrics directory:
//
//   .consumer/lock                   write-locked (fcntl) by the live consumer, holds its pid
//   .consumer/attached.<pid>.<start> the queue files that consumer has attached
//
// The lock belongs to the process and dies with it, so nothing stale is ever left to clean by
// hand; a forked child does not inherit it.
#pragma once

#include <string>
#include <string_view>

#include "platform/posix.h"

namespace zelnor {

inline constexpr std::string_view kConsumerStateDirectory = ".consumer";

class ConsumerLock {
 public:
  // Takes the lock for `metrics_directory` and creates this consumer's own subdirectory.
  // Throws std::runtime_error naming the directory and the holder when another consumer, in
  // this process or another, holds it.
  explicit ConsumerLock(std::string_view metrics_directory);
  ~ConsumerLock();
  ConsumerLock(const ConsumerLock&) = delete;
  ConsumerLock& operator=(const ConsumerLock&) = delete;

  // Where this consumer keeps the files it attached.
  const std::string& keepDirectory() const noexcept { return keep_directory_; }
  const std::string& stateDirectory() const noexcept { return state_directory_; }

 private:
  unsigned generation_;
  std::string metrics_directory_;
  std::string state_directory_;
  std::string keep_directory_;
  UniqueFd fd_;
};

}  // namespace zelnor
