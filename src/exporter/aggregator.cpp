#include "exporter/aggregator.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace zelnor::exporter {
namespace {

int index(Kind kind) {
  return static_cast<int>(kind);
}

// The key of a series: its kind, family name and labels.
std::string seriesKey(Kind kind, const Family& family) {
  std::string key(1, static_cast<char>('0' + index(kind)));
  key += family.name;
  for (const auto& [name, value] : family.labels) {
    key.push_back('\0');
    key += name;
    key.push_back('\0');
    key += value;
  }
  return key;
}

// Adds to a count that stops at its largest value instead of wrapping around to a small one.
std::uint64_t saturatingAdd(std::uint64_t count, std::uint64_t more) {
  constexpr std::uint64_t kMost = std::numeric_limits<std::uint64_t>::max();
  return count > kMost - more ? kMost : count + more;
}

}  // namespace

Aggregator::Aggregator(std::vector<double> bounds, GaugeMode mode, std::size_t max_series)
    : bounds_(std::move(bounds)),
      mode_(mode),
      max_series_(max_series),
      classified_limit_(std::max<std::size_t>(4096, 2 * max_series)) {
  std::sort(bounds_.begin(), bounds_.end());
  bounds_.erase(std::unique(bounds_.begin(), bounds_.end()), bounds_.end());
  if (bounds_.empty() || bounds_.back() != std::numeric_limits<double>::infinity()) {
    bounds_.push_back(std::numeric_limits<double>::infinity());
  }
  pass_start_ = std::chrono::steady_clock::now();
}

Aggregator::Classified& Aggregator::classify(Kind kind, std::string_view recorded) {
  NameTable<Classified>& table = classified_[index(kind)];
  if (Classified* known = table.find(recorded)) {
    return *known;
  }
  if (table.size() >= classified_limit_) {
    table.clear();  // what names became is found again from the names and the series
  }
  Classified& classified = table.insert(recorded);
  Family family;
  Reason reason = Reason::kCount;
  if (!isValidUtf8(recorded)) {
    classified.reason = Reason::kUndecodableName;
  } else if (!familyOf(kind, recorded, family, reason)) {
    classified.reason = reason;
  } else if (mode_ == GaugeMode::kAll && kind == Kind::kGauge &&
             std::any_of(family.labels.begin(), family.labels.end(),
                         [](const auto& label) { return label.first == "pid"; })) {
    classified.reason = Reason::kReservedLabel;  // the exporter's own label in this mode
  } else {
    auto known = series_by_key_.find(seriesKey(kind, family));
    if (known != series_by_key_.end()) {
      classified.series = known->second;
    } else {
      classified.family = std::move(family);
    }
  }
  return classified;
}

std::int32_t Aggregator::seriesOf(Kind kind, Classified& classified, Reason& reason) {
  if (classified.series >= 0) {
    return classified.series;
  }
  if (classified.reason != Reason::kCount) {
    reason = classified.reason;
    return -1;
  }
  if (classified.refused != Reason::kCount) {
    // Refused for good; but a family of its name made since, of another kind, is the reason now.
    auto owner = family_kinds_.find(classified.family.name);
    reason = owner != family_kinds_.end() && owner->second != kind ? Reason::kTypeConflict
                                                                   : classified.refused;
    return -1;
  }
  const std::int32_t series = admit(kind, classified.family, reason);
  if (series >= 0) {
    classified.series = series;
    classified.family = Family();
  } else {
    classified.refused = reason;
  }
  return series;
}

