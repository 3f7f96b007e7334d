#include "exporter/declared.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "exporter/declaration_parser.h"
#include "metrics/process_file.h"
#include "metrics/record_format.h"

namespace zelnor::exporter {
namespace {

// The process file's first line, without its newline.
constexpr std::string_view kHeader = kProcessFileHeader.substr(0, kProcessFileHeader.size() - 1);
// Gauge values of ended processes kept per series in the "all" mode, the oldest let go first.
constexpr std::size_t kMaxRetiredPerSeries = 1024;

// What a removal's record carries as its value: the last id its process had given out when it
// removed (ids above it were declared after the removal). Anything else is taken as 0.
std::uint64_t watermarkOf(double value) {
  return value >= 0 && value < 9e15 ? static_cast<std::uint64_t>(value) : 0;
}

std::int64_t refusal(Reason reason) {
  return -1 - static_cast<std::int64_t>(reason);
}

Reason refusedBy(std::int64_t entry) {
  return static_cast<Reason>(-1 - entry);
}

// The latest key a keyed write may carry: real time now and the margin, as the producers' keys
// are real time (or a process's count of writes, far below it).
std::uint64_t latestKey() {
  const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  return static_cast<std::uint64_t>(now.count()) + DeclaredFamilies::kKeyMargin;
}

// A keyed write past latestKey() would hold its series at its value for good.
bool keyAhead(std::uint64_t key, Reason& reason) {
  if (key <= latestKey()) {
    return false;
  }
  reason = Reason::kKeyAhead;
  return true;
}

// The family, then each value after its length: no two families and lists of values make one
// key, whatever bytes the values hold.
std::string seriesKey(std::uint32_t family, const std::vector<std::string>& values) {
  std::string key = std::to_string(family);
  for (const std::string& value : values) {
    key.push_back(':');
    key += std::to_string(value.size());
    key.push_back(':');
    key += value;
  }
  return key;
}

Labels labelsOf(const DeclaredFamily& family, const DeclaredSeries& series) {
  Labels labels;
  labels.reserve(family.label_names.size() + 1);
  for (std::size_t i = 0; i < family.label_names.size(); ++i) {
    labels.emplace_back(family.label_names[i], series.label_values[i]);
  }
  return labels;
}

// `labels` with `name` set to `value` (replacing one of that name), sorted by name.
Labels withLabel(Labels labels, const std::string& name, std::string value) {
  auto found = std::find_if(labels.begin(), labels.end(),
                            [&](const auto& label) { return label.first == name; });
  if (found != labels.end()) {
    found->second = std::move(value);
  } else {
    labels.emplace_back(name, std::move(value));
  }
  std::sort(labels.begin(), labels.end());
  return labels;
}

// The modes that make one value of all processes keep the ended ones as one value too: the
// holding of producer 0, which combines them as the mode combines live ones.
void retire(GaugeMode mode, std::vector<GaugeHolding>& holdings, std::uint64_t producer) {
  const auto ended = std::find_if(holdings.begin(), holdings.end(), [&](const GaugeHolding& held) {
    return held.producer == producer;
  });
  if (ended == holdings.end()) {
    return;
  }
  const GaugeHolding value = *ended;
  holdings.erase(ended);
  const auto pool = std::find_if(holdings.begin(), holdings.end(),
                                 [](const GaugeHolding& held) { return held.producer == 0; });
  if (pool == holdings.end()) {
    holdings.push_back(GaugeHolding{0, 0, value.value, value.key, false});
    return;
  }
  switch (mode) {
    case GaugeMode::kSum:
      pool->value += value.value;
      break;
    case GaugeMode::kMin:
      pool->value = std::min(pool->value, value.value);
      break;
    case GaugeMode::kMax:
      pool->value = std::max(pool->value, value.value);
      break;
    case GaugeMode::kLast:
    case GaugeMode::kAll:
      if (value.key > pool->key) {
        pool->value = value.value;
      }
      break;
  }
  pool->key = std::max(pool->key, value.key);
}

// What is kept of the values an ended process held, by the family's mode.
void letGo(const DeclaredFamily& family, std::vector<GaugeHolding>& holdings,
           std::uint64_t producer) {
  if (family.live) {
    holdings.erase(
        std::remove_if(holdings.begin(), holdings.end(),
                       [&](const GaugeHolding& held) { return held.producer == producer; }),
        holdings.end());
    return;
  }
  if (family.mode != GaugeMode::kAll) {
    retire(family.mode, holdings, producer);
    return;
  }
  for (GaugeHolding& held : holdings) {
    if (held.producer == producer) {
      held.live = false;
    }
  }
  const auto retired = static_cast<std::size_t>(std::count_if(
      holdings.begin(), holdings.end(), [](const GaugeHolding& held) { return !held.live; }));
  if (retired > kMaxRetiredPerSeries) {
    holdings.erase(std::find_if(holdings.begin(), holdings.end(),
                                [](const GaugeHolding& held) { return !held.live; }));
  }
}

}  // namespace

// --- declarations ------------------------------------------------------------------------------

void DeclaredFamilies::declare(std::uint64_t key, const ProducerOrigin& origin,
                               std::string_view bytes, std::uint64_t rejected[]) {
  const auto [entry, added] = producers_.try_emplace(key);
  Producer& producer = entry->second;
  if (added) {
    producer.origin = origin;
    by_process_.emplace(std::make_pair(origin.pid, origin.start_ticks), key);
  }
  producer.bytes += bytes.size();
  for (std::size_t end = bytes.find('\n'); end != std::string_view::npos; end = bytes.find('\n')) {
    std::string_view line = bytes.substr(0, end);
    bytes.remove_prefix(end + 1);
    if (producer.skipping) {
      producer.skipping = false;
    } else if (!producer.partial.empty()) {
      const std::size_t held = producer.partial.size();
      producer.partial.append(line);
      declareLine(producer, key, producer.partial, rejected);
      std::string().swap(producer.partial);  // its buffer too
      release(producer, held);
    } else {
      declareLine(producer, key, line, rejected);
    }
  }
  if (!bytes.empty()) {
    keepPartial(producer, bytes, rejected);
  }
}

void DeclaredFamilies::keepPartial(Producer& producer, std::string_view bytes,
                                   std::uint64_t rejected[]) {
  if (producer.skipping) {
    return;
  }
  const bool fits = producer.partial.size() + bytes.size() <= kMaxLineBytes;
  if (fits && charge(producer, bytes.size(), false)) {
    producer.partial.append(bytes);
    return;
  }
  ++rejected[static_cast<int>(fits ? Reason::kUserBudget : Reason::kInvalidDeclaration)];
  release(producer, producer.partial.size());
  std::string().swap(producer.partial);
  producer.skipping = true;  // the rest of this line is refused with it
}

bool DeclaredFamilies::declareLine(Producer& producer, std::uint64_t key, std::string_view line,
                                   std::uint64_t rejected[]) {
  if (!producer.header_seen) {
    producer.header_seen = line == kHeader;
    if (!producer.header_seen) {
      ++rejected[static_cast<int>(Reason::kInvalidDeclaration)];
    }
    return producer.header_seen;
  }
  const Reason reason = declareFields(producer, key, line);
  // A series without room is counted by its records, as a refused family's are.
  if (reason == Reason::kInvalidDeclaration || reason == Reason::kInvalidLabels ||
      reason == Reason::kUserBudget) {
    ++rejected[static_cast<int>(reason)];
  }
  return reason == Reason::kCount;
}

Reason DeclaredFamilies::declareFields(Producer& producer, std::uint64_t key,
                                       std::string_view line) {
  std::vector<std::string> fields;
  if (line.size() > kMaxLineBytes || !isValidUtf8(line) || !splitFields(line, fields) ||
      fields[0].size() != 1) {
    return Reason::kInvalidDeclaration;
  }
  switch (fields[0][0]) {
    case records::kFamilyLine:
      return declareFamily(producer, fields);
    case records::kSeriesLine:
      return declareSeries(producer, key, fields);
    case records::kInfoValueLine:
      return declareInfoValue(producer, fields);
    default:
      return Reason::kInvalidDeclaration;
  }
}

bool DeclaredFamilies::fits(const Producer& producer, std::size_t bytes) const {
  const auto user = kept_by_user_.find(producer.origin.uid);
  const std::size_t kept = user == kept_by_user_.end() ? 0 : user->second;
  const std::size_t in_all = 4 * max_kept_per_user_;
  return bytes <= max_kept_per_user_ - std::min(kept, max_kept_per_user_) &&
         bytes <= in_all - std::min(kept_, in_all);
}

void DeclaredFamilies::account(Producer& producer, std::size_t bytes, bool lasting) {
  kept_by_user_[producer.origin.uid] += bytes;
  kept_ += bytes;
  if (!lasting) {
    producer.kept += bytes;
  }
}

void DeclaredFamilies::release(Producer& producer, std::size_t bytes) {
  bytes = std::min(bytes, producer.kept);
  if (bytes == 0) {
    return;
  }
  producer.kept -= bytes;
  kept_ -= bytes;
  const auto user = kept_by_user_.find(producer.origin.uid);
  user->second -= bytes;
  if (user->second == 0) {
    kept_by_user_.erase(user);
  }
}

bool DeclaredFamilies::charge(Producer& producer, std::size_t bytes, bool lasting) {
  if (!fits(producer, bytes)) {
    producer.out_of_budget = true;
    return false;
  }
  account(producer, bytes, lasting);
  return true;
}

const DeclaredFamilies::Producer* DeclaredFamilies::parentOf(Producer& producer) {
  if (!producer.lineage_read) {
    producer.lineage_read = true;
    // Only the process its file's name says (so of this pid namespace), of the file's user.
    const auto self = processLineage(producer.origin.pid);
    if (self && self->start_ticks == producer.origin.start_ticks &&
        self->uid == producer.origin.uid) {
      const auto parent = processLineage(self->parent);
      if (parent) {
        producer.parent = Parent{self->parent, *parent};
      }
    }
  }
  if (!producer.parent) {
    return nullptr;
  }
  const auto [first, last] = by_process_.equal_range(
      std::make_pair(producer.parent->pid, producer.parent->lineage.start_ticks));
  for (auto candidate = first; candidate != last; ++candidate) {
    const auto found = producers_.find(candidate->second);
    // Its file of the user its process is: not one that another user named after it.
    if (found != producers_.end() && found->second.origin.uid == producer.parent->lineage.uid) {
      return &found->second;
    }
  }
  return nullptr;
}

bool DeclaredFamilies::mayDeclare(Producer& producer, std::uint32_t index) {
  std::vector<std::uint32_t>& owners = families_[index].owners;
  const auto owns = [&](std::uint32_t uid) {
    return uid == 0 || std::find(owners.begin(), owners.end(), uid) != owners.end();
  };
  if (owns(producer.origin.uid)) {
    return true;
  }
  const Producer* parent = parentOf(producer);
  if (parent == nullptr || !owns(parent->origin.uid)) {
    return false;
  }
  if (producer.inherited.count(index) == 0 && producer.inherited_of != parent->families.size()) {
    producer.inherited.clear();
    for (const auto& declared : parent->families) {
      if (declared.second >= 0) {
        producer.inherited.insert(static_cast<std::uint32_t>(declared.second));
      }
    }
    producer.inherited_of = parent->families.size();
  }
  if (producer.inherited.count(index) == 0) {
    return false;
  }
  owners.push_back(producer.origin.uid);
  return true;
}

std::int64_t DeclaredFamilies::seriesEntry(const Producer& producer, std::uint64_t id) {
  if (const auto found = producer.series.find(id); found != producer.series.end()) {
    return found->second;
  }
  const auto after = std::upper_bound(
      producer.refused.begin(), producer.refused.end(), id,
      [](std::uint64_t wanted, const Refused& range) { return wanted < range.first; });
  if (after != producer.refused.begin() && std::prev(after)->last >= id) {
    return refusal(std::prev(after)->reason);
  }
  return kUnknown;
}

Reason DeclaredFamilies::refuseSeries(Producer& producer, std::uint64_t id, Reason reason) {
  std::vector<Refused>& refused = producer.refused;
  if (!refused.empty() && id > refused.back().last) {
    // Ids come in increasing order, so the range goes on to it (over ids of other declarations,
    // which no series record names, and of accepted series, which are looked up first); and
    // when the budget has no room for another range, whatever its reason.
    if (refused.back().reason == reason || !charge(producer, kIdCost, false)) {
      refused.back().last = id;
    } else {
      refused.push_back(Refused{id, id, reason});
    }
    return reason;
  }
  if (!charge(producer, kIdCost, false)) {
    return reason;  // then its records are undeclared_series
  }
  const auto after = std::upper_bound(
      refused.begin(), refused.end(), id,
      [](std::uint64_t wanted, const Refused& range) { return wanted < range.first; });
  refused.insert(after, Refused{id, id, reason});
  return reason;
}

Reason DeclaredFamilies::declareFamily(Producer& producer, const std::vector<std::string>& fields) {
  std::optional<FamilyLine> line = parseFamilyLine(fields);
  if (!line || producer.families.count(line->id) != 0 ||
      producer.families.size() >= kMaxFamiliesPerProcess) {
    return Reason::kInvalidDeclaration;
  }
  if (!charge(producer, kIdCost, false)) {
    return Reason::kUserBudget;  // its series are refused for it too
  }
  const Reason refused = line->refused != Reason::kCount
                             ? line->refused
                             : takeFamily(producer, line->id, line->family);
  if (refused == Reason::kCount) {
    return refused;
  }
  // A family refused: its entries are counted as they come, and it is said once.
  producer.families.emplace(line->id, refusal(refused));
  if (refused == Reason::kInvalidDeclaration) {
    return refused;  // a line that does not hold up: counted as one
  }
  names_.refused(line->family, refused);
  return Reason::kCount;
}

Reason DeclaredFamilies::takeFamily(Producer& producer, std::uint64_t id, DeclaredFamily& family) {
  const auto known = family_by_name_.find(family.name);
  if (known != family_by_name_.end()) {
    if (families_[known->second].definition != family.definition ||
        !mayDeclare(producer, known->second)) {
      return Reason::kDeclarationConflict;
    }
    producer.families.emplace(id, known->second);
    return Reason::kCount;
  }
  if (families_.size() >= kMaxFamilies) {
    return Reason::kTooManySeries;
  }
  if (!charge(producer, kIdCost + 2 * family.definition.size(), true)) {
    return Reason::kUserBudget;
  }
  if (const Reason taken = names_.claim(family); taken != Reason::kCount) {
    return taken;
  }
  family.owners.push_back(producer.origin.uid);
  const auto index = static_cast<std::uint32_t>(families_.size());
  family_by_name_.emplace(family.name, index);
  families_.push_back(std::move(family));
  producer.families.emplace(id, index);
  return Reason::kCount;
}

Reason DeclaredFamilies::declareSeries(Producer& producer, std::uint64_t key,
                                       const std::vector<std::string>& fields) {
  std::optional<SeriesLine> line = parseSeriesLine(fields);
  if (!line || seriesEntry(producer, line->id) != kUnknown) {
    return Reason::kInvalidDeclaration;
  }
  const auto family = producer.families.find(line->family);
  if (family == producer.families.end()) {
    // Its family was not kept, for the budget, or never declared.
    return refuseSeries(producer, line->id,
                        producer.out_of_budget ? Reason::kUserBudget : Reason::kInvalidDeclaration);
  }
  if (family->second < 0) {
    // Its family was refused: the reason is said once, for the family.
    refuseSeries(producer, line->id, refusedBy(family->second));
    return Reason::kCount;
  }
  const auto family_index = static_cast<std::uint32_t>(family->second);
  Reason reason = Reason::kCount;
  const std::optional<std::uint32_t> index =
      seriesFor(producer, family_index, std::move(line->label_values), reason);
  if (!index) {
    return refuseSeries(producer, line->id, reason);
  }
  account(producer, kIdCost, false);
  producer.series.emplace(line->id, *index);
  producer.young.emplace(line->id, pass_);
  with_young_.insert(key);
  if (families_[family_index].type == DeclaredType::kGauge) {
    holdDeclared(series_[*index], key, producer.origin.pid);
  }
  touch(series_[*index]);
  return Reason::kCount;
}

std::optional<std::uint32_t> DeclaredFamilies::seriesFor(Producer& producer, std::uint32_t family,
                                                         std::vector<std::string> values,
                                                         Reason& reason) {
  const std::vector<double>& bounds = families_[family].bounds;
  if (values.size() != families_[family].label_names.size()) {
    reason = Reason::kInvalidDeclaration;
    return std::nullopt;
  }
  if (!fits(producer, kIdCost)) {
    reason = Reason::kUserBudget;
    return std::nullopt;
  }
  std::string key = seriesKey(family, values);
  if (const auto known = series_by_key_.find(key); known != series_by_key_.end()) {
    present(series_[known->second]);
    return known->second;
  }
  if (!names_.seriesRoom()) {
    reason = Reason::kTooManySeries;
    return std::nullopt;
  }
  // The series is kept for good: its key, its values and its buckets.
  if (!charge(producer, kIdCost + 2 * key.size() + 8 * bounds.size(), true)) {
    reason = Reason::kUserBudget;
    return std::nullopt;
  }
  const auto index = static_cast<std::uint32_t>(series_.size());
  series_by_key_.emplace(std::move(key), index);
  DeclaredSeries& series = series_.emplace_back();
  series.family = family;
  series.label_values = std::move(values);
  if (families_[family].type == DeclaredType::kHistogram) {
    series.buckets.assign(bounds.size(), 0.0);
  }
  return index;
}

// Declared, this process's value is 0 until it writes one, as a process's value file starts.
void DeclaredFamilies::holdDeclared(DeclaredSeries& series, std::uint64_t producer,
                                    std::uint32_t pid) {
  auto held =
      std::find_if(series.holdings.begin(), series.holdings.end(),
                   [&](const GaugeHolding& holding) { return holding.producer == producer; });
  if (held == series.holdings.end()) {
    // A value of an ended process with the same pid is that pid's no more.
    series.holdings.erase(std::remove_if(series.holdings.begin(), series.holdings.end(),
                                         [&](const GaugeHolding& holding) {
                                           return !holding.live && holding.pid == pid;
                                         }),
                          series.holdings.end());
    series.holdings.push_back(GaugeHolding{producer, pid, 0.0, 0, true});
  }
}

// A stamp newer than any seen of the series `id` makes the series young again: what it records
// in this drain and the next is kept to fold again after a removal its stamp comes after.
void DeclaredFamilies::revived(Producer& producer, std::uint64_t producer_key, std::uint64_t id,
                               std::uint64_t stamp) {
  std::uint64_t& newest = producer.stamps[id];
  if (stamp > newest) {
    newest = stamp;
    producer.young[id] = pass_;
    with_young_.insert(producer_key);
  }
}

Reason DeclaredFamilies::declareInfoValue(Producer& producer,
                                          const std::vector<std::string>& fields) {
  std::optional<InfoValueLine> line = parseInfoValueLine(fields);
  if (!line || producer.info_values.count(line->id) != 0) {
    return Reason::kInvalidDeclaration;
  }
  const std::int64_t series = seriesEntry(producer, line->series);
  if (series < 0 ||
      families_[series_[static_cast<std::size_t>(series)].family].type != DeclaredType::kInfo) {
    return Reason::kInvalidDeclaration;
  }
  // They go beside the series' own labels: none has a name of those.
  const std::vector<std::string>& names =
      families_[series_[static_cast<std::size_t>(series)].family].label_names;
  std::size_t bytes = 2 * kIdCost;
  for (const auto& label : line->labels) {
    if (std::find(names.begin(), names.end(), label.first) != names.end()) {
      return Reason::kInvalidLabels;
    }
    bytes += label.first.size() + label.second.size();
  }
  if (line->refused != Reason::kCount) {
    return line->refused;
  }
  if (!charge(producer, bytes, false)) {
    return Reason::kUserBudget;
  }
  producer.info_values.emplace(line->id, std::move(line->labels));
  producer.info_series.emplace(line->id, line->series);
  return Reason::kCount;
}

// --- records -----------------------------------------------------------------------------------

// Called before every change of a series' values: its samples are made again at the next
// samples().
void DeclaredFamilies::present(DeclaredSeries& series) {
  series.present = true;
  touch(series);
}

void DeclaredFamilies::removeSeries(DeclaredSeries& series) {
  series.present = false;
  series.sum = 0;
  series.count = 0;
  std::fill(series.buckets.begin(), series.buckets.end(), 0.0);
  series.holdings.clear();
  series.state_key = 0;
  series.state = 0;
  series.info.clear();
  touch(series);
}

// A counter's increment or an observation, into `series`.
bool DeclaredFamilies::add(DeclaredSeries& series, char op, Lane lane, double value,
                           Reason& reason) {
  reason = Reason::kInvalidDeclaration;
  if (op != records::kCounter) {
    return observe(series, lane, value);
  }
  if (families_[series.family].type != DeclaredType::kCounter || lane == Lane::kKeyed) {
    return false;
  }
  if (value < 0) {
    reason = Reason::kNegativeCounterIncrement;
    return false;
  }
  present(series);
  series.sum += value;
  return true;
}

bool DeclaredFamilies::observe(DeclaredSeries& series, Lane lane, double value) {
  const DeclaredFamily& family = families_[series.family];
  if (lane != Lane::kDouble ||
      (family.type != DeclaredType::kHistogram && family.type != DeclaredType::kSummary)) {
    return false;
  }
  // A NaN observation is counted as prometheus_client counts it (in no bucket of a histogram, in
  // a summary's count) but left out of the sum, which it would make NaN for good: OpenMetrics
  // parsers refuse a NaN sum, and with it the whole scrape.
  present(series);
  series.sum += std::isnan(value) ? 0.0 : value;
  if (family.type == DeclaredType::kSummary) {
    series.count += 1;
    return true;
  }
  // The first bound at or above the value; a NaN finds none.
  const auto bucket = std::isnan(value)
                          ? family.bounds.end()
                          : std::lower_bound(family.bounds.begin(), family.bounds.end(), value);
  if (bucket != family.bounds.end()) {
    series.buckets[static_cast<std::size_t>(bucket - family.bounds.begin())] += 1;
  }
  return true;
}

template <typename Removed>
void DeclaredFamilies::refold(std::uint64_t producer, std::uint64_t watermark, Removed&& removed) {
  for (const Recent& recent : recent_) {
    DeclaredSeries& series = series_[recent.series];
    if (recent.producer == producer && recent.stamp > watermark && removed(series)) {
      Reason ignored = Reason::kCount;
      const bool counter = families_[series.family].type == DeclaredType::kCounter;
      add(series, counter ? records::kCounter : records::kObserve,
          counter ? Lane::kInteger : Lane::kDouble, recent.value, ignored);
    }
  }
}

void DeclaredFamilies::passEnded() {
  recent_.clear();
  ++pass_;
  for (auto it = with_young_.begin(); it != with_young_.end();) {
    const auto producer = producers_.find(*it);
    if (producer == producers_.end()) {
      it = with_young_.erase(it);
      continue;
    }
    auto& young = producer->second.young;
    for (auto id = young.begin(); id != young.end();) {
      id = pass_ - id->second > 1 ? young.erase(id) : std::next(id);
    }
    it = young.empty() ? with_young_.erase(it) : std::next(it);
  }
}

bool DeclaredFamilies::fold(Lane lane, std::string_view name, double value,
                            std::uint64_t producer_key, Reason& reason) {
  reason = Reason::kInvalidName;
  const std::optional<RecordName> record = parseRecordName(name);
  return record && foldRecord(lane, *record, value, producer_key, reason);
}

bool DeclaredFamilies::foldRecord(Lane lane, const RecordName& name, double value,
                                  std::uint64_t producer_key, Reason& reason) {
  const auto producer = producers_.find(producer_key);
  if (producer == producers_.end()) {
    reason = Reason::kUndeclaredSeries;
    return false;
  }
  const Record record{producer->second, producer_key, name, lane, value};
  if (name.op == records::kClear) {
    return clearFamily(record, reason);
  }
  const std::int64_t entry = seriesEntry(producer->second, name.id);
  if (entry < 0) {
    reason = entry == kUnknown ? Reason::kUndeclaredSeries : refusedBy(entry);
    return false;
  }
  reason = Reason::kInvalidDeclaration;  // a record that does not fit what its series is
  return foldInto(record, static_cast<std::uint32_t>(entry), reason);
}

bool DeclaredFamilies::foldInto(const Record& record, std::uint32_t index, Reason& reason) {
  DeclaredSeries& series = series_[index];
  switch (record.name.op) {
    case records::kCounter:
    case records::kObserve:
      return foldAdd(record, index, reason);
    case records::kRevive:
      return foldRevive(record, series);
    case records::kGauge:
      return foldGauge(record, series, reason);
    case records::kEnum:
      return foldEnum(record, series, reason);
    case records::kInfo:
      return foldInfo(record, series, reason);
    case records::kRemove:
      return foldRemove(record, series);
    default:
      reason = Reason::kInvalidName;
      return false;
  }
}

bool DeclaredFamilies::clearFamily(const Record& record, Reason& reason) {
  if (record.lane != Lane::kKeyed) {
    reason = Reason::kInvalidDeclaration;
    return false;
  }
  const auto family = record.producer.families.find(record.name.id);
  if (family == record.producer.families.end() || family->second < 0) {
    reason = family == record.producer.families.end() ? Reason::kUndeclaredSeries
                                                      : refusedBy(family->second);
    return false;
  }
  const auto cleared = static_cast<std::uint32_t>(family->second);
  for (DeclaredSeries& series : series_) {
    if (series.family == cleared && series.present) {
      removeSeries(series);
    }
  }
  refold(record.producer_key, watermarkOf(record.value),
         [&](const DeclaredSeries& candidate) { return candidate.family == cleared; });
  return true;
}

bool DeclaredFamilies::foldAdd(const Record& record, std::uint32_t index, Reason& reason) {
  const RecordName& name = record.name;
  if (!add(series_[index], name.op, record.lane, record.value, reason)) {
    return false;
  }
  if (name.stamp != name.id) {
    revived(record.producer, record.producer_key, name.id, name.stamp);
  }
  if (record.producer.young.count(name.id) != 0) {
    recent_.push_back(Recent{record.producer_key, name.stamp, index, record.value});
  }
  return true;
}

bool DeclaredFamilies::foldRevive(const Record& record, DeclaredSeries& series) {
  if (record.lane != Lane::kKeyed) {
    return false;
  }
  present(series);
  if (families_[series.family].type == DeclaredType::kGauge) {
    holdDeclared(series, record.producer_key, record.producer.origin.pid);
  }
  return true;
}

bool DeclaredFamilies::foldGauge(const Record& record, DeclaredSeries& series, Reason& reason) {
  if (keyAhead(record.name.key, reason) || families_[series.family].type != DeclaredType::kGauge ||
      record.lane != Lane::kKeyed) {
    return false;
  }
  present(series);
  auto held = std::find_if(
      series.holdings.begin(), series.holdings.end(),
      [&](const GaugeHolding& holding) { return holding.producer == record.producer_key; });
  if (held == series.holdings.end()) {
    series.holdings.push_back(GaugeHolding{record.producer_key, record.producer.origin.pid,
                                           record.value, record.name.key, true});
  } else if (record.name.key > held->key) {
    held->value = record.value;
    held->key = record.name.key;
  }
  return true;
}

bool DeclaredFamilies::foldEnum(const Record& record, DeclaredSeries& series, Reason& reason) {
  const DeclaredFamily& family = families_[series.family];
  const double value = record.value;
  if (keyAhead(record.name.key, reason) || family.type != DeclaredType::kStateset ||
      record.lane != Lane::kKeyed || !(value >= 0) ||
      value >= static_cast<double>(family.extras.size()) || value != std::floor(value)) {
    return false;
  }
  present(series);
  if (record.name.key > series.state_key) {
    series.state_key = record.name.key;
    series.state = value;
  }
  return true;
}

bool DeclaredFamilies::foldInfo(const Record& record, DeclaredSeries& series, Reason& reason) {
  const double value = record.value;
  if (keyAhead(record.name.key, reason) || families_[series.family].type != DeclaredType::kInfo ||
      record.lane != Lane::kKeyed || !(value >= 0) || value > 9e15) {
    return false;
  }
  Producer& producer = record.producer;
  const auto labels = producer.info_values.find(static_cast<std::uint64_t>(value));
  if (labels == producer.info_values.end() ||
      producer.info_series[labels->first] != record.name.id) {
    reason = Reason::kUndeclaredSeries;
    return false;
  }
  present(series);
  if (record.name.key > series.state_key) {
    series.state_key = record.name.key;
    series.info = labels->second;
  }
  return true;
}

bool DeclaredFamilies::foldRemove(const Record& record, DeclaredSeries& series) {
  if (record.lane != Lane::kKeyed) {
    return false;
  }
  removeSeries(series);
  refold(record.producer_key, watermarkOf(record.value),
         [&](const DeclaredSeries& candidate) { return &candidate == &series; });
  return true;
}

void DeclaredFamilies::restore(std::uint64_t producer_key, const std::vector<StateEntry>& entries) {
  const auto producer = producers_.find(producer_key);
  if (producer == producers_.end()) {
    return;
  }
  std::vector<StateEntry> ordered = entries;
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const StateEntry& a, const StateEntry& b) { return a.key < b.key; });
  for (const StateEntry& entry : ordered) {
    if (entry.op == records::kRemove || entry.op == records::kClear) {
      restoreRemoval(producer->second, producer_key, entry);
    } else if (records::isKeyed(entry.op)) {
      // As its process recorded it; a slot that does not hold up is left out.
      Reason ignored = Reason::kCount;
      foldRecord(Lane::kKeyed, RecordName{entry.op, entry.id, entry.id, entry.key}, entry.value,
                 producer_key, ignored);
    }
  }
}

