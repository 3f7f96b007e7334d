// The exporter's running totals, folded straight from drained records: counters summed per series
// in 64 bits, histogram observations counted into buckets with their sum and count, gauges by
// mode. What a recorded name becomes is decided once per distinct name (names.h) and remembered in
// a bounded table, so that a record costs a lookup of its name and a few additions, and names
// beyond the series limit cost nothing that grows.
//
// Working out what a new name becomes costs a hundred times what folding a record does, and anyone
// who can write the metrics directory chooses the names. So a drain pass classifies only as many
// new names as its budget allows: one for every kRecordsPerNewName records it drains, and what it
// takes from an allowance that refills with time (enough for the distinct series of a start-up at
// once, and then a few thousand a second). A record whose name waits for a later pass is kept,
// with its value and producer, in a bounded backlog, and folded in order once its name has been
// classified (a later record of a waiting name waits behind it, so that a gauge's later value is
// never overtaken by an earlier one); a record that finds the backlog full is rejected as
// too_many_new_names and leaves nothing behind. What names became is remembered in two
// generations: a full table becomes the previous one and a hit there is carried over, so that
// names in use survive a flood of new ones. A name that made a series is never forgotten: when
// the generation it is in goes, it moves to a table of its own (one name per series, so the
// series limit bounds that table), so that no flood of names, however many and however often
// repeated, makes a series' records wait behind it.
//
// One thread folds (fold*, beginPass and endPass, or drain through MetricsConsumer::drainAll); any
// thread may take a snapshot meanwhile. They share only the published totals: endPass publishes an
// immutable Snapshot by pointer, which shares with the one before it every chunk of series that did
// not change; taking one copies a pointer, and nobody waits for a pass.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "exporter/declared.h"
#include "exporter/name_table.h"
#include "exporter/names.h"
#include "exporter/rejection_log.h"
#include "metrics/metrics_consumer.h"
#include "metrics/process_file.h"
#include "metrics/process_files.h"
#include "platform/process.h"

namespace zelnor::exporter {

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

// A live producer process: the label that names it ("pid" in kAll, and in the process metrics),
// who it is as it saw itself, and the user that owns its queue files.
struct LiveProducer {
  std::string label;
  ProcessIdentity process;
  uid_t uid = 0;
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

// A family a process declared (zelnor_client), with its samples as the exposition serves them.
struct DeclaredSnapshot {
  DeclaredType type;
  std::string name;
  std::string documentation;
  std::string unit;
  std::vector<ServedSamples> series;  // each served series' samples, shared between snapshots
};

// Series are published in chunks of this many: a snapshot shares every chunk that has not changed
// with the one before it, so that a pass copies what it changed, not everything.
inline constexpr std::size_t kSeriesChunk = 256;

template <typename T>
using Chunks = std::vector<std::shared_ptr<const std::vector<T>>>;

// The series made so far, on the folding thread: a full chunk never changes again, and every
// snapshot from then on shares it; only the last one is copied when it grows.
class SeriesTable {
 public:
  void push_back(SeriesInfo info);
  std::size_t size() const noexcept { return full_.size() * kSeriesChunk + last_.size(); }
  const SeriesInfo& operator[](std::size_t series) const noexcept {
    return series / kSeriesChunk < full_.size()
               ? (*full_[series / kSeriesChunk])[series % kSeriesChunk]
               : last_[series % kSeriesChunk];
  }
  // The chunks as a snapshot holds them.
  Chunks<SeriesInfo> chunks() const;

 private:
  Chunks<SeriesInfo> full_;
  std::vector<SeriesInfo> last_;
};

// What a pass published, never changed once it is: any thread may hold and read it for as long
// as it likes, while the folding thread publishes the next one.
struct Snapshot {
  std::size_t series = 0;
  Chunks<SeriesInfo> info;     // kSeriesChunk series each
  Chunks<SeriesValue> values;  // the same series' values
  // Every series, in the order of the exposition: by kind ("counter", "gauge", "histogram"),
  // then name, then labels.
  std::shared_ptr<const std::vector<std::int32_t>> order;
  std::shared_ptr<const std::vector<DeclaredSnapshot>> declared;
  std::size_t declared_series = 0;  // series of declared families held, served or not
  // Live producers' pid labels, and who each of them is.
  std::shared_ptr<const std::unordered_map<std::uint64_t, std::string>> producer_labels;
  std::shared_ptr<const std::vector<LiveProducer>> live_producers;
  Health health;

