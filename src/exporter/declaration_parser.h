// The lines of a declaration file and the names of the records of declared series, read into
// plain values: what each field says, or why it does not hold up. Nothing here knows what was
// declared before; DeclaredFamilies folds what is read into its families and series.
//
// metrics/record_format.h has the constants of both formats, docs/file-format.md what each line
// and each record means.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "exporter/names.h"

namespace zelnor::exporter {

// Bounds on a line's parts (DeclaredFamilies bounds the lines and what they declare).
inline constexpr std::size_t kMaxFieldBytes = 16 * 1024;
inline constexpr std::size_t kMaxLabels = 64;
inline constexpr std::size_t kMaxExtras = 1024;

enum class DeclaredType : std::uint8_t { kCounter, kGauge, kHistogram, kSummary, kInfo, kStateset };

struct DeclaredFamily {
  DeclaredType type = DeclaredType::kCounter;
  std::string name;
  std::string documentation;
  std::string unit;
  GaugeMode mode = GaugeMode::kAll;
  bool live = false;  // a live* gauge mode: values leave with their process
  std::vector<std::string> label_names;
  std::vector<std::string> extras;  // a histogram's bounds as spelled in `le`, an enum's states
  std::vector<double> bounds;       // a histogram's bounds
  std::string definition;           // all of the above, to compare a second declaration with
  // The users whose processes may declare it.
  std::vector<std::uint32_t> owners;
};

// Splits a line into its tab-separated fields and undoes their escapes; false when an escape is
// not one of \\, \t, \n or a field is too long.
bool splitFields(std::string_view line, std::vector<std::string>& fields);

// A decimal id or count: digits only, at most 18 of them.
bool parseNumber(std::string_view text, std::uint64_t& value);

// An id, stamp or key of a record: lowercase hex, at most 16 digits.
bool parseHex(std::string_view text, std::uint64_t& value);

// A bound as prometheus_client spells it in `le` ("+Inf", "0.25", "1e+06"), read back exactly:
// `le` serves it as spelled, so no other spelling of a number (" 1", "0x1p0", "inf") is taken,
// and no finite one read as infinite ("1e999").
bool parseBound(const std::string& text, double& value);

// What an F line declares. `family` is read as far as it holds up (its owners are left to the
// caller); `refused` says why the family is refused, kCount when it is not.
struct FamilyLine {
  std::uint64_t id = 0;
  DeclaredFamily family;
  Reason refused = Reason::kCount;
};

// No line when its id or counts do not hold up: then no family is declared under any id.
std::optional<FamilyLine> parseFamilyLine(const std::vector<std::string>& fields);

struct SeriesLine {
  std::uint64_t id = 0;
  std::uint64_t family = 0;
  std::vector<std::string> label_values;
};

std::optional<SeriesLine> parseSeriesLine(const std::vector<std::string>& fields);

// What a V line holds: labels that an info series takes as its state. `refused` is
// kInvalidLabels when a label name is not one an info's sample may have, or is there twice.
struct InfoValueLine {
  std::uint64_t id = 0;
  std::uint64_t series = 0;
  Labels labels;  // sorted, when not refused
  Reason refused = Reason::kCount;
};

std::optional<InfoValueLine> parseInfoValueLine(const std::vector<std::string>& fields);

// What the name of a record of a declared series says.
struct RecordName {
  char op = 0;  // taken as it is: an operation no series has is refused when folded
  std::uint64_t id = 0;
  std::uint64_t stamp = 0;  // the id, unless a counter's or an observation's record carries one
  std::uint64_t key = 0;    // a keyed operation's; 0 for the others
};

// No name when it does not begin with records::kMark, its id, stamp or key does not hold up, or
// a key is where none goes (or none where one does).
std::optional<RecordName> parseRecordName(std::string_view name);

}  // namespace zelnor::exporter
