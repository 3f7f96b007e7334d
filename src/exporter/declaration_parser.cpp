#include "exporter/declaration_parser.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <limits>

#include "metrics/record_format.h"

namespace zelnor::exporter {
namespace {

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
  GaugeMode mode;
  bool live;
};

constexpr ModeName kModes[] = {
    {"all", GaugeMode::kAll, false},         {"liveall", GaugeMode::kAll, true},
    {"min", GaugeMode::kMin, false},         {"livemin", GaugeMode::kMin, true},
    {"max", GaugeMode::kMax, false},         {"livemax", GaugeMode::kMax, true},
    {"sum", GaugeMode::kSum, false},         {"livesum", GaugeMode::kSum, true},
    {"mostrecent", GaugeMode::kLast, false}, {"livemostrecent", GaugeMode::kLast, true}};

// F id type name documentation unit mode n label... m extra...: the id and the number of label
// names, when the counts add up to the fields there are.
bool parseFamilyCounts(const std::vector<std::string>& fields, std::uint64_t& id,
                       std::uint64_t& labels) {
  std::uint64_t extras = 0;
  if (fields.size() < 9 || !parseNumber(fields[1], id) || !parseNumber(fields[7], labels) ||
      labels > kMaxLabels || fields.size() < 9 + labels) {
    return false;
  }
  return parseNumber(fields[8 + labels], extras) && extras <= kMaxExtras &&
         fields.size() == 9 + labels + extras;
}

bool parseType(std::string_view text, DeclaredType& type) {
  const auto known = std::find_if(std::begin(kTypes), std::end(kTypes),
                                  [&](const TypeName& name) { return name.text == text; });
  if (known == std::end(kTypes)) {
    return false;
  }
  type = known->type;
  return true;
}

// A metric name that ends in its unit, when it has one. A stateset's name is also the label of
// its states.
bool validName(const DeclaredFamily& family) {
  const std::string& name = family.name;
  const std::string& unit = family.unit;
  if (!isMetricName(name) || (family.type == DeclaredType::kStateset && !isLabelName(name))) {
    return false;
  }
  return unit.empty() ||
         (name.size() > unit.size() &&
          name.compare(name.size() - unit.size() - 1, std::string::npos, "_" + unit) == 0);
}

// Not reserved, by Prometheus or by the family's type for the labels of its samples.
bool validLabelName(const DeclaredFamily& family, const std::string& label) {
  const bool reserved = (family.type == DeclaredType::kHistogram && label == "le") ||
                        (family.type == DeclaredType::kSummary && label == "quantile") ||
                        (family.type == DeclaredType::kStateset && label == family.name);
  return isLabelName(label) && label.compare(0, 2, "__") != 0 && !reserved;
}

bool validLabelNames(const DeclaredFamily& family) {
  const std::vector<std::string>& names = family.label_names;
  for (auto label = names.begin(); label != names.end(); ++label) {
    if (!validLabelName(family, *label) || std::find(names.begin(), label, *label) != label) {
      return false;
    }
  }
  return true;
}

// A gauge's mode; the other types have none.
bool parseMode(const std::string& mode, DeclaredFamily& family) {
  if (family.type != DeclaredType::kGauge) {
    return mode.empty();
  }
  const auto known = std::find_if(std::begin(kModes), std::end(kModes),
                                  [&](const ModeName& name) { return name.text == mode; });
  if (known == std::end(kModes)) {
    return false;
  }
  family.mode = known->mode;
  family.live = known->live;
  return true;
}

// A histogram's bounds: two at least, increasing, the last +Inf.
bool parseBounds(const std::vector<std::string>& extras, std::vector<double>& bounds) {
  for (const std::string& bound : extras) {
    double value = 0;
    if (!parseBound(bound, value) || (!bounds.empty() && value <= bounds.back())) {
      return false;
    }
    bounds.push_back(value);
  }
  return bounds.size() >= 2 && std::isinf(bounds.back());
}

// A stateset's states: one at least, and each a sample of its own, so none named twice.
bool validStates(std::vector<std::string> states) {
  std::sort(states.begin(), states.end());
  return !states.empty() && std::adjacent_find(states.begin(), states.end()) == states.end();
}

// A histogram's bounds or a stateset's states; the other types have no extras.
bool parseExtras(DeclaredFamily& family) {
  if (family.type == DeclaredType::kHistogram) {
    return parseBounds(family.extras, family.bounds);
  }
  if (family.type == DeclaredType::kStateset) {
    return validStates(family.extras);
  }
  return family.extras.empty();
}

// A gauge of an "all" mode serves each process's value with a "pid" label: a label of its own of
// that name would make one sample of two series.
bool takesPidLabel(const DeclaredFamily& family) {
  const auto& names = family.label_names;
  return family.type == DeclaredType::kGauge && family.mode == GaugeMode::kAll &&
         std::find(names.begin(), names.end(), "pid") != names.end();
}

// The fields after the id, which a second declaration of the name must repeat.
std::string definitionOf(const std::vector<std::string>& fields) {
  std::string definition = fields[2];
  for (std::size_t i = 3; i < fields.size(); ++i) {
    definition.push_back('\t');
    definition += fields[i];
  }
  return definition;
}

// Reads the family of an F line whose counts hold up, as far as it does: kCount when all of it
// does, else why the family is refused.
Reason readFamily(const std::vector<std::string>& fields, std::uint64_t labels,
                  DeclaredFamily& family) {
  if (!parseType(fields[2], family.type)) {
    return Reason::kInvalidDeclaration;
  }
  family.name = fields[3];
  family.documentation = fields[4];
  family.unit = fields[5];
  const auto extras = fields.begin() + 8 + static_cast<long>(labels);
  family.label_names.assign(fields.begin() + 8, extras);
  family.extras.assign(extras + 1, fields.end());
  if (!validName(family)) {
    return Reason::kInvalidName;
  }
  if (!validLabelNames(family)) {
    return Reason::kInvalidLabels;
  }
  if (!parseMode(fields[6], family) || !parseExtras(family)) {
    return Reason::kInvalidDeclaration;
  }
  if (takesPidLabel(family)) {
    return Reason::kReservedLabel;
  }
  family.definition = definitionOf(fields);
  return Reason::kCount;
}

// Sorts an info's labels: true when each name is one a sample may have and none is there twice.
bool sortInfoLabels(Labels& labels) {
  const auto invalid = [](const auto& label) {
    return !isLabelName(label.first) || label.first.compare(0, 2, "__") == 0;
  };
  if (std::any_of(labels.begin(), labels.end(), invalid)) {
    return false;
  }
  std::sort(labels.begin(), labels.end());
  return std::adjacent_find(labels.begin(), labels.end(), [](const auto& a, const auto& b) {
           return a.first == b.first;
         }) == labels.end();
}

}  // namespace

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
    if (fields.back().size() > kMaxFieldBytes) {
      return false;
    }
  }
  return true;
}

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

