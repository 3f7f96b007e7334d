#include "exporter/declared.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>

#include "metrics/process_file.h"
#include "metrics/record_format.h"

namespace zelnor::exporter {
namespace {

// The process file's first line, without its newline.
constexpr std::string_view kHeader = kProcessFileHeader.substr(0, kProcessFileHeader.size() - 1);
// Gauge values of ended processes kept per series in the "all" mode, the oldest let go first.
constexpr std::size_t kMaxRetiredPerSeries = 1024;

struct TypeName {
  std::string_view text;
  DeclaredType type;
};

constexpr TypeName kTypes[] = {
    {"counter", DeclaredType::kCounter},     {"gauge", DeclaredType::kGauge},
    {"histogram", DeclaredType::kHistogram}, {"summary", DeclaredType::kSummary},
    {"info", DeclaredType::kInfo},           {"stateset", DeclaredType::kStateset}};

struct ModeName {
  std::string_view text;
  Combine combine;
  bool live;
};

constexpr ModeName kModes[] = {{"all", Combine::kAll, false},
                               {"liveall", Combine::kAll, true},
                               {"min", Combine::kMin, false},
                               {"livemin", Combine::kMin, true},
                               {"max", Combine::kMax, false},
                               {"livemax", Combine::kMax, true},
                               {"sum", Combine::kSum, false},
                               {"livesum", Combine::kSum, true},
                               {"mostrecent", Combine::kMostRecent, false},
                               {"livemostrecent", Combine::kMostRecent, true}};

// Splits a line into its tab-separated fields and undoes their escapes; false when an escape is
// not one of \\, \t, \n or a field is too long.
bool splitFields(std::string_view line, std::vector<std::string>& fields) {
  fields.clear();
  fields.emplace_back();
  for (std::size_t at = 0; at < line.size(); ++at) {
    const char c = line[at];
    if (c == '\t') {
      fields.emplace_back();
      continue;
    }
    if (c == '\\') {
      if (++at == line.size()) {
        return false;
      }
      const char escaped = line[at];
      if (escaped == 't') {
        fields.back().push_back('\t');
      } else if (escaped == 'n') {
        fields.back().push_back('\n');
      } else if (escaped == '\\') {
        fields.back().push_back('\\');
      } else {
        return false;
      }
    } else {
      fields.back().push_back(c);
    }
    if (fields.back().size() > DeclaredFamilies::kMaxFieldBytes) {
      return false;
    }
  }
  return true;
}

// A decimal id or count: digits only, at most 18 of them.
bool parseNumber(std::string_view text, std::uint64_t& value) {
  if (text.empty() || text.size() > 18) {
    return false;
  }
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

bool parseHex(std::string_view text, std::uint64_t& value) {
  if (text.empty() || text.size() > 16) {
    return false;
  }
  value = 0;
  for (char c : text) {
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else {
      return false;
    }
    value = (value << 4) | digit;
  }
  return true;
}

// A bound as prometheus_client spells it in `le` ("+Inf", "0.25", "1e+06"), read back exactly:
// `le` serves it as spelled, so no other spelling of a number (" 1", "0x1p0", "inf") is taken,
// and no finite one read as infinite ("1e999").
bool parseBound(const std::string& text, double& value) {
  if (text == "+Inf") {
    value = std::numeric_limits<double>::infinity();
    return true;
  }
  if (text == "-Inf") {
    value = -std::numeric_limits<double>::infinity();
    return true;
  }
  if (text.empty() || text.find_first_not_of("0123456789+-.eE") != std::string::npos) {
    return false;
  }
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size() && std::isfinite(value);
}

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
  while (!bytes.empty()) {
    const std::size_t end = bytes.find('\n');
    if (end == std::string_view::npos) {
      if (producer.skipping) {
        return;
      }
      const bool fits = producer.partial.size() + bytes.size() <= kMaxLineBytes;
      if (fits && charge(producer, bytes.size(), false)) {
        producer.partial.append(bytes);
      } else {
        ++rejected[static_cast<int>(fits ? Reason::kUserBudget : Reason::kInvalidDeclaration)];
        release(producer, producer.partial.size());
        std::string().swap(producer.partial);
        producer.skipping = true;  // the rest of this line is refused with it
      }
      return;
    }
    std::string_view line = bytes.substr(0, end);
    bytes.remove_prefix(end + 1);
    if (producer.skipping) {
      producer.skipping = false;
      continue;
    }
    if (!producer.partial.empty()) {
      const std::size_t held = producer.partial.size();
      producer.partial.append(line);
      declareLine(producer, key, producer.partial, rejected);
      std::string().swap(producer.partial);  // its buffer too
      release(producer, held);
      continue;
    }
    declareLine(producer, key, line, rejected);
  }
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
  std::vector<std::string> fields;
  Reason reason = Reason::kInvalidDeclaration;
  if (line.size() <= kMaxLineBytes && isValidUtf8(line) && splitFields(line, fields) &&
      fields[0].size() == 1) {
    switch (fields[0][0]) {
      case records::kFamilyLine:
        reason = declareFamily(producer, fields);
        break;
      case records::kSeriesLine:
        reason = declareSeries(producer, key, fields);
        break;
      case records::kInfoValueLine:
        reason = declareInfoValue(producer, fields);
        break;
      default:
        break;
    }
  }
  // A series without room is counted by its records, as a refused family's are.
  if (reason == Reason::kInvalidDeclaration || reason == Reason::kInvalidLabels ||
      reason == Reason::kUserBudget) {
    ++rejected[static_cast<int>(reason)];
  }
  return reason == Reason::kCount;
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

void DeclaredFamilies::refuseSeries(Producer& producer, std::uint64_t id, Reason reason) {
  std::vector<Refused>& refused = producer.refused;
  if (!refused.empty() && id > refused.back().last) {
    // Ids come in increasing order, so the range goes on to it (over ids of other declarations,
    // which no series record names, and of accepted series, which are looked up first); and
    // when the budget has no room for another range, whatever its reason.
    if (refused.back().reason == reason || !charge(producer, kIdCost, false)) {
      refused.back().last = id;
      return;
    }
    refused.push_back(Refused{id, id, reason});
    return;
  }
  if (!charge(producer, kIdCost, false)) {
    return;  // then its records are undeclared_series
  }
  const auto after = std::upper_bound(
      refused.begin(), refused.end(), id,
      [](std::uint64_t wanted, const Refused& range) { return wanted < range.first; });
  refused.insert(after, Refused{id, id, reason});
}

Reason DeclaredFamilies::declareFamily(Producer& producer, const std::vector<std::string>& fields) {
  // F id type name documentation unit mode n label... m extra...
  std::uint64_t id = 0;
  std::uint64_t labels = 0;
  if (fields.size() < 9 || !parseNumber(fields[1], id) || !parseNumber(fields[7], labels) ||
      labels > kMaxLabels || fields.size() < 9 + labels) {
    return Reason::kInvalidDeclaration;
  }
  std::uint64_t extras = 0;
  if (!parseNumber(fields[8 + labels], extras) || extras > kMaxExtras ||
      fields.size() != 9 + labels + extras) {
    return Reason::kInvalidDeclaration;
  }
  if (producer.families.count(id) != 0 || producer.families.size() >= kMaxFamiliesPerProcess) {
    return Reason::kInvalidDeclaration;
  }
  if (!charge(producer, kIdCost, false)) {
    return Reason::kUserBudget;  // its series are refused for it too
  }
  DeclaredFamily family;
  const auto type = std::find_if(std::begin(kTypes), std::end(kTypes),
                                 [&](const TypeName& known) { return known.text == fields[2]; });
  // A family refused: its entries are counted as they come, and it is said once.
  auto refuse = [&](Reason reason) {
    producer.families.emplace(id, refusal(reason));
    if (reason == Reason::kInvalidDeclaration) {
      return reason;  // a line that does not hold up: counted as one
    }
    names_.refused(family, reason);
    return Reason::kCount;
  };
  if (type == std::end(kTypes)) {
    return refuse(Reason::kInvalidDeclaration);
  }
  family.type = type->type;
  family.name = fields[3];
  family.documentation = fields[4];
  family.unit = fields[5];
  family.label_names.assign(fields.begin() + 8, fields.begin() + 8 + static_cast<long>(labels));
  family.extras.assign(fields.begin() + 9 + static_cast<long>(labels), fields.end());
  // A stateset's name is also the label of its states.
  if (!isMetricName(family.name) ||
      (family.type == DeclaredType::kStateset && !isLabelName(family.name)) ||
      (!family.unit.empty() && (family.name.size() <= family.unit.size() ||
                                family.name.compare(family.name.size() - family.unit.size() - 1,
                                                    std::string::npos, "_" + family.unit) != 0))) {
    return refuse(Reason::kInvalidName);
  }
  for (std::size_t i = 0; i < family.label_names.size(); ++i) {
    const std::string& label = family.label_names[i];
    const bool reserved = (family.type == DeclaredType::kHistogram && label == "le") ||
                          (family.type == DeclaredType::kSummary && label == "quantile") ||
                          (family.type == DeclaredType::kStateset && label == family.name);
    if (!isLabelName(label) || label.compare(0, 2, "__") == 0 || reserved ||
        std::find(family.label_names.begin(), family.label_names.begin() + static_cast<long>(i),
                  label) != family.label_names.begin() + static_cast<long>(i)) {
      return refuse(Reason::kInvalidLabels);
    }
  }
  const std::string& mode = fields[6];
  if (family.type == DeclaredType::kGauge) {
    const auto known = std::find_if(std::begin(kModes), std::end(kModes),
                                    [&](const ModeName& name) { return name.text == mode; });
    if (known == std::end(kModes)) {
      return refuse(Reason::kInvalidDeclaration);
    }
    family.combine = known->combine;
    family.live = known->live;
  } else if (!mode.empty()) {
    return refuse(Reason::kInvalidDeclaration);
  }
  if (family.type == DeclaredType::kHistogram) {
    for (const std::string& bound : family.extras) {
      double value = 0;
      if (!parseBound(bound, value) || (!family.bounds.empty() && value <= family.bounds.back())) {
        return refuse(Reason::kInvalidDeclaration);
      }
      family.bounds.push_back(value);
    }
    if (family.bounds.size() < 2 || !std::isinf(family.bounds.back())) {
      return refuse(Reason::kInvalidDeclaration);
    }
  } else if (family.type == DeclaredType::kStateset) {
    // Each state is a sample of its own: one named twice would be served twice.
    std::vector<std::string> states = family.extras;
    std::sort(states.begin(), states.end());
    if (states.empty() || std::adjacent_find(states.begin(), states.end()) != states.end()) {
      return refuse(Reason::kInvalidDeclaration);
    }
  } else if (!family.extras.empty()) {
    return refuse(Reason::kInvalidDeclaration);
  }
  family.definition.assign(fields[2]);
  for (std::size_t i = 3; i < fields.size(); ++i) {
    family.definition.push_back('\t');
    family.definition += fields[i];
  }
  auto known = family_by_name_.find(family.name);
  if (known != family_by_name_.end()) {
    if (families_[known->second].definition != family.definition ||
        !mayDeclare(producer, known->second)) {
      return refuse(Reason::kDeclarationConflict);
    }
    producer.families.emplace(id, known->second);
    return Reason::kCount;
  }
  if (families_.size() >= kMaxFamilies) {
    return refuse(Reason::kTooManySeries);
  }
  if (!charge(producer, kIdCost + 2 * family.definition.size(), true)) {
    return refuse(Reason::kUserBudget);
  }
  if (const Reason taken = names_.claim(family); taken != Reason::kCount) {
    return refuse(taken);
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
  // S id family label-value...
  std::uint64_t id = 0;
  std::uint64_t family_id = 0;
  if (fields.size() < 3 || !parseNumber(fields[1], id) || !parseNumber(fields[2], family_id) ||
      seriesEntry(producer, id) != kUnknown) {
    return Reason::kInvalidDeclaration;
  }
  const auto family_entry = producer.families.find(family_id);
  if (family_entry == producer.families.end()) {
    // Its family was not kept, for the budget, or never declared.
    const Reason reason =
        producer.out_of_budget ? Reason::kUserBudget : Reason::kInvalidDeclaration;
    refuseSeries(producer, id, reason);
    return reason;
  }
  if (family_entry->second < 0) {
    // Its family was refused: the reason is said once, for the family.
    refuseSeries(producer, id, refusedBy(family_entry->second));
    return Reason::kCount;
  }
  const auto family_index = static_cast<std::uint32_t>(family_entry->second);
  const DeclaredFamily& family = families_[family_index];
  std::vector<std::string> values(fields.begin() + 3, fields.end());
  if (values.size() != family.label_names.size()) {
    refuseSeries(producer, id, Reason::kInvalidDeclaration);
    return Reason::kInvalidDeclaration;
  }
  if (!fits(producer, kIdCost)) {
    refuseSeries(producer, id, Reason::kUserBudget);
    return Reason::kUserBudget;
  }
  const std::string series_key = seriesKey(family_index, values);
  auto known = series_by_key_.find(series_key);
  std::uint32_t index = 0;
  if (known != series_by_key_.end()) {
    index = known->second;
    present(series_[index]);
  } else {
    if (!names_.seriesRoom()) {
      refuseSeries(producer, id, Reason::kTooManySeries);
      return Reason::kTooManySeries;
    }
    // The series is kept for good: its key, its values and its buckets.
    if (!charge(producer, kIdCost + 2 * series_key.size() + 8 * family.bounds.size(), true)) {
      refuseSeries(producer, id, Reason::kUserBudget);
      return Reason::kUserBudget;
    }
    index = static_cast<std::uint32_t>(series_.size());
    series_by_key_.emplace(series_key, index);
    DeclaredSeries series;
    series.family = family_index;
    series.label_values = std::move(values);
    if (family.type == DeclaredType::kHistogram) {
      series.buckets.assign(family.bounds.size(), 0.0);
    }
    series_.push_back(std::move(series));
  }
  account(producer, kIdCost, false);
  producer.series.emplace(id, index);
  producer.young.emplace(id, pass_);
  with_young_.insert(key);
  if (family.type == DeclaredType::kGauge) {
    holdDeclared(series_[index], key, producer.origin.pid);
  }
  touch(series_[index]);
  return Reason::kCount;
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
  // V id series n label value ...
  std::uint64_t id = 0;
  std::uint64_t series_id = 0;
  std::uint64_t count = 0;
  if (fields.size() < 4 || !parseNumber(fields[1], id) || !parseNumber(fields[2], series_id) ||
      !parseNumber(fields[3], count) || count > kMaxLabels || fields.size() != 4 + 2 * count ||
      producer.info_values.count(id) != 0) {
    return Reason::kInvalidDeclaration;
  }
  const std::int64_t series = seriesEntry(producer, series_id);
  if (series < 0 ||
      families_[series_[static_cast<std::size_t>(series)].family].type != DeclaredType::kInfo) {
    return Reason::kInvalidDeclaration;
  }
  const DeclaredFamily& family = families_[series_[static_cast<std::size_t>(series)].family];
  Labels labels;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::string& name = fields[4 + 2 * i];
    if (!isLabelName(name) || name.compare(0, 2, "__") == 0 ||
        std::find(family.label_names.begin(), family.label_names.end(), name) !=
            family.label_names.end()) {
      return Reason::kInvalidLabels;
    }
    labels.emplace_back(name, fields[5 + 2 * i]);
  }
  std::sort(labels.begin(), labels.end());
  if (std::adjacent_find(labels.begin(), labels.end(), [](const auto& a, const auto& b) {
        return a.first == b.first;
      }) != labels.end()) {
    return Reason::kInvalidLabels;
  }
  std::size_t bytes = 2 * kIdCost;
  for (const auto& label : labels) {
    bytes += label.first.size() + label.second.size();
  }
  if (!charge(producer, bytes, false)) {
    return Reason::kUserBudget;
  }
  producer.info_values.emplace(id, std::move(labels));
  producer.info_series.emplace(id, series_id);
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
  const DeclaredFamily& family = families_[series.family];
  reason = Reason::kInvalidDeclaration;
  if (op == records::kCounter) {
    if (family.type != DeclaredType::kCounter || lane == Lane::kKeyed) {
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
  if (lane != Lane::kDouble) {
    return false;
  }
  // A NaN observation is counted as prometheus_client counts it (in no bucket of a histogram, in
  // a summary's count) but left out of the sum, which it would make NaN for good: OpenMetrics
  // parsers refuse a NaN sum, and with it the whole scrape.
  const double added = std::isnan(value) ? 0.0 : value;
  if (family.type == DeclaredType::kHistogram) {
    present(series);
    series.sum += added;
    // The first bound at or above the value; a NaN finds none.
    const auto bucket = std::isnan(value)
                            ? family.bounds.end()
                            : std::lower_bound(family.bounds.begin(), family.bounds.end(), value);
    if (bucket != family.bounds.end()) {
      series.buckets[static_cast<std::size_t>(bucket - family.bounds.begin())] += 1;
    }
    return true;
  }
  if (family.type == DeclaredType::kSummary) {
    present(series);
    series.count += 1;
    series.sum += added;
    return true;
  }
  return false;
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
  if (name.size() < 3) {
    return false;
  }
  const char op = name[1];
  std::string_view id_text = name.substr(2);
  std::uint64_t key = 0;
  const std::size_t colon = id_text.find(records::kKeySeparator);
  const bool keyed = records::isKeyed(op);
  if (keyed != (colon != std::string_view::npos) ||
      (keyed && !parseHex(id_text.substr(colon + 1), key))) {
    return false;
  }
  // A counter's or an observation's series made again after its removal carries a stamp.
  const std::size_t dot = keyed ? std::string_view::npos : id_text.find(records::kStampSeparator);
  std::uint64_t id = 0;
  if (!parseHex(id_text.substr(0, std::min(colon, dot)), id)) {
    return false;
  }
  std::uint64_t stamp = id;
  if (dot != std::string_view::npos && (!parseHex(id_text.substr(dot + 1), stamp) || stamp <= id)) {
    return false;
  }
  const auto producer = producers_.find(producer_key);
  if (producer == producers_.end()) {
    reason = Reason::kUndeclaredSeries;
    return false;
  }
  if (op == records::kClear) {
    if (lane != Lane::kKeyed) {
      reason = Reason::kInvalidDeclaration;
      return false;
    }
    const auto family = producer->second.families.find(id);
    if (family == producer->second.families.end()) {
      reason = Reason::kUndeclaredSeries;
      return false;
    }
    if (family->second < 0) {
      reason = refusedBy(family->second);
      return false;
    }
    const auto cleared = static_cast<std::uint32_t>(family->second);
    for (DeclaredSeries& series : series_) {
      if (series.family == cleared && series.present) {
        removeSeries(series);
      }
    }
    refold(producer_key, watermarkOf(value),
           [&](const DeclaredSeries& candidate) { return candidate.family == cleared; });
    return true;
  }
  const std::int64_t entry = seriesEntry(producer->second, id);
  if (entry == kUnknown) {
    reason = Reason::kUndeclaredSeries;
    return false;
  }
  if (entry < 0) {
    reason = refusedBy(entry);
    return false;
  }
  if ((op == 'g' || op == 'e' || op == 'i') && key > latestKey()) {
    reason = Reason::kKeyAhead;  // it would hold the series at its value for good
    return false;
  }
  DeclaredSeries& series = series_[static_cast<std::size_t>(entry)];
  const DeclaredFamily& family = families_[series.family];
  reason = Reason::kInvalidDeclaration;  // a record that does not fit what its series is
  switch (op) {
    case records::kCounter:
    case records::kObserve: {
      if (!add(series, op, lane, value, reason)) {
        return false;
      }
      if (stamp != id) {
        revived(producer->second, producer_key, id, stamp);
      }
      if (const auto young = producer->second.young.find(id);
          young != producer->second.young.end()) {
        recent_.push_back(Recent{producer_key, stamp, static_cast<std::uint32_t>(entry), value});
      }
      break;
    }
    case records::kRevive:
      if (lane != Lane::kKeyed) {
        return false;
      }
      present(series);
      if (family.type == DeclaredType::kGauge) {
        holdDeclared(series, producer_key, producer->second.origin.pid);
      }
      break;
    case records::kGauge: {
      if (family.type != DeclaredType::kGauge || lane != Lane::kKeyed) {
        return false;
      }
      present(series);
      auto held = std::find_if(
          series.holdings.begin(), series.holdings.end(),
          [&](const GaugeHolding& holding) { return holding.producer == producer_key; });
      if (held == series.holdings.end()) {
        series.holdings.push_back(
            GaugeHolding{producer_key, producer->second.origin.pid, value, key, true});
      } else if (key > held->key) {
        held->value = value;
        held->key = key;
      }
      break;
    }
    case records::kEnum:
      if (family.type != DeclaredType::kStateset || lane != Lane::kKeyed || !(value >= 0) ||
          value >= static_cast<double>(family.extras.size()) || value != std::floor(value)) {
        return false;
      }
      present(series);
      if (key > series.state_key) {
        series.state_key = key;
        series.state = value;
      }
      break;
    case records::kInfo: {
      if (family.type != DeclaredType::kInfo || lane != Lane::kKeyed || !(value >= 0) ||
          value > 9e15) {
        return false;
      }
      const auto labels = producer->second.info_values.find(static_cast<std::uint64_t>(value));
      if (labels == producer->second.info_values.end() ||
          producer->second.info_series[labels->first] != id) {
        reason = Reason::kUndeclaredSeries;
        return false;
      }
      present(series);
      if (key > series.state_key) {
        series.state_key = key;
        series.info = labels->second;
      }
      break;
    }
    case records::kRemove:
      if (lane != Lane::kKeyed) {
        return false;
      }
      removeSeries(series);
      refold(producer_key, watermarkOf(value),
             [&](const DeclaredSeries& candidate) { return &candidate == &series; });
      break;
    default:
      reason = Reason::kInvalidName;
      return false;
  }
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
  static constexpr char kDigits[] = "0123456789abcdef";
  for (const StateEntry& entry : ordered) {
    if (entry.op == records::kRemove || entry.op == records::kClear) {
      restoreRemoval(producer->second, producer_key, entry);
      continue;
    }
    // The record's name, as its process spelled it: the mark, the operation, the id and the key.
    std::string name{records::kMark, entry.op};
    std::string id;
    for (std::uint64_t rest = entry.id; id.empty() || rest != 0; rest >>= 4) {
      id.insert(id.begin(), kDigits[rest & 15u]);
    }
    name += id;
    name.push_back(records::kKeySeparator);
    for (int shift = 60; shift >= 0; shift -= 4) {
      name.push_back(kDigits[(entry.key >> shift) & 15u]);
    }
    Reason ignored = Reason::kCount;  // a slot that does not hold up is left out
    fold(Lane::kKeyed, name, entry.value, producer_key, ignored);
  }
}

// A removal made before this exporter learned of its process: what declarations made (a series
// served, a gauge at 0 never written) and what that process wrote before it go; what this
// exporter folded from other processes' rings is of after it, and stays, as does an enum's or
// info's state set later in real time.
void DeclaredFamilies::restoreRemoval(Producer& producer, std::uint64_t producer_key,
                                      const StateEntry& entry) {
  const auto unwritten = [&](DeclaredSeries& series) {
    auto& holdings = series.holdings;
    holdings.erase(std::remove_if(holdings.begin(), holdings.end(),
                                  [&](const GaugeHolding& held) {
                                    return held.producer == producer_key || held.key == 0;
                                  }),
                   holdings.end());
    if (series.state_key < entry.key) {
      series.state_key = 0;
      series.state = 0;
      series.info.clear();
    }
    const bool recorded =
        !holdings.empty() || series.state_key != 0 || series.sum != 0 || series.count != 0 ||
        std::any_of(series.buckets.begin(), series.buckets.end(), [](double n) { return n != 0; });
    series.present = series.present && recorded;
    touch(series);
  };
  if (entry.op == records::kRemove) {
    const auto found = producer.series.find(entry.id);
    if (found != producer.series.end() && found->second >= 0) {
      unwritten(series_[static_cast<std::size_t>(found->second)]);
    }
    return;
  }
  const auto family = producer.families.find(entry.id);
  if (family != producer.families.end() && family->second >= 0) {
    for (DeclaredSeries& series : series_) {
      if (series.family == static_cast<std::uint32_t>(family->second)) {
        unwritten(series);
      }
    }
  }
}

// The modes that make one value of all processes keep the ended ones as one value too: the
// holding of producer 0, which combines them as the mode combines live ones.
void DeclaredFamilies::retire(Combine combine, std::vector<GaugeHolding>& holdings,
                              std::uint64_t producer) {
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
  switch (combine) {
    case Combine::kSum:
      pool->value += value.value;
      break;
    case Combine::kMin:
      pool->value = std::min(pool->value, value.value);
      break;
    case Combine::kMax:
      pool->value = std::max(pool->value, value.value);
      break;
    case Combine::kMostRecent:
    case Combine::kAll:
      if (value.key > pool->key) {
        pool->value = value.value;
      }
      break;
  }
  pool->key = std::max(pool->key, value.key);
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
    if (series.holdings.empty()) {
      continue;
    }
    const DeclaredFamily& family = families_[series.family];
    auto& holdings = series.holdings;
    if (family.live) {
      holdings.erase(std::remove_if(holdings.begin(), holdings.end(),
                                    [&](const GaugeHolding& held) { return held.producer == key; }),
                     holdings.end());
    } else if (family.combine == Combine::kAll) {
      for (GaugeHolding& held : holdings) {
        if (held.producer == key) {
          held.live = false;
        }
      }
      const auto retired = static_cast<std::size_t>(std::count_if(
          holdings.begin(), holdings.end(), [](const GaugeHolding& held) { return !held.live; }));
      if (retired > kMaxRetiredPerSeries) {
        holdings.erase(std::find_if(holdings.begin(), holdings.end(),
                                    [](const GaugeHolding& held) { return !held.live; }));
      }
    } else {
      retire(family.combine, holdings, key);
    }
    touch(series);
  }
}

std::uint64_t DeclaredFamilies::bytesRead(std::uint64_t producer) const {
  const auto found = producers_.find(producer);
  return found == producers_.end() ? 0 : found->second.bytes;
}

// --- the exposition ----------------------------------------------------------------------------

namespace {

void gaugeSamples(const DeclaredFamily& family, const DeclaredSeries& series, const Labels& labels,
                  std::vector<DeclaredSample>& out) {
  if (family.combine == Combine::kAll) {
    // One sample per process, labelled with its pid; processes of two pid namespaces may share
    // one, and the later then gets "<pid>.1" and so on, so that no two samples clash.
    std::vector<std::string> used;
    for (const GaugeHolding& held : series.holdings) {
      std::string pid = std::to_string(held.pid);
      for (unsigned suffix = 1; std::find(used.begin(), used.end(), pid) != used.end(); ++suffix) {
        pid = std::to_string(held.pid) + "." + std::to_string(suffix);
      }
      used.push_back(pid);
      out.push_back({"", withLabel(labels, "pid", std::move(pid)), held.value});
    }
    return;
  }
  // As prometheus_client's multiprocess collector combines the processes' values.
  bool have = false;
  double value = 0;
  std::uint64_t newest = 0;
  for (const GaugeHolding& held : series.holdings) {
    switch (family.combine) {
      case Combine::kMin:
        value = !have || held.value < value ? held.value : value;
        have = true;
        break;
      case Combine::kMax:
        value = !have || held.value > value ? held.value : value;
        have = true;
        break;
      case Combine::kSum:
        value += held.value;
        have = true;
        break;
      case Combine::kMostRecent:
        // Only a written value counts, the most recent in real time.
        if (held.key > newest) {
          newest = held.key;
          value = held.value;
          have = true;
        }
        break;
      case Combine::kAll:
        break;
    }
  }
  if (have) {
    out.push_back({"", labels, value});
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
    case DeclaredType::kHistogram: {
      double cumulative = 0;
      for (std::size_t b = 0; b < family.bounds.size(); ++b) {
        cumulative += series.buckets[b];
        out.push_back({"_bucket", withLabel(labels, "le", family.extras[b]), cumulative});
      }
      // Buckets below 0 come without a sum, as prometheus_client serves them in one process,
      // and so without a count too: OpenMetrics takes a count only beside a sum.
      if (family.bounds.front() >= 0) {
        out.push_back({"_count", labels, cumulative});
        out.push_back({"_sum", labels, series.sum});
      }
      break;
    }
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
