// The consumer of the machine's metrics, one per process: a watcher on the metrics directory
// that attaches every producer's queue file it learns of and drains, on request, all queues of
// one kind. It starts no thread; discovery and draining happen inside the getters.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "metrics/consumer_lock.h"
#include "metrics/entries.h"
#include "metrics/process_file.h"
#include "metrics/process_files.h"
#include "metrics/queues.h"
#include "platform/posix.h"
#include "tracer/directory_watcher.h"

namespace zelnor {

class LivenessCache;

// How long a queue may stay not ready after it was attached before the consumer says so (and,
// once nobody holds the file any more, lets go of it); how often, at most, it checks whether
// each queue's producer is still alive; how often, at most, it lists the whole directory again
// when events may have been missed; and how often, at most, it checks that its state directory
// and lock are still the ones at their names, and that the metrics directory's path still leads
// to the directory it holds (a removal of that directory, or a move of it, is seen at every drain);
// how long a process file that nobody holds, that was never seen held and that no queue names may
// stay in .producers before it is removed. The process files are looked at (what they added,
// whose producers have ended) at most every liveness interval.
struct ConsumerTimings {
  std::chrono::milliseconds ready_timeout{10000};
  std::chrono::milliseconds liveness_interval{1000};
  std::chrono::milliseconds rescan_interval{1000};
  std::chrono::milliseconds state_interval{100};
  std::chrono::milliseconds process_file_grace{10000};
};

// What a consumer says of one queue it has drained, besides its records.
struct QueueReport {
  FileId file;                 // the queue's file; unique among the queues attached
  std::uint64_t producer = 0;  // the producer process (QueueOwner::key), 0 if the file names none
  std::uint32_t pid = 0;       // its process id, as it saw itself
  std::uint64_t start_ticks = 0;    // its start time, as it saw itself
  std::uint64_t pid_namespace = 0;  // the inode of its pid namespace, 0 if unknown
  std::uint32_t process_token = 0;  // its token, 0 if the file carries none (earlier releases)
  uid_t uid = 0;                    // the user that owns the queue file
  std::uint32_t pending = 0;        // records that waited when the drain began
  std::uint64_t dropped = 0;        // records the producer has dropped so far
  // Of those, the ones no consumer has reported before, this one or an earlier one over the same
  // file (the file keeps the count reported): each drop is reported once. A count that went down
  // (a file someone rewrote) reports nothing until it passes what was reported. Counted only by
  // drainAll, whose reports reach someone; the getters leave the drops to a later reporter.
  std::uint64_t dropped_unreported = 0;
  bool last = false;  // this was the queue's last drain: it is let go

  // The producer's process file (process_file.h), when the file names a process with a token.
  std::optional<ProcessFileName> processFile() const {
    if (process_token == 0) {
      return std::nullopt;
    }
    return ProcessFileName{pid, start_ticks, process_token};
  }
};

// The records of one queue in one drain, oldest first, in place in its ring: a run of them, and
// the run that follows it from the ring's start when they wrap. They lie in a file other
// processes may write: copy a record before relying on what it holds.
template <typename Entry>
struct Records {
  const Entry* first = nullptr;
  std::size_t first_count = 0;
  const Entry* second = nullptr;
  std::size_t second_count = 0;

  std::size_t size() const noexcept { return first_count + second_count; }