std::optional<FamilyLine> parseFamilyLine(const std::vector<std::string>& fields) {
  FamilyLine line;
  std::uint64_t labels = 0;
  if (!parseFamilyCounts(fields, line.id, labels)) {
    return std::nullopt;
  }
  line.refused = readFamily(fields, labels, line.family);
  return line;
}

std::optional<SeriesLine> parseSeriesLine(const std::vector<std::string>& fields) {
  // S id family label-value...
  SeriesLine line;
  if (fields.size() < 3 || !parseNumber(fields[1], line.id) ||
      !parseNumber(fields[2], line.family)) {
    return std::nullopt;
  }
  line.label_values.assign(fields.begin() + 3, fields.end());
  return line;
}

std::optional<InfoValueLine> parseInfoValueLine(const std::vector<std::string>& fields) {
  // V id series n label value ...
  InfoValueLine line;
  std::uint64_t count = 0;
  if (fields.size() < 4 || !parseNumber(fields[1], line.id) ||
      !parseNumber(fields[2], line.series) || !parseNumber(fields[3], count) ||
      count > kMaxLabels || fields.size() != 4 + 2 * count) {
    return std::nullopt;
  }
  for (std::size_t i = 4; i < fields.size(); i += 2) {
    line.labels.emplace_back(fields[i], fields[i + 1]);
  }
  line.refused = sortInfoLabels(line.labels) ? Reason::kCount : Reason::kInvalidLabels;
  return line;
}

std::optional<RecordName> parseRecordName(std::string_view name) {
  if (name.size() < 3 || name[0] != records::kMark) {
    return std::nullopt;
  }
  RecordName record;
  record.op = name[1];
  const std::string_view rest = name.substr(2);
  const bool keyed = records::isKeyed(record.op);
  const std::size_t colon = rest.find(records::kKeySeparator);
  if (keyed != (colon != std::string_view::npos) ||
      (keyed && !parseHex(rest.substr(colon + 1), record.key))) {
    return std::nullopt;
  }
  // A counter's or an observation's series made again after its removal carries a stamp.
  const std::size_t dot = keyed ? std::string_view::npos : rest.find(records::kStampSeparator);
  if (!parseHex(rest.substr(0, std::min(colon, dot)), record.id)) {
    return std::nullopt;
  }
  record.stamp = record.id;
  if (dot != std::string_view::npos &&
      (!parseHex(rest.substr(dot + 1), record.stamp) || record.stamp <= record.id)) {
    return std::nullopt;
  }
  return record;
}

}  // namespace zelnor::exporter
