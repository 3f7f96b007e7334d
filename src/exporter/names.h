// Which recorded names can become Prometheus series, and under which family: the exporter's rules
// (tests/python/oracle/names.py says why each exists), the same to the byte on this side. A name is
// refused only when serving it would make a scrape unreadable or take another family's names; a
// name that merely breaks one of Prometheus' naming conventions is served as recorded.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "metrics/entries.h"

namespace zelnor::exporter {

enum class Kind { kCounter, kHistogram, kGauge };
inline constexpr int kKinds = 3;

// How the values producer processes gave one gauge series make its samples. kLast: the latest
// (of a recorded name, the value drained last, whoever set it; of a declared family, the value
// written last, by its key: prometheus_client's mostrecent); kSum, kMax, kMin: the sum, greatest
// or least of each producer's latest value; kAll: each of them, labelled "pid". Recorded names'
// values leave with their producer; a declared family's stay unless its mode is a live one.
enum class GaugeMode { kLast, kSum, kMax, kMin, kAll };

const char* kindText(Kind kind) noexcept;  // "counter", "histogram", "gauge"

// Why an entry did not become a series; each is a label value of
// zelnor_exporter_rejected_entries_total.
enum class Reason {
  kUndecodableName,
  kInvalidName,
  kInvalidLabels,
  kTruncatedName,
  kReservedName,
  kReservedLabel,
  kTypeConflict,
  kNameClash,
  kTooManySeries,
  kTooManyNewNames,  // new when the budget for new names and the backlog were both spent
  kNegativeCounterIncrement,
  kNanObservation,
  kUndeclaredSeries,     // a declared-series record whose process has not declared that series
  kDeclarationConflict,  // a family a process declares otherwise than the one served
  kInvalidDeclaration,   // a declaration line that does not hold up
  kKeyAhead,             // a keyed write whose key is far ahead of the exporter's clock
  kUserBudget,           // a declaration past what the exporter keeps for its user, or in all
  kCount,
};

const char* reasonText(Reason reason) noexcept;

// A naming convention of Prometheus (promtool check metrics reports it) that a served name breaks.
enum class Convention {
  kColonInName,
  kCamelCase,
  kReservedSuffix,
  kReservedLabel,
  kTypeInName,
  kNonBaseUnit,
  kAbbreviatedUnit,
  kCount,
};

const char* conventionText(Convention convention) noexcept;

// Whether a family of this name would take one of the exporter's own: its health (zelnor_...) or
// the process metrics it serves of itself and of each producer (process_open_fds, ...).
bool isReservedFamily(std::string_view name) noexcept;

// The most bytes a record keeps of a recorded name: its name field but for the closing zero.
inline constexpr std::size_t kRecordedNameBytes = kNameSize - 1;

using Labels = std::vector<std::pair<std::string, std::string>>;  // sorted by name

struct Family {
  std::string name;
  Labels labels;
};

// [a-zA-Z_:][a-zA-Z0-9_:]* and [a-zA-Z_][a-zA-Z0-9_]*: the names both exposition formats read.
bool isMetricName(std::string_view name);
bool isLabelName(std::string_view name);

// True when `bytes` is valid UTF-8 as Python decodes it strictly (no surrogates, no overlong
// forms).
bool isValidUtf8(std::string_view bytes) noexcept;

// The family and labels a recorded name (any bytes) of a kind becomes; false with `reason` set when
// it cannot become one. Labels with an empty value are dropped; a counter's trailing "_total"s are
// taken off.
bool familyOf(Kind kind, std::string_view recorded, Family& family, Reason& reason);

// The naming conventions a family of this kind breaks, in the order of Convention; none for most.
std::vector<Convention> conventionsBroken(Kind kind, const Family& family);

// The sample and family names a family of this kind occupies in either exposition format.
std::vector<std::string> occupiedNames(Kind kind, const std::string& name);

}  // namespace zelnor::exporter