  // Calls visit(record) with a copy of each record, in order.
  template <typename Visit>
  void forEach(Visit&& visit) const {
    for (std::size_t i = 0; i < first_count; ++i) {
      visit(Entry(first[i]));
    }
    for (std::size_t i = 0; i < second_count; ++i) {
      visit(Entry(second[i]));
    }
  }
};

// Receives a whole drain of all three kinds (MetricsConsumer::drainAll): for each queue, its
// records and its report (the records are valid only during the call); and, as a
// DeclarationSink, what the producers' process files added and which producers have ended.
class DrainVisitor : public DeclarationSink {
 public:
  virtual void counters(const Records<CounterEntry>& records, const QueueReport& queue) = 0;
  virtual void histograms(const Records<HistogramEntry>& records, const QueueReport& queue) = 0;
  virtual void gauges(const Records<GaugeEntry>& records, const QueueReport& queue) = 0;
  // Asked after each queue's records were handed: true when they name what the declarations
  // handed so far do not (a process declares and records at once). The consumer then reads more
  // of the queue's process file (declarations()) and says that it did (declarationsRead(), with
  // `found_more` false when the file had nothing more to hand). It asks again after each read
  // that found more, so that a record behind more declarations than one read takes is placed
  // (the visitor bounds how often: a file replaced under its name always has more), and only
  // then hands the next queue.
  virtual bool wantsDeclarations(const QueueReport& /*queue*/) { return false; }
  virtual void declarationsRead(const QueueReport& /*queue*/, bool /*found_more*/) {}
};

class MetricsConsumer : public tracer::DirectoryWatcher {
 public:
  // The process's consumer, created on first use. A consumer inherited through fork() is let go
  // of (without touching its parent's files, watch or lock) and a new one is tried, which the
  // parent's lock refuses while the parent lives.
  static MetricsConsumer& getInstance();

  // Watches `directory`, takes its consumer lock and adopts the queue files of consumers that
  // ended before it. Throws std::runtime_error when another consumer holds the directory.
  explicit MetricsConsumer(std::string_view directory = kMetricsDirectory,
                           ConsumerTimings timings = {});
  ~MetricsConsumer() override;

  // Each returns every record of its kind that arrived since the previous call of the same
  // getter: queue by queue in the order the queues were attached, each queue oldest first.
  // A failure to discover new files is reported as a line and retried; the queues attached
  // already drain all the same. Throws ConsumerRefused when another consumer has taken the
  // directory from under this one (its state or the directory itself was replaced).
  std::vector<CounterEntry> getCounterEntries();
  std::vector<HistogramEntry> getHistogramEntries();
  std::vector<GaugeEntry> getGaugeEntries();

  // Drains every queue of all three kinds, with one look for new files, and hands each queue's
  // records and report to `visitor`: counters, then histograms, then gauges, each kind queue by
  // queue in the order the queues were attached. Throws as the getters do.
  void drainAll(DrainVisitor& visitor);

  // Opens the process file of the producer a report names (QueueReport::processFile), read-only,
  // through a descriptor of .producers in this consumer's metrics directory, with the checks the
  // liveness probe makes: no symbolic link followed, no blocking open, a regular file with one
  // link that belongs to the queue file's user. An invalid descriptor otherwise, errno saying why
  // (ENOENT: the report names no process file, or there is none; EPERM: refused). The caller owns
  // the descriptor; the file may be removed once the producer has ended and its last queue is let
  // go, so read it while the report's queue is attached (its last drain at the latest).
  UniqueFd openProcessFile(const QueueReport& report) const;

  // How many queues are attached now, of all kinds.
  std::size_t attachedQueueCount() const noexcept;

  // The longest the list of files waiting for a retry grows, and the longest the list of files
  // held by another consumer that are looked at again; past them, a full listing of the directory
  // finds them again.
  static constexpr std::size_t kMaxRetryListLength = 1024;

 protected:
  void onCreated(const std::string& path) override;
  void onDirectoryGone() override;

 private:
  using Clock = std::chrono::steady_clock;
  // Hands `sink` now what the process file of the producer a report names has added since it was
  // read last (a pass hands it on at its end, at most every liveness interval): for a queue whose
  // records name what their producer has just declared. False when it had nothing new.
  bool readDeclarations(const QueueReport& report, DeclarationSink& sink);

  // Where an attached file's name is now.
  enum class Place { kNowhere, kDirectory, kKeep };

  template <typename Entry>
  struct Attached {
    using EntryType = Entry;
    std::unique_ptr<SharedQueue<Entry, kQueueCapacity>> queue;
    Place place = Place::kNowhere;
    std::string name;
    Clock::time_point attached_at;
    Clock::time_point next_liveness_check;
    std::optional<QueueOwner> owner;  // read once the queue is ready
    std::uint64_t dropped = 0;        // its producer's count of drops at the last look
    bool looked_at_dropped = false;
    // Closed, or its producer gone: nothing more can arrive, so it goes once drained.
    bool finished = false;
    bool said_not_ready = false;
  };

  enum class Review { kDrain, kWait, kLetGo };