  const SeriesInfo& infoOf(std::size_t series) const noexcept {
    return (*info[series / kSeriesChunk])[series % kSeriesChunk];
  }
  const SeriesValue& valueOf(std::size_t series) const noexcept {
    return (*values[series / kSeriesChunk])[series % kSeriesChunk];
  }
};

class Aggregator : public DrainVisitor, private DeclaredFamilies::Namespace {
 public:
  // A pass classifies one new name for every this many records it drains, so that a flood of
  // new names costs each record a small multiple of an ordinary one...
  static constexpr std::size_t kRecordsPerNewName = 128;
  // ...and takes at most kNewNamesPerPass more from an allowance that holds kNewNamesAtOnce at
  // most (the distinct series of a start-up are worked out within ten passes) and refills by
  // kNewNamesPerSecond (a flood keeps a few thousandths of a core busy with it).
  static constexpr std::size_t kNewNamesPerPass = 2000;
  static constexpr std::size_t kNewNamesAtOnce = 20000;
  static constexpr std::size_t kNewNamesPerSecond = 2000;
  // Records that wait for their names to be classified, at most.
  static constexpr std::size_t kBacklogCapacity = 32768;

  Aggregator(std::vector<double> bounds, GaugeMode mode, std::size_t max_series);

  // Folding, on one thread. `producer` identifies the producer process (0: unknown) and `pid`
  // names it in the "pid" label of kAll. Outside a pass begun with beginPass, every new name is
  // classified at once (but a record whose name waits in the backlog still waits behind it).
  void foldCounter(std::string_view name, std::int32_t value, std::uint64_t producer);
  void foldHistogram(std::string_view name, double value, std::uint64_t producer);
  void foldGauge(std::string_view name, double value, std::uint64_t producer, std::uint32_t pid);
  // Tells the aggregator that `producer` records this pass (drain does it for every queue).
  void noteProducer(std::uint64_t producer, std::uint32_t pid);
  // Begins a pass that classifies at most `new_names` names seen for the first time; records of
  // further new names wait in the backlog.
  void beginPass(std::size_t new_names);
  // Ends a pass: what waits in the backlog is folded as far as the pass's budget allows, the
  // values of producers not in `live` leave, and the totals are published.
  void endPass(const std::unordered_set<std::uint64_t>& live, double seconds);

  // Drains `consumer` once into the totals and publishes them.
  void drain(MetricsConsumer& consumer);

  // The totals the last pass published. Any thread; never waits for a pass.
  std::shared_ptr<const Snapshot> snapshot() const {
    // Pairs with the atomic_store in publish(): what the pointer points to was made before it.
    return std::atomic_load(&published_);
  }
  // Grows whenever a pass publishes totals that differ from the last ones; a reply rendered from
  // a snapshot stays right for as long as this is unchanged. Any thread.
  std::uint64_t generation() const noexcept {
    // acquire: pairs with the release increment in publish(); read before the snapshot is taken,
    // it is never newer than the snapshot.
    return generation_.load(std::memory_order_acquire);
  }
  // Records waiting for their names to be classified.
  std::size_t waiting() const noexcept { return waiting_; }
  // The producers that drained queues in the last pass and still live, by label. Any thread.
  std::vector<LiveProducer> liveProducers() const;

  const std::vector<double>& bounds() const noexcept { return bounds_; }
  GaugeMode gaugeMode() const noexcept { return mode_; }

