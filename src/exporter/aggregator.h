// The exporter's running totals, folded straight from drained records: counters summed per series
// in 64 bits, histogram observations counted into buckets with their sum and count, gauges by
// mode. What a recorded name becomes is decided once per distinct name (names.h) and remembered in
// a bounded table, so that a record costs a lookup of its name and a few additions, and names
// beyond the series limit cost nothing that grows.
//
// One thread folds (fold* and endPass, or drain through MetricsConsumer::drainAll); any thread may
// take a snapshot meanwhile. They share only the published totals, under a mutex held for a copy:
// endPass copies the series that changed, snapshot copies them all.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "exporter/name_table.h"
#include "exporter/names.h"
#include "metrics/metrics_consumer.h"

namespace zelnor::exporter {

// How gauge values combine. kLast keeps the value drained last, whoever set it; the others keep
// the latest value of each live producer process and expose their sum, maximum or minimum, or each
// of them (kAll, with a "pid" label). A producer's values leave when its last queue is let go.
enum class GaugeMode { kLast, kSum, kMax, kMin, kAll };

struct SeriesInfo {
  Kind kind;
  std::string name;
  Labels labels;
};

// A producer's latest value of a gauge, and the label that names the producer.
struct ProducerValue {
  std::uint64_t producer;
  double value;
};

struct SeriesValue {
  std::uint64_t total = 0;               // counters: the sum; histograms: the count
  double sum = 0;                        // histograms: the sum; gauges (kLast): the value
  std::vector<std::uint64_t> buckets;    // histograms: per bucket, not cumulative
  std::vector<ProducerValue> producers;  // gauges (all modes but kLast), in order of arrival
};

struct Health {
  std::uint64_t entries[kKinds] = {};
  std::uint64_t rejected[static_cast<int>(Reason::kCount)] = {};
  std::uint64_t drains = 0;
  double drain_seconds = 0;
  // Records the producers dropped that no exporter had reported before; saturates, never falls.
  std::uint64_t dropped[kKinds] = {};
  std::uint64_t queues[kKinds] = {};  // queues drained in the last pass
  double fullest[kKinds] = {};        // fill of the fullest ring at the last pass, 0 to 1
};

struct Snapshot {
  std::vector<SeriesInfo> series;
  std::vector<SeriesValue> values;
  std::unordered_map<std::uint64_t, std::string> producer_labels;  // live producers' pid labels
  Health health;
};

class Aggregator : public DrainVisitor {
 public:
  Aggregator(std::vector<double> bounds, GaugeMode mode, std::size_t max_series);

  // Folding, on one thread. `producer` identifies the producer process (0: unknown) and `pid`
  // names it in the "pid" label of kAll.
  void foldCounter(std::string_view name, std::int32_t value, std::uint64_t producer);
  void foldHistogram(std::string_view name, double value, std::uint64_t producer);
  void foldGauge(std::string_view name, double value, std::uint64_t producer, std::uint32_t pid);
  // Tells the aggregator that `producer` records this pass (drain does it for every queue).
  void noteProducer(std::uint64_t producer, std::uint32_t pid);
  // Ends a pass: the values of producers not in `live` leave, and the totals are published.
  void endPass(const std::unordered_set<std::uint64_t>& live, double seconds);

  // Drains `consumer` once into the totals and publishes them.
  void drain(MetricsConsumer& consumer);

  Snapshot snapshot() const;

  const std::vector<double>& bounds() const noexcept { return bounds_; }
  GaugeMode gaugeMode() const noexcept { return mode_; }

  // DrainVisitor
  void counters(const Records<CounterEntry>& records, const QueueReport& queue) override;
  void histograms(const Records<HistogramEntry>& records, const QueueReport& queue) override;
  void gauges(const Records<GaugeEntry>& records, const QueueReport& queue) override;

 private:
  // What a recorded name of one kind became: a series, a reason, or a family whose first series
  // waits for a valid value (a negative first increment makes no series).
  struct Classified {
    std::int32_t series = -1;
    Reason reason = Reason::kCount;   // why the name cannot be a series; kCount: it can
    Reason refused = Reason::kCount;  // why its series was refused (for good: families and
                                      // series are never removed); kCount: not refused
    Family family;                    // while series is -1
  };

  Classified& classify(Kind kind, std::string_view recorded);
  // The series of a good name, admitting it now if it is new; -1 with `reason` if refused.
  std::int32_t seriesOf(Kind kind, Classified& classified, Reason& reason);
  std::int32_t admit(Kind kind, const Family& family, Reason& reason);
  void reject(Reason reason) { ++health_.rejected[static_cast<int>(reason)]; }
  void foldGaugeValue(std::string_view name, double value, std::uint64_t producer);
  void markDirty(std::int32_t series);
  void noteQueue(Kind kind, const QueueReport& queue);
  void publish();

  // The folding thread's state.
  std::vector<double> bounds_;
  GaugeMode mode_;
  std::size_t max_series_;
  std::size_t classified_limit_;
  NameTable<Classified> classified_[kKinds];
  std::unordered_map<std::string, std::int32_t> series_by_key_;
  std::unordered_map<std::string, Kind> family_kinds_;
  std::unordered_set<std::string> occupied_;
  std::vector<SeriesInfo> series_;
  std::vector<SeriesValue> values_;
  std::vector<std::int32_t> dirty_;
  std::vector<std::uint8_t> is_dirty_;
  std::unordered_map<std::uint64_t, std::string> producers_;  // live producer -> its label
  std::unordered_set<std::uint64_t> live_;                    // producers seen this pass
  bool producers_changed_ = false;
  Health health_;
  std::chrono::steady_clock::time_point pass_start_;

  // Shared with snapshot().
  mutable std::mutex mutex_;
  Snapshot published_;
};

}  // namespace zelnor::exporter