// A new series of `family`: its family must not clash with another, and the limit must allow it.
std::int32_t Aggregator::admit(Kind kind, const Family& family, Reason& reason) {
  const std::string key = seriesKey(kind, family);
  if (auto known = series_by_key_.find(key); known != series_by_key_.end()) {
    return known->second;  // admitted under another recorded name of the same series
  }
  auto owner = family_kinds_.find(family.name);
  if (owner != family_kinds_.end() && owner->second != kind) {
    reason = Reason::kTypeConflict;
    return -1;
  }
  const std::vector<std::string> occupied = occupiedNames(kind, family.name);
  if (owner == family_kinds_.end()) {
    for (const std::string& name : occupied) {
      if (occupied_.count(name) != 0) {
        reason = Reason::kNameClash;  // another family came first
        return -1;
      }
    }
  }
  if (series_.size() >= max_series_) {
    reason = Reason::kTooManySeries;
    return -1;
  }
  if (owner == family_kinds_.end()) {
    family_kinds_.emplace(family.name, kind);
    occupied_.insert(occupied.begin(), occupied.end());
  }
  const auto series = static_cast<std::int32_t>(series_.size());
  series_.push_back(SeriesInfo{kind, family.name, family.labels});
  values_.emplace_back();
  if (kind == Kind::kHistogram) {
    values_.back().buckets.assign(bounds_.size(), 0);
  }
  is_dirty_.push_back(false);
  series_by_key_.emplace(key, series);
  markDirty(series);
  return series;
}

void Aggregator::markDirty(std::int32_t series) {
  if (!is_dirty_[static_cast<std::size_t>(series)]) {
    is_dirty_[static_cast<std::size_t>(series)] = true;
    dirty_.push_back(series);
  }
}

void Aggregator::foldCounter(std::string_view name, std::int32_t value, std::uint64_t) {
  ++health_.entries[index(Kind::kCounter)];
  Classified& classified = classify(Kind::kCounter, name);
  if (classified.reason == Reason::kCount && value < 0) {
    reject(Reason::kNegativeCounterIncrement);
    return;
  }
  Reason reason = Reason::kCount;
  const std::int32_t series = seriesOf(Kind::kCounter, classified, reason);
  if (series < 0) {
    reject(reason);
    return;
  }
  values_[static_cast<std::size_t>(series)].total += static_cast<std::uint64_t>(value);
  markDirty(series);
}

void Aggregator::foldHistogram(std::string_view name, double value, std::uint64_t) {
  ++health_.entries[index(Kind::kHistogram)];
  Classified& classified = classify(Kind::kHistogram, name);
  if (classified.reason == Reason::kCount && std::isnan(value)) {
    reject(Reason::kNanObservation);
    return;
  }
  Reason reason = Reason::kCount;
  const std::int32_t series = seriesOf(Kind::kHistogram, classified, reason);
  if (series < 0) {
    reject(reason);
    return;
  }
  SeriesValue& histogram = values_[static_cast<std::size_t>(series)];
  // The first bound at or above the value, as bisect_left finds it.
  const auto bucket = std::lower_bound(bounds_.begin(), bounds_.end(), value) - bounds_.begin();
  ++histogram.buckets[static_cast<std::size_t>(bucket)];
  histogram.sum += value;
  ++histogram.total;
  markDirty(series);
}

void Aggregator::foldGauge(std::string_view name, double value, std::uint64_t producer,
                           std::uint32_t pid) {
  noteProducer(producer, pid);
  foldGaugeValue(name, value, producer);
}

void Aggregator::foldGaugeValue(std::string_view name, double value, std::uint64_t producer) {
  ++health_.entries[index(Kind::kGauge)];
  Reason reason = Reason::kCount;
  const std::int32_t series = seriesOf(Kind::kGauge, classify(Kind::kGauge, name), reason);
  if (series < 0) {
    reject(reason);
    return;
  }
  SeriesValue& gauge = values_[static_cast<std::size_t>(series)];
  if (mode_ == GaugeMode::kLast) {
    gauge.sum = value;
  } else {
    auto found = std::find_if(gauge.producers.begin(), gauge.producers.end(),
                              [&](const ProducerValue& held) { return held.producer == producer; });
    if (found == gauge.producers.end()) {
      gauge.producers.push_back(ProducerValue{producer, value});
    } else {
      found->value = value;
    }
  }
  markDirty(series);
}

void Aggregator::noteProducer(std::uint64_t producer, std::uint32_t pid) {
  if (producers_.count(producer) != 0) {
    return;
  }
  // Its pid, unless another live producer (of another pid namespace) has that one already.
  const std::string pid_text = std::to_string(pid);
  std::string label = pid_text;
  for (unsigned suffix = 1;; ++suffix) {
    const bool taken = std::any_of(producers_.begin(), producers_.end(),
                                   [&](const auto& held) { return held.second == label; });
    if (!taken) {
      break;
    }
    label = pid_text + "." + std::to_string(suffix);
  }
  producers_.emplace(producer, std::move(label));
  producers_changed_ = true;
}

