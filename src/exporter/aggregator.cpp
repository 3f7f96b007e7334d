#include "exporter/aggregator.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <utility>

#include "metrics/record_format.h"

namespace zelnor::exporter {
namespace {

int index(Kind kind) {
  return static_cast<int>(kind);
}

// How a declared series' record of a kind travelled.
Lane laneOf(Kind kind) {
  return kind == Kind::kCounter     ? Lane::kInteger
         : kind == Kind::kHistogram ? Lane::kDouble
                                    : Lane::kKeyed;
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

bool sameCounts(const Health& a, const Health& b) {
  return std::equal(std::begin(a.entries), std::end(a.entries), std::begin(b.entries)) &&
         std::equal(std::begin(a.rejected), std::end(a.rejected), std::begin(b.rejected)) &&
         std::equal(std::begin(a.dropped), std::end(a.dropped), std::begin(b.dropped)) &&
         std::equal(std::begin(a.queues), std::end(a.queues), std::begin(b.queues)) &&
         std::equal(std::begin(a.fullest), std::end(a.fullest), std::begin(b.fullest));
}

// The credit of a pass without a budget: more than any number of records could spend.
constexpr std::int64_t kUnlimited = std::numeric_limits<std::int64_t>::max() / 2;

static_assert(Aggregator::kBacklogCapacity < 65536, "a slot counts its waiting records in 16 bits");

}  // namespace

Aggregator::Aggregator(std::vector<double> bounds, GaugeMode mode, std::size_t max_series)
    : bounds_(std::move(bounds)),
      mode_(mode),
      max_series_(max_series),
      generation_limit_(std::max<std::size_t>(2048, max_series)),
      credit_(kUnlimited),
      allowance_(kNewNamesAtOnce),
      backlog_key_(randomHashKey()) {
  std::sort(bounds_.begin(), bounds_.end());
  bounds_.erase(std::unique(bounds_.begin(), bounds_.end()), bounds_.end());
  if (bounds_.empty() || bounds_.back() != std::numeric_limits<double>::infinity()) {
    bounds_.push_back(std::numeric_limits<double>::infinity());
  }
  pass_start_ = std::chrono::steady_clock::now();
  generation_time_ = pass_start_;
}

Aggregator::Classified* Aggregator::known(Kind kind, std::string_view recorded) {
  Names& names = names_[index(kind)];
  if (Classified* found = names.current.find(recorded)) {
    return found;
  }
  if (Classified* earlier = names.previous.find(recorded)) {
    return &remember(kind, recorded, *earlier);  // a copy: remember may let the previous go
  }
  return names.series.find(recorded);
}

Aggregator::Classified& Aggregator::remember(Kind kind, std::string_view recorded,
                                             Classified classified) {
  Names& names = names_[index(kind)];
  if (names.current.size() >= generation_limit_) {
    std::swap(names.current, names.previous);
    forget(names, names.current);  // the oldest generation's slots, under a new key
  }
  Classified& held = names.current.insert(recorded);
  held = std::move(classified);
  return held;
}

void Aggregator::forget(Names& names, NameTable<Classified>& gone) {
  gone.forEach([&](std::string_view recorded, const Classified& classified) {
    // Carried into the newer generation already, or kept before: nothing to keep.
    if (classified.made_series && names.previous.find(recorded) == nullptr &&
        names.series.find(recorded) == nullptr) {
      names.series.insert(recorded) = classified;
    }
  });
  gone.reset();
}

Aggregator::Classified& Aggregator::classify(Kind kind, std::string_view recorded) {
  Classified classified;
  Family family;
  Reason reason = Reason::kCount;
  if (!familyOf(kind, recorded, family, reason)) {
    classified.reason = reason;
  } else if (mode_ == GaugeMode::kAll && kind == Kind::kGauge &&
             std::any_of(family.labels.begin(), family.labels.end(),
                         [](const auto& label) { return label.first == "pid"; })) {
    classified.reason = Reason::kReservedLabel;  // the exporter's own label in this mode
  } else {
    log_.served(kind, recorded, conventionsBroken(kind, family));
    classified.family = std::move(family);  // its series is found or made by the first value
  }
  return remember(kind, recorded, std::move(classified));
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
  const std::size_t series_before = series_.size();
  const std::int32_t series = admit(kind, classified.family, reason);
  if (series >= 0) {
    classified.series = series;
    classified.family = Family();
    classified.made_series = series_.size() != series_before;  // kept when its generation goes
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
  std::vector<std::string> occupied;  // by a new family; an existing one has its names
  if (owner == family_kinds_.end()) {
    occupied = occupiedNames(kind, family.name);
    for (const std::string& name : occupied) {
      if (occupied_.count(name) != 0) {
        reason = Reason::kNameClash;  // another family came first
        return -1;
      }
    }
  }
  if (series_.size() + declared_.seriesCount() >= max_series_) {
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

void Aggregator::foldCounter(std::string_view name, std::int32_t value, std::uint64_t producer) {
  fold(Kind::kCounter, name, value, producer);
}

void Aggregator::foldHistogram(std::string_view name, double value, std::uint64_t producer) {
  fold(Kind::kHistogram, name, value, producer);
}

void Aggregator::foldGauge(std::string_view name, double value, std::uint64_t producer,
                           std::uint32_t pid) {
  noteProducer(producer, pid);
  fold(Kind::kGauge, name, value, producer);
}

void Aggregator::fold(Kind kind, std::string_view name, double value, std::uint64_t producer) {
  ++health_.entries[index(kind)];
  if (!name.empty() && name[0] == records::kMark) {
    foldDeclared(kind, name, value, producer);
    return;
  }
  // A name with records in the backlog is never known (it is classified there, first), so a
  // known name's record folds at once, in order.
  if (Classified* classified = known(kind, name)) {
    apply(kind, name, *classified, value, producer, false);
    return;
  }
  const bool keepable = name.size() <= kNameSize;  // always, for a record's name
  const bool affordable = credit_ >= static_cast<std::int64_t>(kRecordsPerNewName);
  if (affordable && keepable && waiting_ != 0) {
    // Records of this name may wait already: then this one waits behind them. (Looked at only
    // when the name could be classified now: the count is a read from far away in memory.)
    const std::uint64_t hash = waitingHash(kind, name);
    if (pendingCount(hash) != 0) {
      wait(kind, name, value, producer, hash);
      return;
    }
  }
  if (!keepable || affordable) {
    credit_ -= kRecordsPerNewName;
    apply(kind, name, classify(kind, name), value, producer, false);
    return;
  }
  wait(kind, name, value, producer, waitingHash(kind, name));
}

void Aggregator::apply(Kind kind, std::string_view name, Classified& classified, double value,
                       std::uint64_t producer, bool producer_gone) {
  Reason reason = Reason::kCount;
  if (classified.reason == Reason::kCount) {
    if (kind == Kind::kCounter && value < 0) {
      reject(kind, name, Reason::kNegativeCounterIncrement);
      return;
    }
    if (kind == Kind::kHistogram && std::isnan(value)) {
      reject(kind, name, Reason::kNanObservation);
      return;
    }
  }
  const std::int32_t series = seriesOf(kind, classified, reason);
  if (series < 0) {
    reject(kind, name, reason);
    return;
  }
  SeriesValue& held = values_[static_cast<std::size_t>(series)];
  if (kind == Kind::kCounter) {
    held.total += static_cast<std::uint64_t>(value);  // an int32, not negative
  } else if (kind == Kind::kHistogram) {
    // The first bound at or above the value, as bisect_left finds it.
    const auto bucket = std::lower_bound(bounds_.begin(), bounds_.end(), value) - bounds_.begin();
    ++held.buckets[static_cast<std::size_t>(bucket)];
    held.sum += value;
    ++held.total;
  } else if (mode_ == GaugeMode::kLast) {
    held.sum = value;
  } else if (!producer_gone) {
    auto found = std::find_if(held.producers.begin(), held.producers.end(),
                              [&](const ProducerValue& kept) { return kept.producer == producer; });
    if (found == held.producers.end()) {
      held.producers.push_back(ProducerValue{producer, value});
    } else {
      found->value = value;
    }
  }
  markDirty(series);
}

// --- the backlog of records whose names wait ---------------------------------------------

std::uint64_t Aggregator::waitingHash(Kind kind, std::string_view name) const noexcept {
  return hashName(name, backlog_key_) +
         static_cast<std::uint64_t>(index(kind)) * 0x9E3779B97F4A7C15ULL;
}

void Aggregator::wait(Kind kind, std::string_view name, double value, std::uint64_t producer,
                      std::uint64_t hash) {
  if (backlog_.size() >= kBacklogCapacity) {
    if (waiting_ < backlog_.size()) {
      dropFolded();
    }
    if (backlog_.size() >= kBacklogCapacity) {
      reject(kind, name, Reason::kTooManyNewNames);  // counted; its name is kept only by the log
      return;
    }
  }
  if (pending_.empty()) {
    pending_.assign(std::size_t{1} << 18, 0);
  }
  Waiting& waiting = backlog_.emplace_back();
  waiting.hash = hash;
  waiting.producer = producer;
  waiting.value = value;
  waiting.kind = kind;
  waiting.folded = false;
  waiting.gone = false;
  waiting.size = static_cast<std::uint8_t>(name.size());
  std::memcpy(waiting.name, name.data(), name.size());
  ++pendingCount(hash);
  ++waiting_;
}

// Folds what waits in the backlog as far as the pass's credit goes, each name's records in
// order. Names with several records waiting are classified first (a start-up's, or a producer's
// that began during a flood), then the others, oldest first (a flood's names come once each). A
// name is classified at its first record waiting; its later ones are then known and fold where
// they are, so that no record waiting has a name that is known.
void Aggregator::foldWaiting() {
  std::vector<std::uint64_t> classified_here;  // a bit per slot of those names' hashes
  const auto bit = [](std::uint64_t hash) { return (hash >> 20) & 0xFFFF; };
  const auto classifiedHere = [&](std::uint64_t hash) {
    return !classified_here.empty() && (classified_here[bit(hash) / 64] >> (bit(hash) % 64) & 1);
  };
  const auto foldOne = [&](Waiting& waiting, Classified& classified) {
    --pendingCount(waiting.hash);
    --waiting_;
    waiting.folded = true;
    apply(waiting.kind, waiting.recorded(), classified, waiting.value, waiting.producer,
          waiting.gone);
  };
  const auto afford = [&] { return credit_ >= static_cast<std::int64_t>(kRecordsPerNewName); };
  for (int round = 0; round < 2 && waiting_ != 0 && afford(); ++round) {
    for (Waiting& waiting : backlog_) {
      if (waiting.folded) {
        continue;
      }
      if (classifiedHere(waiting.hash)) {
        if (Classified* classified = known(waiting.kind, waiting.recorded())) {
          foldOne(waiting, *classified);
          continue;
        }
      }
      if (!afford()) {
        if (classified_here.empty()) {
          break;  // nothing further can fold
        }
        continue;
      }
      if (round == 0 && pendingCount(waiting.hash) < 2) {
        continue;  // alone, as far as the count tells: later
      }
      credit_ -= kRecordsPerNewName;
      Classified& classified = classify(waiting.kind, waiting.recorded());
      if (classified_here.empty()) {
        classified_here.assign(1024, 0);
      }
      classified_here[bit(waiting.hash) / 64] |= std::uint64_t{1} << (bit(waiting.hash) % 64);
      foldOne(waiting, classified);
    }
  }
  // Folded records leave once they are a quarter of the backlog, so that each is moved a few
  // times at most.
  if (waiting_ == 0 || backlog_.size() - waiting_ > backlog_.size() / 4) {
    dropFolded();
  }
}

void Aggregator::dropFolded() {
  backlog_.erase(std::remove_if(backlog_.begin(), backlog_.end(),
                                [](const Waiting& waiting) { return waiting.folded; }),
                 backlog_.end());
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

void Aggregator::beginPass(std::size_t new_names) {
  constexpr std::uint64_t kMostNames = kUnlimited / kRecordsPerNewName;
  credit_ = static_cast<std::int64_t>(std::min<std::uint64_t>(new_names, kMostNames) *
                                      kRecordsPerNewName);
  metered_ = false;
}

void Aggregator::endPass(const std::unordered_set<std::uint64_t>& live, double seconds) {
  foldWaiting();
  declared_.passEnded();
  if (metered_) {
    // What the records earned is spent first; the rest came from the allowance.
    const std::int64_t spent = allowed_ + earned_ - credit_;
    allowance_ -= static_cast<double>(std::max<std::int64_t>(0, spent - earned_)) /
                  static_cast<double>(kRecordsPerNewName);
    metered_ = false;
  }
  credit_ = kUnlimited;
  ++health_.drains;
  health_.drain_seconds += seconds;
  bool ended = false;
  for (auto it = producers_.begin(); it != producers_.end();) {
    if (live.count(it->first) == 0) {
      identities_.erase(it->first);
      it = producers_.erase(it);
      ended = true;
      producers_changed_ = true;
    } else {
      ++it;
    }
  }
  if (ended && mode_ != GaugeMode::kLast) {
    // A value still waiting would have left with its producer had it been folded: it will.
    for (Waiting& waiting : backlog_) {
      if (waiting.kind == Kind::kGauge && !waiting.folded &&
          producers_.count(waiting.producer) == 0) {
        waiting.gone = true;
      }
    }
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
  const auto now = std::chrono::steady_clock::now();
  const Snapshot& last = *last_;
  const bool declared_changed = declared_.takeChanged();
  const bool changed = !dirty_.empty() || last.series != series_.size() || producers_changed_ ||
                       declared_changed || !sameCounts(last.health, health_);
  auto next = std::make_shared<Snapshot>(last);  // shares every chunk, until replaced below
  if (declared_changed) {
    // Built here, on the folding thread, and only when something declared changed: of the series
    // that did not, the samples are shared with the snapshot before.
    auto declared = std::make_shared<std::vector<DeclaredSnapshot>>();
    for (DeclaredFamilySamples& family : declared_.samples()) {
      if (!family.series.empty()) {
        declared->push_back(DeclaredSnapshot{family.family->type, family.family->name,
                                             family.family->documentation, family.family->unit,
                                             std::move(family.series)});
      }
    }
    next->declared = std::move(declared);
    next->declared_series = declared_.seriesCount();
  }
  if (last.series != series_.size()) {
    next->info = series_.chunks();
    next->order = orderWith(last.order, last.series);
    next->series = series_.size();  // new series are dirty: their values follow
  }
  publishValues(*next);
  if (producers_changed_) {
    next->producer_labels =
        std::make_shared<const std::unordered_map<std::uint64_t, std::string>>(producers_);
    auto live = std::make_shared<std::vector<LiveProducer>>();
    for (const auto& [producer, label] : producers_) {
      if (const auto found = identities_.find(producer); found != identities_.end()) {
        live->push_back(found->second);
        live->back().label = label;
      }
    }
    next->live_producers = std::move(live);
    producers_changed_ = false;
  }
  next->health = health_;
  last_ = std::move(next);
  // Pairs with the atomic_load in snapshot(): the snapshot is complete before anyone sees it.
  std::atomic_store(&published_, last_);
  // The count of passes and their time change at every pass; alone, they make a new generation
  // at most once a second, so that an idle exporter's scrapes can share one rendering.
  if (changed || now - generation_time_ >= std::chrono::seconds(1)) {
    generation_time_ = now;
    // release: pairs with the acquire load in generation(); what it stands for is published.
    generation_.fetch_add(1, std::memory_order_release);
  }
}

// Copies the values of every chunk that holds a dirty series; the others stay shared.
void Aggregator::publishValues(Snapshot& next) {
  next.values.resize((values_.size() + kSeriesChunk - 1) / kSeriesChunk);
  std::vector<std::size_t> chunks;
  for (std::int32_t series : dirty_) {
    chunks.push_back(static_cast<std::size_t>(series) / kSeriesChunk);
    is_dirty_[static_cast<std::size_t>(series)] = false;
  }
  dirty_.clear();
  std::sort(chunks.begin(), chunks.end());
  chunks.erase(std::unique(chunks.begin(), chunks.end()), chunks.end());
  for (std::size_t chunk : chunks) {
    const auto begin = values_.begin() + static_cast<std::ptrdiff_t>(chunk * kSeriesChunk);
    const auto end = values_.begin() + static_cast<std::ptrdiff_t>(
                                           std::min(values_.size(), (chunk + 1) * kSeriesChunk));
    next.values[chunk] = std::make_shared<const std::vector<SeriesValue>>(begin, end);
  }
}

// The exposition's order of every series: the order before, with the series from `known` on
// merged into it.
std::shared_ptr<const std::vector<std::int32_t>> Aggregator::orderWith(
    const std::shared_ptr<const std::vector<std::int32_t>>& before, std::size_t known) const {
  const auto rank = [](Kind kind) {  // the kinds' names in alphabetical order
    return kind == Kind::kCounter ? 0 : kind == Kind::kGauge ? 1 : 2;
  };
  const auto earlier = [&](std::int32_t a, std::int32_t b) {
    const SeriesInfo& left = series_[static_cast<std::size_t>(a)];
    const SeriesInfo& right = series_[static_cast<std::size_t>(b)];
    if (left.kind != right.kind) {
      return rank(left.kind) < rank(right.kind);
    }
    if (const int by_name = left.name.compare(right.name); by_name != 0) {
      return by_name < 0;
    }
    return left.labels < right.labels;
  };
  std::vector<std::int32_t> added(series_.size() - known);
  std::iota(added.begin(), added.end(), static_cast<std::int32_t>(known));
  std::sort(added.begin(), added.end(), earlier);
  auto order = std::make_shared<std::vector<std::int32_t>>();
  order->reserve(series_.size());
  if (!before) {
    *order = std::move(added);
    return order;
  }
  // Each new series placed by a binary search: a pass that adds a few series to a million
  // compares a few dozen names for each, and copies the rest of the order as it is.
  auto from = before->begin();
  for (const std::int32_t series : added) {
    const auto at = std::upper_bound(from, before->end(), series, earlier);
    order->insert(order->end(), from, at);
    order->push_back(series);
    from = at;
  }
  order->insert(order->end(), from, before->end());
  return order;
}

// --- the series table ----------------------------------------------------------------------

void SeriesTable::push_back(SeriesInfo info) {
  last_.push_back(std::move(info));
  if (last_.size() == kSeriesChunk) {
    full_.push_back(std::make_shared<const std::vector<SeriesInfo>>(std::move(last_)));
    last_.clear();
  }
}

Chunks<SeriesInfo> SeriesTable::chunks() const {
  Chunks<SeriesInfo> chunks = full_;
  if (!last_.empty()) {
    chunks.push_back(std::make_shared<const std::vector<SeriesInfo>>(last_));
  }
  return chunks;
}

std::vector<LiveProducer> Aggregator::liveProducers() const {
  const auto live = snapshot()->live_producers;
  return live ? *live : std::vector<LiveProducer>{};
}

// --- draining ------------------------------------------------------------------------------

void Aggregator::drain(MetricsConsumer& consumer) {
  const auto start = std::chrono::steady_clock::now();
  declaration_reads_.clear();
  // The allowance refills with the time since the last pass began (none before the first).
  if (health_.drains != 0) {
    allowance_ =
        std::min(static_cast<double>(kNewNamesAtOnce),
                 allowance_ + static_cast<double>(kNewNamesPerSecond) *
                                  std::chrono::duration<double>(start - pass_start_).count());
  }
  pass_start_ = start;
  beginPass(static_cast<std::size_t>(std::min(allowance_, static_cast<double>(kNewNamesPerPass))));
  metered_ = true;
  allowed_ = credit_;
  earned_ = 0;
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

void Aggregator::noteQueue(Kind kind, const QueueReport& queue, std::size_t records) {
  const int at = index(kind);
  if (metered_) {
    credit_ += static_cast<std::int64_t>(records);
    earned_ += static_cast<std::int64_t>(records);
  }
  // Each drop is reported once, by whichever exporter saw it first; a count that fell reports
  // nothing. The sum stops at its largest value rather than wrap.
  if (queue.dropped_unreported != 0) {
    health_.dropped[at] = saturatingAdd(health_.dropped[at], queue.dropped_unreported);
  }
  constexpr double kRoom = static_cast<double>(kQueueCapacity - 1);
  health_.fullest[at] = std::max(health_.fullest[at], queue.pending / kRoom);
  // Noted for a last drain too: what it folds leaves at the end of the pass with its producer,
  // unless another queue of the same process keeps it live. Every mode knows its producers, for
  // their process metrics; only kLast keeps no values per producer.
  noteProducer(queue.producer, queue.pid);
  if (queue.producer != 0 && identities_.count(queue.producer) == 0) {
    identities_.emplace(
        queue.producer,
        LiveProducer{{}, {queue.pid, queue.start_ticks, queue.pid_namespace}, queue.uid});
  }
  if (!queue.last) {
    ++health_.queues[at];
    live_.insert(queue.producer);
  }
}

void Aggregator::counters(const Records<CounterEntry>& records, const QueueReport& queue) {
  noteQueue(Kind::kCounter, queue, records.size());
  handing_ = true;
  records.forEach([&](const CounterEntry& record) {
    fold(Kind::kCounter, readName(record.name), record.value, queue.producer);
  });
  handing_ = false;
}

void Aggregator::histograms(const Records<HistogramEntry>& records, const QueueReport& queue) {
  noteQueue(Kind::kHistogram, queue, records.size());
  handing_ = true;
  records.forEach([&](const HistogramEntry& record) {
    fold(Kind::kHistogram, readName(record.name), record.value, queue.producer);
  });
  handing_ = false;
}

void Aggregator::gauges(const Records<GaugeEntry>& records, const QueueReport& queue) {
  noteQueue(Kind::kGauge, queue, records.size());
  handing_ = true;
  records.forEach([&](const GaugeEntry& record) {
    fold(Kind::kGauge, readName(record.name), record.value, queue.producer);
  });
  handing_ = false;
}

// --- declared families -------------------------------------------------------------------------

void Aggregator::declarations(const ProcessFileName& name, uid_t owner, std::string_view bytes) {
  declare(name.producerKey(), ProducerOrigin{name.pid, name.start_ticks, owner}, bytes);
}

void Aggregator::declare(std::uint64_t producer, const ProducerOrigin& origin,
                         std::string_view bytes) {
  declared_.declare(producer, origin, bytes, health_.rejected);
}

void Aggregator::restore(std::uint64_t producer, const std::vector<StateEntry>& entries) {
  declared_.restore(producer, entries);
}

void Aggregator::processEnded(std::uint64_t producer) {
  declared_.producerEnded(producer);
}

void Aggregator::foldDeclared(Kind kind, std::string_view name, double value,
                              std::uint64_t producer) {
  Reason reason = Reason::kCount;
  if (unplaced_.empty() && declared_.fold(laneOf(kind), name, value, producer, reason)) {
    return;
  }
  // Declared since the file was last read: set aside until the consumer has read more of it, a
  // few times per producer and pass at most.
  if (handing_ &&
      (!unplaced_.empty() || (reason == Reason::kUndeclaredSeries &&
                              declaration_reads_[producer] < kDeclarationReadsPerPass))) {
    Unplaced& record = unplaced_.emplace_back();
    record.kind = kind;
    record.value = value;
    record.size = static_cast<std::uint8_t>(std::min(name.size(), kNameSize));
    std::copy_n(name.data(), record.size, record.name);
    return;
  }
  rejectDeclared(kind, name, reason);
}

bool Aggregator::wantsDeclarations(const QueueReport& /*queue*/) {
  return !unplaced_.empty();
}

void Aggregator::declarationsRead(const QueueReport& queue, bool found_more) {
  const int reads = ++declaration_reads_[queue.producer];
  const bool more = found_more && reads < kDeclarationReadsPerPass;
  // While the file has more, a record still unplaced waits for the next read, and so does every
  // record after it; once it has no more, what does not fold is refused.
  std::vector<Unplaced> waiting;
  for (const Unplaced& record : unplaced_) {
    Reason reason = Reason::kCount;
    if (waiting.empty() && declared_.fold(laneOf(record.kind), record.recorded(), record.value,
                                          queue.producer, reason)) {
      continue;
    }
    if (more && (!waiting.empty() || reason == Reason::kUndeclaredSeries)) {
      waiting.push_back(record);
    } else {
      rejectDeclared(record.kind, record.recorded(), reason);
    }
  }
  unplaced_.swap(waiting);
}

void Aggregator::rejectDeclared(Kind kind, std::string_view name, Reason reason) {
  // A refused family was said once when it was declared; a record that names nothing known is
  // said once per series, not per write (the key after ':' differs at every write).
  ++health_.rejected[static_cast<int>(reason)];
  if (reason == Reason::kUndeclaredSeries) {
    log_.dropped(kind, name.substr(0, name.find(':')), reason);
  }
}

Reason Aggregator::claim(const DeclaredFamily& family) {
  std::vector<std::string> occupied{family.name};
  const auto with = [&](std::initializer_list<const char*> suffixes) {
    for (const char* suffix : suffixes) {
      occupied.push_back(family.name + suffix);
    }
  };
  switch (family.type) {
    case DeclaredType::kCounter:
      with({"_total", "_created"});
      break;
    case DeclaredType::kHistogram:
      with({"_bucket", "_count", "_sum", "_created"});
      break;
    case DeclaredType::kSummary:
      with({"_count", "_sum", "_created"});
      break;
    case DeclaredType::kInfo:
      with({"_info"});
      break;
    case DeclaredType::kGauge:
    case DeclaredType::kStateset:
      break;
  }
  if (isReservedFamily(family.name)) {
    return Reason::kReservedName;
  }
  for (const std::string& name : occupied) {
    if (occupied_.count(name) != 0 || family_kinds_.count(name) != 0) {
      return Reason::kNameClash;
    }
  }
  occupied_.insert(occupied.begin(), occupied.end());
  return Reason::kCount;
}

void Aggregator::refused(const DeclaredFamily& family, Reason reason) {
  // The log speaks of the lane the family's records come in.
  const Kind kind =
      family.type == DeclaredType::kCounter ? Kind::kCounter
      : family.type == DeclaredType::kHistogram || family.type == DeclaredType::kSummary
          ? Kind::kHistogram
          : Kind::kGauge;
  log_.dropped(kind, family.name, reason);
}

bool Aggregator::seriesRoom() {
  return series_.size() + declared_.seriesCount() < max_series_;
}

}  // namespace zelnor::exporter