// A removal made before this exporter learned of its process: what declarations made (a series
// served, a gauge at 0 never written) and what that process wrote before it go; what this
// exporter folded from other processes' rings is of after it, and stays, as does an enum's or
// info's state set later in real time.
void DeclaredFamilies::restoreRemoval(Producer& producer, std::uint64_t producer_key,
                                      const StateEntry& entry) {
  if (entry.op == records::kRemove) {
    const auto found = producer.series.find(entry.id);
    if (found != producer.series.end() && found->second >= 0) {
      unwrite(series_[static_cast<std::size_t>(found->second)], producer_key, entry.key);
    }
    return;
  }
  const auto family = producer.families.find(entry.id);
  if (family != producer.families.end() && family->second >= 0) {
    for (DeclaredSeries& series : series_) {
      if (series.family == static_cast<std::uint32_t>(family->second)) {
        unwrite(series, producer_key, entry.key);
      }
    }
  }
}

void DeclaredFamilies::unwrite(DeclaredSeries& series, std::uint64_t producer_key,
                               std::uint64_t key) {
  auto& holdings = series.holdings;
  holdings.erase(std::remove_if(holdings.begin(), holdings.end(),
                                [&](const GaugeHolding& held) {
                                  return held.producer == producer_key || held.key == 0;
                                }),
                 holdings.end());
  if (series.state_key < key) {
    series.state_key = 0;
    series.state = 0;
    series.info.clear();
  }
  const bool recorded =
      !holdings.empty() || series.state_key != 0 || series.sum != 0 || series.count != 0 ||
      std::any_of(series.buckets.begin(), series.buckets.end(), [](double n) { return n != 0; });
  series.present = series.present && recorded;
  touch(series);
}