void Aggregator::endPass(const std::unordered_set<std::uint64_t>& live, double seconds) {
  ++health_.drains;
  health_.drain_seconds += seconds;
  bool ended = false;
  for (auto it = producers_.begin(); it != producers_.end();) {
    if (live.count(it->first) == 0) {
      it = producers_.erase(it);
      ended = true;
      producers_changed_ = true;
    } else {
      ++it;
    }
  }
  if (ended && mode_ != GaugeMode::kLast) {
    for (std::size_t series = 0; series < series_.size(); ++series) {
      std::vector<ProducerValue>& held = values_[series].producers;
      const auto kept = std::remove_if(held.begin(), held.end(), [&](const ProducerValue& value) {
        return producers_.count(value.producer) == 0;
      });
      if (kept != held.end()) {
        held.erase(kept, held.end());
        markDirty(static_cast<std::int32_t>(series));
      }
    }
  }
  publish();
}

void Aggregator::publish() {
  std::lock_guard<std::mutex> guard(mutex_);
  published_.series.insert(published_.series.end(),
                           series_.begin() + static_cast<std::ptrdiff_t>(published_.series.size()),
                           series_.end());
  published_.values.resize(values_.size());
  for (std::int32_t series : dirty_) {
    published_.values[static_cast<std::size_t>(series)] = values_[static_cast<std::size_t>(series)];
    is_dirty_[static_cast<std::size_t>(series)] = false;
  }
  dirty_.clear();
  if (producers_changed_) {
    published_.producer_labels = producers_;
    producers_changed_ = false;
  }
  published_.health = health_;
}

Snapshot Aggregator::snapshot() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return published_;
}

// --- draining ------------------------------------------------------------------------------

void Aggregator::drain(MetricsConsumer& consumer) {
  const auto start = std::chrono::steady_clock::now();
  for (int kind = 0; kind < kKinds; ++kind) {
    health_.queues[kind] = 0;
    health_.fullest[kind] = 0;
  }
  if (!live_.empty()) {
    live_.clear();
  }
  consumer.drainAll(*this);
  endPass(live_, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

void Aggregator::noteQueue(Kind kind, const QueueReport& queue) {
  const int at = index(kind);
  // Each drop is reported once, by whichever exporter saw it first; a count that fell reports
  // nothing. The sum stops at its largest value rather than wrap.
  if (queue.dropped_unreported != 0) {
    health_.dropped[at] = saturatingAdd(health_.dropped[at], queue.dropped_unreported);
  }
  constexpr double kRoom = static_cast<double>(kQueueCapacity - 1);
  health_.fullest[at] = std::max(health_.fullest[at], queue.pending / kRoom);
  if (mode_ != GaugeMode::kLast) {  // only the other modes keep values per producer
    // Noted for a last drain too: what it folds leaves at the end of the pass with its producer,
    // unless another queue of the same process keeps it live.
    noteProducer(queue.producer, queue.pid);
  }
  if (!queue.last) {
    ++health_.queues[at];
    if (mode_ != GaugeMode::kLast) {
      live_.insert(queue.producer);
    }
  }
}

void Aggregator::counters(const Records<CounterEntry>& records, const QueueReport& queue) {
  noteQueue(Kind::kCounter, queue);
  records.forEach([&](const CounterEntry& record) {
    foldCounter(readName(record.name), record.value, queue.producer);
  });
}

void Aggregator::histograms(const Records<HistogramEntry>& records, const QueueReport& queue) {
  noteQueue(Kind::kHistogram, queue);
  records.forEach([&](const HistogramEntry& record) {
    foldHistogram(readName(record.name), record.value, queue.producer);
  });
}

void Aggregator::gauges(const Records<GaugeEntry>& records, const QueueReport& queue) {
  noteQueue(Kind::kGauge, queue);
  records.forEach([&](const GaugeEntry& record) {
    foldGaugeValue(readName(record.name), record.value, queue.producer);
  });
}

}  // namespace zelnor::exporter