  // DrainVisitor
  void counters(const Records<CounterEntry>& records, const QueueReport& queue) override;
  void histograms(const Records<HistogramEntry>& records, const QueueReport& queue) override;
  void gauges(const Records<GaugeEntry>& records, const QueueReport& queue) override;
  // What producer processes declare (zelnor_client), and when they have ended.
  void restore(std::uint64_t producer, const std::vector<StateEntry>& entries) override;
  void declarations(const ProcessFileName& name, uid_t owner, std::string_view bytes) override;
  bool wantsDeclarations(const QueueReport& queue) override;
  void declarationsRead(const QueueReport& queue, bool found_more) override;
  // More of the declaration file of `producer`, written by `origin`.
  void declare(std::uint64_t producer, const ProducerOrigin& origin, std::string_view bytes);
  // What the declaration files of one user's live processes may keep (DeclaredFamilies).
  void limitDeclarations(std::size_t bytes_per_user) { declared_.limitPerUser(bytes_per_user); }
  void processEnded(std::uint64_t producer) override;

 private:
  // What a recorded name of one kind became: a series, a reason, or a family whose first series
  // waits for a valid value (a negative first increment makes no series).
  struct Classified {
    std::int32_t series = -1;
    Reason reason = Reason::kCount;   // why the name cannot be a series; kCount: it can
    Reason refused = Reason::kCount;  // why its series was refused (for good: families and
                                      // series are never removed); kCount: not refused
    bool made_series = false;         // the name that made its series, not another spelling
    Family family;                    // while series is -1
  };

  // What the names of one kind became, in two generations: when the current table is full it
  // becomes the previous one, and a name found only there is carried into the current one. The
  // names that made series, of generations gone, are kept apart for good.
  struct Names {
    NameTable<Classified> current;
    NameTable<Classified> previous;
    NameTable<Classified> series;
  };

  // A record whose name waits to be classified, with what folding it needs.
  struct Waiting {
    std::uint64_t hash;  // of kind and name, under backlog_key_
    std::uint64_t producer;
    double value;  // a counter's increment is exact in a double
    Kind kind;
    bool folded;  // folded, and not yet taken out of the backlog
    bool gone;    // a gauge's, whose producer has left since: its value leaves with it
    std::uint8_t size;
    char name[kNameSize];

    std::string_view recorded() const noexcept { return {name, size}; }
  };

  // What `recorded` became, if that is known; null if it was never classified, or forgotten.
  Classified* known(Kind kind, std::string_view recorded);
  Classified& remember(Kind kind, std::string_view recorded, Classified classified);
  // Empties the generation of `names` that goes, keeping the names in it that made series.
  static void forget(Names& names, NameTable<Classified>& gone);
  Classified& classify(Kind kind, std::string_view recorded);
  // Folds a record of a kind, classifying its name if the budget allows; else the record waits.
  // A record of a declared series (its name begins with 0x01) folds by its declaration.
  void fold(Kind kind, std::string_view name, double value, std::uint64_t producer);
  void foldDeclared(Kind kind, std::string_view name, double value, std::uint64_t producer);
  // Counts a record of a declared series that cannot be folded, for `reason`.
  void rejectDeclared(Kind kind, std::string_view name, Reason reason);
  // DeclaredFamilies::Namespace
  Reason claim(const DeclaredFamily& family) override;
  bool seriesRoom() override;
  void refused(const DeclaredFamily& family, Reason reason) override;
  // Folds a value into what its name became; a gauge value of a producer that is gone makes its
  // series (as it would have) and leaves.
  void apply(Kind kind, std::string_view name, Classified& classified, double value,
             std::uint64_t producer, bool producer_gone);
  // The series of a good name, admitting it now if it is new; -1 with `reason` if refused.
  std::int32_t seriesOf(Kind kind, Classified& classified, Reason& reason);
  std::int32_t admit(Kind kind, const Family& family, Reason& reason);
  // Every rejected entry is counted here, whatever the reason, and its name said once.
  void reject(Kind kind, std::string_view name, Reason reason) {
    ++health_.rejected[static_cast<int>(reason)];
    log_.dropped(kind, name, reason);
  }
  std::uint64_t waitingHash(Kind kind, std::string_view name) const noexcept;
  std::uint16_t& pendingCount(std::uint64_t hash) noexcept { return pending_[hash >> 46]; }
  void wait(Kind kind, std::string_view name, double value, std::uint64_t producer,
            std::uint64_t hash);
  void foldWaiting();
  void dropFolded();
  void markDirty(std::int32_t series);
  // Takes a queue's report; a pass that earns credit earns it for each of the queue's `records`.
  void noteQueue(Kind kind, const QueueReport& queue, std::size_t records);
  void publish();
  void publishValues(Snapshot& next);
  std::shared_ptr<const std::vector<std::int32_t>> orderWith(
      const std::shared_ptr<const std::vector<std::int32_t>>& before, std::size_t known) const;

