// The consumer's view of the producers' process files (process_file.h): what each producer
// process appends to its file (the declarations an instrumentation library writes there), and
// when the process has ended; and once, what the state file beside it keeps.
//
// Every file in .producers is untrusted: it is opened without following a link and without
// blocking, read only while it is a regular file with one link, and at most
// ProcessFile::kMaxSize bytes of it, a bounded share at each look, and only while its producer
// holds its lock or an attached queue names it (a file nobody holds that no queue names was left
// by a producer long gone, or planted). A producer is said ended once its file's lock is free and
// no attached queue names the file any more (so that its queues' last records were drained
// first), at two looks with a whole discovery of the directory between them (a producer that
// ended a moment after it made a queue file may have ended before the consumer attached the
// queue); then what is left of the file is read and the file removed. A file that nobody holds
// and that was never seen held (its producer may be between creating and locking it) is removed,
// unread, once it has not changed for the grace period.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "metrics/process_file.h"
#include "platform/posix.h"

namespace zelnor {

// Whom the consumer hands the process files on to.
class DeclarationSink {
 public:
  virtual ~DeclarationSink() = default;
  // The process file `name` (of the producer name.producerKey(), QueueOwner::key), which the user
  // `owner` owns, grew by `bytes`: they continue what was handed before, from the file's first
  // byte on, and may end inside a line.
  virtual void declarations(const ProcessFileName& /*name*/, uid_t /*owner*/,
                            std::string_view /*bytes*/) {}
  // What the state file beside the process file (process_state.h) keeps, read once, after the
  // process file was first read to its end: the last keyed write of each series and family.
  virtual void restore(std::uint64_t /*producer*/, const std::vector<StateEntry>& /*entries*/) {}
  // The producer has ended and none of its queues is attached any more: nothing more of it comes.
  virtual void processEnded(std::uint64_t /*producer*/) {}
};

class ProcessFiles {
 public:
  using Clock = std::chrono::steady_clock;
  // How many process files are followed at once; more are left until some go.
  static constexpr std::size_t kMaxFiles = 65536;
  // What one look reads of one file at most, and of all files together.
  static constexpr std::size_t kMaxReadPerLook = 1024 * 1024;
  static constexpr std::size_t kMaxReadPerLookInAll = 8 * 1024 * 1024;

  ProcessFiles(std::chrono::milliseconds interval, std::chrono::milliseconds grace)
      : interval_(interval), grace_(grace) {}

  // At most every interval (or at once after lookSoon): lists .producers in the metrics
  // directory open as `metrics_fd`, hands `sink` (when given) what each file added, and says
  // ended, and removes, the files of producers that have ended and that `named_by_queues` (file
  // names, with how many attached queues name each) does not name, neither at this look nor at
  // an earlier one that `discoveries` (how many whole discoveries of the metrics directory the
  // consumer has made so far) has passed since.
  void look(int metrics_fd, Clock::time_point now,
            const std::unordered_map<std::string, std::size_t>& named_by_queues,
            std::uint64_t discoveries, DeclarationSink* sink);

  // Hands `sink` now what the file `name`, of the user `owner`, added since the last read, at
  // most kMaxReadPerLook of it; false when there was nothing new to hand.
  bool readNow(int metrics_fd, const ProcessFileName& name, uid_t owner, DeclarationSink& sink);

  // Makes the next look come at once (a queue that named `name` was let go).
  void lookSoon() { next_look_ = Clock::time_point(); }

 private:
  struct Followed {
    FileId id;
    std::uint64_t offset = 0;  // bytes handed on so far
    bool seen_held = false;
    bool stuck = false;     // shrank, or grew past the bound: nothing more is read
    bool restored = false;  // its state file was read
    // Since which discovery the file has been seen free and named by no attached queue.
    std::optional<std::uint64_t> unnamed_since;
  };

  // Reads what `fd`'s file added beyond `file.offset`, at most `limit` bytes, into `sink`; the
  // first time that reaches its end, what its state file (in `producers_fd`, of `owner`) keeps.
  void readMore(int fd, const ProcessFileName& name, Followed& file, DeclarationSink& sink,
                std::size_t limit, int producers_fd, uid_t owner);

  std::chrono::milliseconds interval_;
  std::chrono::milliseconds grace_;
  Clock::time_point next_look_;
  std::unordered_map<std::string, Followed> files_;
};

}  // namespace zelnor
