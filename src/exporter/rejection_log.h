// The exporter's word on the names it does not serve as a Prometheus user would expect, on its
// standard output, where its other lines go (a supervisor's journal, a container's log):
//
//   ERROR: Dropping counter entries named "http_requests/login": invalid_name
//   zelnor-exporter: serving gauge "cacheHits" as recorded; it breaks Prometheus' naming
//   conventions: camel_case                                       (one line, wrapped here)
//
// A dropped entry is lost data, so its line is an error line: one per distinct kind, recorded
// name and reason. A name served although it breaks a naming convention gets one plain line per
// kind and name. Each sort is bounded: after kMaxLines of it, one more line says that further
// ones are only counted (zelnor_exporter_rejected_entries_total keeps counting drops by reason),
// so that a flood of names cannot fill a log. A name is quoted with `\`, `"` and every byte outside
// printable ASCII escaped (\xHH), so that no name can end a line or forge another.
//
// Used by the folding thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "exporter/name_table.h"
#include "exporter/names.h"

namespace zelnor::exporter {

class RejectionLog {
 public:
  static constexpr std::size_t kMaxLines = 1000;

  // Says once per kind, name and reason that entries of that name are dropped.
  void dropped(Kind kind, std::string_view recorded, Reason reason);
  // Says once per kind and name that a name breaking `broken` is served; nothing when it is empty.
  void served(Kind kind, std::string_view recorded, const std::vector<Convention>& broken);

  // The name as a log line shows it: quoted, escaped, its first kMaxNameBytes bytes at most.
  static std::string quoted(std::string_view recorded);
  static constexpr std::size_t kMaxNameBytes = 128;

 private:
  static constexpr std::uint32_t kServedBit = 1u << 31;  // beside one bit per Reason
  static_assert(static_cast<int>(Reason::kCount) < 31, "a bit per reason, and one for serving");

  // Marks `bit` for the name and tells whether a line is to be said: false when it was said
  // already, or when the sort's budget `said` is spent (then the closing line is said once).
  bool firstTime(Kind kind, std::string_view recorded, std::uint32_t bit, std::size_t& said,
                 bool error);

  NameTable<std::uint32_t> said_[kKinds];  // per name, the bits of what was said of it
  std::size_t errors_said_ = 0;
  std::size_t notes_said_ = 0;
};

}  // namespace zelnor::exporter