  // Checks the directory and the consumer's state, and looks for new files.
  void prepareDrain();
  template <typename Entry>
  std::vector<Entry> drain(std::vector<Attached<Entry>>& queues);
  // Drains every queue through `drainOne(queue, report)` and lets go of those that are finished.
  // With `report_drops`, the drops reported are marked reported in the files.
  template <typename Entry, typename DrainOne>
  void drainQueues(std::vector<Attached<Entry>>& queues, DrainOne&& drainOne,
                   LivenessCache& liveness, Clock::time_point now, bool report_drops);
  // Lets go of the finished queues of a kind this call does not drain, once they are empty.
  template <typename Entry>
  void sweepQueues(std::vector<Attached<Entry>>& queues, LivenessCache& liveness,
                   Clock::time_point now);
  template <typename Entry>
  Review review(Attached<Entry>& attached, LivenessCache& liveness, Clock::time_point now);
  template <typename Entry>
  bool producerGone(const Attached<Entry>& attached, LivenessCache& liveness);
  template <typename Entry>
  void letGo(Attached<Entry>& attached);
  template <typename Entry>
  void attachAs(std::vector<Attached<Entry>>& queues, int directory_fd, const std::string& name,
                const std::string& path);
  // Calls `visit` with every attached queue, of all kinds.
  template <typename Visit>
  void forEachAttached(Visit&& visit) {
    for (auto& attached : counter_queues_) {
      visit(attached);
    }
    for (auto& attached : histogram_queues_) {
      visit(attached);
    }
    for (auto& attached : gauge_queues_) {
      visit(attached);
    }
  }
  void moveKeptNames(int old_keep_fd);
  void handBack(int metrics_fd);
  template <typename Entry>
  void noteOwner(Attached<Entry>& attached);
  void releaseProcessFile(const QueueOwner& owner);

  void attach(int directory_fd, const std::string& name, const std::string& path);
  void checkDirectory();
  void discover();
  void adoptPredecessors();
  void retryPending();
  void retryHeldElsewhere(Clock::time_point now);
  void scheduleRescan(const std::string& reason);
  void sayOnce(const std::string& key, const std::string& line);
  void forgetSaid(const std::string& key);
  int placeFd(Place place) const noexcept;
  std::string placePath(Place place, const std::string& name) const;
  void refuseIfInherited() const;

  ConsumerTimings timings_;
  bool shared_directory_;
  UniqueFd directory_fd_;
  FileId directory_id_;
  ConsumerLock lock_;
  std::vector<Attached<CounterEntry>> counter_queues_;
  std::vector<Attached<HistogramEntry>> histogram_queues_;
  std::vector<Attached<GaugeEntry>> gauge_queues_;
  std::unordered_set<FileId, FileIdHash> attached_files_;
  std::deque<std::string> retry_names_;
  // Names in the metrics directory whose files another consumer held when they were looked at;
  // looked at again at most every liveness interval (a refused consumer lets go of its claims
  // just before it hands the names back).
  std::deque<std::string> held_names_;
  Clock::time_point next_held_retry_;
  // How many attached queues name each process file (by its name), among queues whose owner has
  // been read: a process file is removed only once none does.
  std::unordered_map<std::string, std::size_t> process_file_users_;
  // The process files in .producers: what they add, whose producers have ended; a file goes once
  // its producer has ended and no queue names it.
  ProcessFiles process_files_;
  // How many discoveries have found every name the directory held (no listing due, no name
  // waiting for a retry): a process file whose producer has ended goes only once one has passed
  // since, so that the queues it made are attached, and name it, first.
  std::uint64_t discoveries_ = 0;
  // Set once another consumer has taken the directory from under this one: the refusal every
  // later call gets.
  std::optional<std::string> refused_;
  // The line said last for each key (a file's path, or a kind of failure), so that a failure
  // that repeats on every call is said once.
  std::unordered_map<std::string, std::string> said_;
  bool rescan_due_ = false;
  bool directory_gone_ = false;  // the watch said the directory was removed or moved
  Clock::time_point next_state_check_;
  bool adoption_pending_ = false;
  Clock::time_point next_rescan_;
  unsigned generation_;
};

}  // namespace zelnor