  // The folding thread's state.
  std::vector<double> bounds_;
  GaugeMode mode_;
  std::size_t max_series_;
  std::size_t generation_limit_;  // names per kind in a generation of the table
  Names names_[kKinds];
  std::unordered_map<std::string, std::int32_t> series_by_key_;
  std::unordered_map<std::string, Kind> family_kinds_;
  std::unordered_set<std::string> occupied_;
  SeriesTable series_;
  std::vector<SeriesValue> values_;
  std::vector<std::int32_t> dirty_;
  std::vector<std::uint8_t> is_dirty_;
  std::unordered_map<std::uint64_t, std::string> producers_;    // live producer -> its label
  std::unordered_map<std::uint64_t, LiveProducer> identities_;  // what their queues say of them
  std::unordered_set<std::uint64_t> live_;                      // producers seen this pass
  bool producers_changed_ = false;
  Health health_;
  RejectionLog log_;
  DeclaredFamilies declared_{*this};
  // A record of a declared series that the declarations read so far do not place, set aside
  // while its queue is handed: the consumer reads more of its process's file before the next
  // queue, and the record is folded then. Every record of the queue after it is set aside too, so
  // that they fold in the order they were made.
  struct Unplaced {
    Kind kind;
    double value;
    std::uint8_t size;
    char name[kNameSize];

    std::string_view recorded() const noexcept { return {name, size}; }
  };
  std::vector<Unplaced> unplaced_;  // of the queue being handed, of one producer
  bool handing_ = false;            // a drain is handing a queue's records
  // How often this pass has read each producer's file for records it could not place: enough to
  // read a whole file and a few times more for what a process declares while a pass drains its
  // queues, but a bounded number of times (a file replaced under its name reads as new).
  std::unordered_map<std::uint64_t, int> declaration_reads_;
  static constexpr int kDeclarationReadsPerPass =
      static_cast<int>(ProcessFile::kMaxSize / ProcessFiles::kMaxReadPerLook) + 4;
  std::chrono::steady_clock::time_point pass_start_;

  // The budget for new names of the pass under way, in records: classifying one costs
  // kRecordsPerNewName. Outside a pass, no budget.
  std::int64_t credit_;
  // In a drain's pass: each record drained adds one to the credit, and what the pass spends
  // beyond what its records earned comes out of the allowance.
  bool metered_ = false;
  std::int64_t earned_ = 0;
  std::int64_t allowed_ = 0;      // the credit the pass took from the allowance
  double allowance_;              // in names
  std::vector<Waiting> backlog_;  // in order of arrival
  std::size_t waiting_ = 0;       // records in the backlog not folded yet
  HashKey backlog_key_;
  // Per slot of a waiting record's hash (2^18 of them), how many wait: a name whose slot counts
  // none has no record waiting, so that its records may be folded at once; one whose slot counts
  // several very likely has several.
  std::vector<std::uint16_t> pending_;

  // What the folding thread last published, and its own view of it.
  std::shared_ptr<const Snapshot> last_ = std::make_shared<const Snapshot>();
  // Shared with snapshot(): read and replaced only with std::atomic_load and std::atomic_store.
  std::shared_ptr<const Snapshot> published_ = last_;
  std::atomic<std::uint64_t> generation_{0};
  std::chrono::steady_clock::time_point generation_time_;
};

}  // namespace zelnor::exporter
