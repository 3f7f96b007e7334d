// Which recorded names can become Prometheus series, and under which family: the exporter's rules
// (zelnor_exporter/names.py says why each exists), the same to the byte on this side.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelnor::exporter {

enum class Kind { kCounter, kHistogram, kGauge };
inline constexpr int kKinds = 3;

// Why an entry did not become a series; each is a label value of
// zelnor_exporter_rejected_entries_total.
enum class Reason {
  kUndecodableName,
  kInvalidName,
  kInvalidLabels,
  kReservedName,
  kReservedLabel,
  kReservedSuffix,
  kColonInName,
  kCamelCase,
  kTypeInName,
  kNonBaseUnit,
  kAbbreviatedUnit,
  kTypeConflict,
  kNameClash,
  kTooManySeries,
  kNegativeCounterIncrement,
  kNanObservation,
  kCount,
};

const char* reasonText(Reason reason) noexcept;

using Labels = std::vector<std::pair<std::string, std::string>>;  // sorted by name

struct Family {
  std::string name;
  Labels labels;
};

// True when `bytes` is valid UTF-8 as Python decodes it strictly (no surrogates, no overlong
// forms).
bool isValidUtf8(std::string_view bytes) noexcept;

// The family and labels a recorded name (valid UTF-8) of a kind becomes; false with `reason` set
// when it cannot become one. Labels with an empty value are dropped; a counter's trailing
// "_total"s are taken off.
bool familyOf(Kind kind, std::string_view recorded, Family& family, Reason& reason);

// The sample and family names a family of this kind occupies in either exposition format.
std::vector<std::string> occupiedNames(Kind kind, const std::string& name);

}  // namespace zelnor::exporter
