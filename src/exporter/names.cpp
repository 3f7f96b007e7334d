#include "exporter/names.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>

namespace zelnor::exporter {

namespace {

constexpr std::array<const char*, static_cast<int>(Reason::kCount)> kReasonTexts = {
    "undecodable_name",
    "invalid_name",
    "invalid_labels",
    "truncated_name",
    "reserved_name",
    "reserved_label",
    "type_conflict",
    "name_clash",
    "too_many_series",
    "too_many_new_names",
    "negative_counter_increment",
    "nan_observation",
    "undeclared_series",
    "declaration_conflict",
    "invalid_declaration",
    "key_ahead",
    "user_budget"};

constexpr std::array<const char*, static_cast<int>(Convention::kCount)> kConventionTexts = {
    "colon_in_name", "camel_case",    "reserved_suffix", "reserved_label",
    "type_in_name",  "non_base_unit", "abbreviated_unit"};

struct Unit {
  std::string_view name;
  std::string_view base;
};

// promtool's units, each with its base unit; any may carry one of the prefixes.
constexpr Unit kUnits[] = {
    {"amperes", "amperes"},    {"bytes", "bytes"},     {"celsius", "celsius"},
    {"grams", "grams"},        {"joules", "joules"},   {"kelvin", "kelvin"},
    {"meters", "meters"},      {"metres", "metres"},   {"seconds", "seconds"},
    {"volts", "volts"},        {"minutes", "seconds"}, {"hours", "seconds"},
    {"days", "seconds"},       {"weeks", "seconds"},   {"kelvins", "kelvin"},
    {"fahrenheit", "celsius"}, {"rankine", "celsius"}, {"inches", "meters"},
    {"yards", "meters"},       {"miles", "meters"},    {"bits", "bytes"},
    {"calories", "joules"},    {"pounds", "grams"},    {"ounces", "grams"}};
constexpr std::string_view kUnitPrefixes[] = {"pico", "nano",  "micro", "milli", "centi", "deci",
                                              "deca", "hecto", "kilo",  "kibi",  "mega",  "mibi",
                                              "giga", "gibi",  "tera",  "tebi",  "peta",  "pebi"};
constexpr std::string_view kUnitAbbreviations[] = {"s",  "ms", "us", "ns", "sec", "b", "kb",
                                                   "mb", "gb", "tb", "pb", "m",   "h", "d"};
constexpr std::string_view kReservedPrefix = "zelnor_";
// The families of the process metrics (the exporter's own, and each producer's), as names a
// family of any kind may take: a counter's family is named without _total, a gauge's with it.
constexpr std::string_view kProcessFamilies[] = {
    "process_cpu_seconds",       "process_cpu_seconds_total",    "process_open_fds",
    "process_max_fds",           "process_virtual_memory_bytes", "process_resident_memory_bytes",
    "process_start_time_seconds"};
constexpr std::string_view kTotal = "_total";

bool isAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// [a-z][A-Z] anywhere
bool isCamelCase(std::string_view name) {
  for (std::size_t i = 1; i < name.size(); ++i) {
    if (name[i - 1] >= 'a' && name[i - 1] <= 'z' && name[i] >= 'A' && name[i] <= 'Z') {
      return true;
    }
  }
  return false;
}

std::string lowered(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return result;
}

// The length of the UTF-8 sequence that starts with `lead` (the text is valid UTF-8).
std::size_t sequenceLength(unsigned char lead) {
  return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

// Parses the labels between the braces: [ws]*label[ws]*=[ws]*"value"[ws]*(,|end), repeated.
bool parseLabels(std::string_view body, Labels& labels) {
  std::size_t at = 0;
  auto skipSpace = [&] {
    while (at < body.size() && isSpace(body[at])) {
      ++at;
    }
  };
  while (at < body.size()) {
    skipSpace();
    const std::size_t label_start = at;
    while (at < body.size() && body[at] != '=' && !isSpace(body[at])) {
      ++at;
    }
    if (at == label_start) {
      return false;
    }
    const std::string_view label = body.substr(label_start, at - label_start);
    skipSpace();
    if (at >= body.size() || body[at] != '=') {
      return false;
    }
    ++at;
    skipSpace();
    if (at >= body.size() || body[at] != '"') {
      return false;
    }
    ++at;
    std::string value;
    while (at < body.size() && body[at] != '"') {
      if (body[at] == '\\') {
        if (at + 1 >= body.size()) {
          return false;
        }
        const std::size_t length = sequenceLength(static_cast<unsigned char>(body[at + 1]));
        if (body[at + 1] == 'n') {
          value.push_back('\n');
        } else {
          value.append(body.substr(at + 1, length));
        }
        at += 1 + length;
      } else {
        value.push_back(body[at]);
        ++at;
      }
    }
    if (at >= body.size()) {
      return false;
    }
    ++at;  // the closing quote
    skipSpace();
    if (at < body.size()) {
      if (body[at] != ',') {
        return false;
      }
      ++at;
    }
    if (!isLabelName(label) || label.substr(0, 2) == "__") {
      return false;
    }
    for (const auto& [name, ignored] : labels) {
      if (name == label) {
        return false;
      }
    }
    labels.emplace_back(std::string(label), std::move(value));
  }
  return true;
}

// promtool's unit rule: the first part of the name that is a unit must be a base unit.
bool hasUnitProblem(std::string_view name) {
  while (true) {
    const std::size_t end = name.find('_');
    const std::string_view part = name.substr(0, end);
    for (const Unit& unit : kUnits) {
      if (part == unit.name) {
        return unit.name != unit.base;
      }
    }
    for (std::string_view prefix : kUnitPrefixes) {
      if (part.substr(0, prefix.size()) == prefix) {
        const std::string_view rest = part.substr(prefix.size());
        for (const Unit& unit : kUnits) {
          if (rest == unit.name) {
            return true;
          }
        }
      }
    }
    if (end == std::string_view::npos) {
      return false;
    }
    name.remove_prefix(end + 1);
  }
}

// The bytes of `text` without an incomplete UTF-8 sequence at its end, such as a cut leaves.
std::string_view withoutCutSequence(std::string_view text) {
  for (std::size_t back = 1; back <= 3 && back <= text.size(); ++back) {
    const auto byte = static_cast<unsigned char>(text[text.size() - back]);
    if ((byte & 0xC0) != 0x80) {  // not a continuation byte: the last sequence starts here
      const std::size_t needed = byte >= 0xC2 && byte <= 0xDF   ? 2
                                 : byte >= 0xE0 && byte <= 0xEF ? 3
                                 : byte >= 0xF0 && byte <= 0xF4 ? 4
                                                                : 1;
      return needed > back ? text.substr(0, text.size() - back) : text;
    }
  }
  return text;
}

// A record's name that the 63-byte cut fell into: as long as a record holds, a metric name whose
// labels begin and never close, and valid UTF-8 but for a sequence the cut left incomplete.
bool isTruncated(std::string_view recorded) {
  const std::size_t brace = recorded.find('{');
  return recorded.size() == kRecordedNameBytes && brace != std::string_view::npos &&
         recorded.back() != '}' && isMetricName(recorded.substr(0, brace)) &&
         isValidUtf8(withoutCutSequence(recorded));
}

}  // namespace

// [a-zA-Z_:][a-zA-Z0-9_:]*
bool isMetricName(std::string_view name) {
  if (name.empty() || !(isAsciiLetter(name[0]) || name[0] == '_' || name[0] == ':')) {
    return false;
  }
  return std::all_of(name.begin(), name.end(),
                     [](char c) { return isAsciiLetter(c) || isDigit(c) || c == '_' || c == ':'; });
}

// [a-zA-Z_][a-zA-Z0-9_]*
bool isLabelName(std::string_view name) {
  if (name.empty() || !(isAsciiLetter(name[0]) || name[0] == '_')) {
    return false;
  }
  return std::all_of(name.begin(), name.end(),
                     [](char c) { return isAsciiLetter(c) || isDigit(c) || c == '_'; });
}

const char* kindText(Kind kind) noexcept {
  return kind == Kind::kCounter ? "counter" : kind == Kind::kHistogram ? "histogram" : "gauge";
}

const char* reasonText(Reason reason) noexcept {
  return kReasonTexts[static_cast<std::size_t>(reason)];
}

const char* conventionText(Convention convention) noexcept {
  return kConventionTexts[static_cast<std::size_t>(convention)];
}

bool isValidUtf8(std::string_view bytes) noexcept {
  std::size_t at = 0;
  while (at < bytes.size()) {
    const unsigned char lead = static_cast<unsigned char>(bytes[at]);
    if (lead < 0x80) {
      ++at;
      continue;
    }
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code = lead & 0x07;
    } else {
      return false;
    }
    if (at + length > bytes.size()) {
      return false;
    }
    for (std::size_t i = 1; i < length; ++i) {
      const unsigned char next = static_cast<unsigned char>(bytes[at + i]);
      if ((next & 0xC0) != 0x80) {
        return false;
      }
      code = (code << 6) | (next & 0x3F);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    if (overlong || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    at += length;
  }
  return true;
}

bool familyOf(Kind kind, std::string_view recorded, Family& family, Reason& reason) {
  auto refuse = [&](Reason why) {
    reason = why;
    return false;
  };
  if (isTruncated(recorded)) {
    return refuse(Reason::kTruncatedName);
  }
  if (!isValidUtf8(recorded)) {
    return refuse(Reason::kUndecodableName);
  }
  const std::size_t brace = recorded.find('{');
  std::string_view name = recorded.substr(0, brace);
  if (!isMetricName(name)) {
    return refuse(Reason::kInvalidName);
  }
  Labels labels;
  if (brace != std::string_view::npos) {
    const std::string_view rest = recorded.substr(brace + 1);
    if (rest.empty() || rest.back() != '}' ||
        !parseLabels(rest.substr(0, rest.size() - 1), labels)) {
      return refuse(Reason::kInvalidLabels);
    }
  }
  labels.erase(std::remove_if(labels.begin(), labels.end(),
                              [](const auto& label) { return label.second.empty(); }),
               labels.end());
  std::sort(labels.begin(), labels.end());
  if (kind == Kind::kCounter) {
    while (endsWith(name, kTotal)) {  // the exposition adds the suffix to every counter
      name.remove_suffix(kTotal.size());
    }
    if (!isMetricName(name)) {
      return refuse(Reason::kInvalidName);
    }
  }
  if (isReservedFamily(name)) {
    return refuse(Reason::kReservedName);
  }
  if (kind == Kind::kHistogram) {
    for (const auto& [label, ignored] : labels) {
      if (label == "le") {  // the buckets' own label
        return refuse(Reason::kReservedLabel);
      }
    }
  }
  family.name = std::string(name);
  family.labels = std::move(labels);
  return true;
}

bool isReservedFamily(std::string_view name) noexcept {
  return name.substr(0, kReservedPrefix.size()) == kReservedPrefix ||
         std::find(std::begin(kProcessFamilies), std::end(kProcessFamilies), name) !=
             std::end(kProcessFamilies);
}

std::vector<Convention> conventionsBroken(Kind kind, const Family& family) {
  std::vector<Convention> broken;
  const std::string& name = family.name;
  // promtool reads the family of a counter in the text format as `name_total`.
  const std::string exposed = name + (kind == Kind::kCounter ? "_total" : "");
  const std::string lower = lowered(exposed);
  if (contains(name, ":")) {
    broken.push_back(Convention::kColonInName);
  }
  bool camel = isCamelCase(name);
  bool reserved_label = false;
  for (const auto& [label, ignored] : family.labels) {
    camel = camel || isCamelCase(label);
    reserved_label = reserved_label || label == "le" || label == "quantile";
  }
  if (camel) {
    broken.push_back(Convention::kCamelCase);
  }
  if ((kind != Kind::kCounter && endsWith(name, kTotal)) ||
      (kind == Kind::kGauge &&
       (endsWith(name, "_bucket") || endsWith(name, "_count") || endsWith(name, "_sum")))) {
    broken.push_back(Convention::kReservedSuffix);
  }
  if (reserved_label) {
    broken.push_back(Convention::kReservedLabel);
  }
  const std::string type = kindText(kind);
  if (contains(lower, "_" + type + "_") || endsWith(lower, "_" + type)) {
    broken.push_back(Convention::kTypeInName);
  }
  if (hasUnitProblem(exposed)) {
    broken.push_back(Convention::kNonBaseUnit);
  }
  for (std::string_view unit : kUnitAbbreviations) {
    const std::string part = "_" + std::string(unit);
    if (contains(lower, part + "_") || endsWith(lower, part)) {
      broken.push_back(Convention::kAbbreviatedUnit);
      break;
    }
  }
  return broken;
}

std::vector<std::string> occupiedNames(Kind kind, const std::string& name) {
  switch (kind) {
    case Kind::kCounter:
      return {name, name + "_total", name + "_created"};
    case Kind::kHistogram:
      return {name, name + "_bucket", name + "_count", name + "_sum", name + "_created"};
    case Kind::kGauge:
      break;
  }
  return {name};
}

}  // namespace zelnor::exporter
