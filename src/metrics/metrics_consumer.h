// The consumer of the machine's metrics, one per process: a watcher on the metrics directory
// that attaches every producer's queue file it learns of and drains, on request, all queues of
// one kind. It starts no thread; discovery and draining happen inside the getters.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "metrics/consumer_lock.h"
#include "metrics/entries.h"
#include "metrics/queues.h"
#include "tracer/directory_watcher.h"

namespace zelnor {

class LivenessCache;

// How long the consumer waits before it lets go of a queue that is not ready, and how often, at
// most, it checks whether each queue's producer is still alive.
struct ConsumerTimings {
  std::chrono::milliseconds ready_timeout{10000};
  std::chrono::milliseconds liveness_interval{1000};
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
  std::vector<CounterEntry> getCounterEntries();
  std::vector<HistogramEntry> getHistogramEntries();
  std::vector<GaugeEntry> getGaugeEntries();

  // How many queues are attached now, of all kinds.
  std::size_t attachedQueueCount() const noexcept;

  // How many paths wait at most for a retry after a failure that may pass.
  static constexpr std::size_t kMaxRetries = 1024;

 protected:
  void onCreated(const std::string& path) override;

 private:
  using Clock = std::chrono::steady_clock;

  template <typename Entry>
  struct Attached {
    std::unique_ptr<SharedQueue<Entry, kQueueCapacity>> queue;
    Clock::time_point attached_at;
    Clock::time_point next_liveness_check;
    // Closed, or its producer gone: nothing more can arrive, so it goes once drained.
    bool finished = false;
  };

  template <typename Entry>
  std::vector<Entry> drain(std::vector<Attached<Entry>>& queues);
  // Drains the queues into `result` (or, when it is null, only looks at them) and lets go of
  // those that are finished: closed, their producer gone, or never ready in time.
  template <typename Entry>
  void service(std::vector<Attached<Entry>>& queues, std::vector<Entry>* result,
               LivenessCache& liveness, Clock::time_point now);
  template <typename Entry>
  void attachAs(std::vector<Attached<Entry>>& queues, const std::string& path);
  void attach(const std::string& path);
  void adoptPredecessors();
  void retryPending();
  void refuseIfInherited() const;

  ConsumerTimings timings_;
  ConsumerLock lock_;
  std::vector<Attached<CounterEntry>> counter_queues_;
  std::vector<Attached<HistogramEntry>> histogram_queues_;
  std::vector<Attached<GaugeEntry>> gauge_queues_;
  std::unordered_set<FileId, FileIdHash> attached_files_;
  std::deque<std::string> retry_paths_;
  unsigned generation_;
};

}  // namespace zelnor