void DeclaredFamilies::producerEnded(std::uint64_t key) {
  const auto ended = producers_.find(key);
  if (ended == producers_.end()) {
    return;
  }
  Producer& producer = ended->second;
  release(producer, producer.kept);
  const auto [first, last] =
      by_process_.equal_range(std::make_pair(producer.origin.pid, producer.origin.start_ticks));
  const auto indexed =
      std::find_if(first, last, [&](const auto& entry) { return entry.second == key; });
  if (indexed != last) {
    by_process_.erase(indexed);
  }
  producers_.erase(ended);
  with_young_.erase(key);
  for (DeclaredSeries& series : series_) {
    if (!series.holdings.empty()) {
      letGo(families_[series.family], series.holdings, key);
      touch(series);
    }
  }
}

std::uint64_t DeclaredFamilies::bytesRead(std::uint64_t producer) const {
  const auto found = producers_.find(producer);
  return found == producers_.end() ? 0 : found->second.bytes;
}

// --- the exposition ----------------------------------------------------------------------------

namespace {

// One sample per process, labelled with its pid; processes of two pid namespaces may share one,
// and the later then gets "<pid>.1" and so on, so that no two samples clash.
void pidSamples(const DeclaredSeries& series, const Labels& labels,
                std::vector<DeclaredSample>& out) {
  std::vector<std::string> used;
  for (const GaugeHolding& held : series.holdings) {
    std::string pid = std::to_string(held.pid);
    for (unsigned suffix = 1; std::find(used.begin(), used.end(), pid) != used.end(); ++suffix) {
      pid = std::to_string(held.pid) + "." + std::to_string(suffix);
    }
    used.push_back(pid);
    out.push_back({"", withLabel(labels, "pid", std::move(pid)), held.value});
  }
}

// The processes' values as one, as prometheus_client's multiprocess collector combines them;
// none when there is no value to combine.
std::optional<double> combined(GaugeMode mode, const std::vector<GaugeHolding>& holdings) {
  std::optional<double> value;
  std::uint64_t newest = 0;
  for (const GaugeHolding& held : holdings) {
    if (mode == GaugeMode::kMin) {
      value = !value || held.value < *value ? held.value : *value;
    } else if (mode == GaugeMode::kMax) {
      value = !value || held.value > *value ? held.value : *value;
    } else if (mode == GaugeMode::kSum) {
      value = value.value_or(0) + held.value;
    } else if (mode == GaugeMode::kLast && held.key > newest) {
      // Only a written value counts, the most recent in real time.
      newest = held.key;
      value = held.value;
    }
  }
  return value;
}

void gaugeSamples(const DeclaredFamily& family, const DeclaredSeries& series, const Labels& labels,
                  std::vector<DeclaredSample>& out) {
  if (family.mode == GaugeMode::kAll) {
    pidSamples(series, labels, out);
  } else if (const std::optional<double> value = combined(family.mode, series.holdings)) {
    out.push_back({"", labels, *value});
  }
}

void histogramSamples(const DeclaredFamily& family, const DeclaredSeries& series,
                      const Labels& labels, std::vector<DeclaredSample>& out) {
  double cumulative = 0;
  for (std::size_t b = 0; b < family.bounds.size(); ++b) {
    cumulative += series.buckets[b];
    out.push_back({"_bucket", withLabel(labels, "le", family.extras[b]), cumulative});
  }
  // Buckets below 0 come without a sum, as prometheus_client serves them in one process, and so
  // without a count too: OpenMetrics takes a count only beside a sum.
  if (family.bounds.front() >= 0) {
    out.push_back({"_count", labels, cumulative});
    out.push_back({"_sum", labels, series.sum});
  }
}

std::vector<DeclaredSample> samplesOf(const DeclaredFamily& family, const DeclaredSeries& series) {
  std::vector<DeclaredSample> out;
  Labels labels = labelsOf(family, series);
  std::sort(labels.begin(), labels.end());
  switch (family.type) {
    case DeclaredType::kCounter:
      out.push_back({"_total", labels, series.sum});
      break;
    case DeclaredType::kSummary:
      out.push_back({"_count", labels, series.count});
      out.push_back({"_sum", labels, series.sum});
      break;
    case DeclaredType::kHistogram:
      histogramSamples(family, series, labels, out);
      break;
    case DeclaredType::kInfo: {
      Labels all = labels;
      all.insert(all.end(), series.info.begin(), series.info.end());
      std::sort(all.begin(), all.end());
      out.push_back({"_info", std::move(all), 1.0});
      break;
    }
    case DeclaredType::kStateset:
      for (std::size_t s = 0; s < family.extras.size(); ++s) {
        out.push_back({"", withLabel(labels, family.name, family.extras[s]),
                       static_cast<double>(s) == series.state ? 1.0 : 0.0});
      }
      break;
    case DeclaredType::kGauge:
      gaugeSamples(family, series, labels, out);
      break;
  }
  return out;
}

}  // namespace

std::vector<DeclaredFamilySamples> DeclaredFamilies::samples() {
  std::vector<DeclaredFamilySamples> result(families_.size());
  for (std::size_t i = 0; i < families_.size(); ++i) {
    result[i].family = &families_[i];
  }
  for (DeclaredSeries& series : series_) {
    if (!series.present) {
      continue;
    }
    if (series.changed || !series.served) {
      series.served = std::make_shared<const std::vector<DeclaredSample>>(
          samplesOf(families_[series.family], series));
      series.changed = false;
    }
    if (!series.served->empty()) {
      result[series.family].series.push_back(series.served);
    }
  }
  return result;
}

}  // namespace zelnor::exporter
