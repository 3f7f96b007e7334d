// The per-thread producer: a thread's first recording call creates its three queue files,
// counter.N.shm, histogram.N.shm and gauge.N.shm under the metrics directory, and every
// recording call turns into one record in the queue of its kind.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "metrics/entries.h"
#include "metrics/queues.h"

namespace zelnor {

class MetricsCollector {
 public:
  // The calling thread's collector, created by its first call. A collector inherited through
  // fork() is never written to: the child's first call creates a collector with files of its own.
  static MetricsCollector& getLocalInstance();
  // The calling thread's collector if it exists already (and was not inherited through fork()),
  // else null. Creates nothing, makes no system call and never throws.
  static MetricsCollector* existingLocalInstance() noexcept;

  // Creates the three queue files in the process's metrics directory (or in `directory`, spelt in
  // its normal form: normaliseDirectory). The first name tried carries the thread's hash; a name
  // that is taken (a live producer in another process, an ended thread's undrained file, anything
  // planted there) is never reused: another text is tried, up to kMaxNameTries times.
  MetricsCollector();
  explicit MetricsCollector(std::string_view directory);
  ~MetricsCollector();
  MetricsCollector(const MetricsCollector&) = delete;
  MetricsCollector& operator=(const MetricsCollector&) = delete;

  // Each fills one record (the name cut to 63 bytes) and enqueues it, under the collector's mutex.
  void incCounter(std::string_view name, std::int32_t value);
  void observeHistogram(std::string_view name, double value);
  void setGauge(std::string_view name, double value);

  std::uint64_t threadHash() const noexcept { return thread_hash_; }
  const std::string& counterPath() const noexcept { return counter_path_; }
  const std::string& histogramPath() const noexcept { return histogram_path_; }
  const std::string& gaugePath() const noexcept { return gauge_path_; }

  static constexpr int kMaxNameTries = 100;

 private:
  struct ClaimedFiles;
  static ClaimedFiles claimFiles(std::string_view directory, std::uint64_t thread_hash);
  MetricsCollector(std::uint64_t thread_hash, std::string_view directory);
  MetricsCollector(std::uint64_t thread_hash, ClaimedFiles&& files);

  std::uint64_t thread_hash_;
  std::string counter_path_;
  std::string histogram_path_;
  std::string gauge_path_;
  CounterQueue counter_queue_;
  HistogramQueue histogram_queue_;
  GaugeQueue gauge_queue_;
  // Held while one record is filled and enqueued. Only the owning thread records, so it is never
  // contended (an uncontended lock costs a few nanoseconds); it keeps one record's fill and
  // enqueue one critical section should a collector ever be reached from another thread.
  std::mutex mutex_;
  unsigned generation_;
};

}  // namespace zelnor
