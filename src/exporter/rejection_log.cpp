#include "exporter/rejection_log.h"

#include <iostream>

#include "platform/posix.h"

namespace zelnor::exporter {
namespace {

// One insertion of the whole line, as writeErrorLine does, so that lines never interleave.
void writeNoteLine(std::string_view message) {
  std::string line;
  line.reserve(message.size() + 20);
  line.append("zelnor-exporter: ").append(message).append("\n");
  std::cout << line << std::flush;
}

}  // namespace

std::string RejectionLog::quoted(std::string_view recorded) {
  constexpr char kHex[] = "0123456789abcdef";
  const std::string_view shown = recorded.substr(0, kMaxNameBytes);
  std::string text = "\"";
  for (const char c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\' || c == '"') {
      text.push_back('\\');
      text.push_back(c);
    } else if (byte >= 0x20 && byte < 0x7F) {
      text.push_back(c);
    } else {
      text.append("\\x").push_back(kHex[byte >> 4]);
      text.push_back(kHex[byte & 0xF]);
    }
  }
  text.push_back('"');
  if (shown.size() < recorded.size()) {
    text += " (its first " + std::to_string(shown.size()) + " of " +
            std::to_string(recorded.size()) + " bytes)";
  }
  return text;
}

bool RejectionLog::firstTime(Kind kind, std::string_view recorded, std::uint32_t bit,
                             std::size_t& said, bool error) {
  NameTable<std::uint32_t>& table = said_[static_cast<int>(kind)];
  std::uint32_t* bits = table.find(recorded);
  if (bits != nullptr && (*bits & bit) != 0) {
    return false;
  }
  if (said >= kMaxLines) {
    if (said == kMaxLines) {
      ++said;
      const std::string count = std::to_string(kMaxLines);
      if (error) {
        writeErrorLine("Dropping entries of further names without a line: " + count +
                       " said already; zelnor_exporter_rejected_entries_total counts every "
                       "dropped entry by reason");
      } else {
        writeNoteLine(
            "further names that break Prometheus' naming conventions are served "
            "without a line: " +
            count + " said already");
      }
    }
    return false;
  }
  if (bits == nullptr) {
    bits = &table.insert(recorded);
  }
  *bits |= bit;
  ++said;
  return true;
}

void RejectionLog::dropped(Kind kind, std::string_view recorded, Reason reason) {
  if (!firstTime(kind, recorded, 1u << static_cast<int>(reason), errors_said_, true)) {
    return;
  }
  std::string line = std::string("Dropping ") + kindText(kind) + " entries named " +
                     quoted(recorded) + ": " + reasonText(reason);
  if (reason == Reason::kTruncatedName) {
    line += " (a record keeps the first " + std::to_string(kRecordedNameBytes) +
            " bytes of a name, and this one's labels were cut)";
  }
  writeErrorLine(line);
}

void RejectionLog::served(Kind kind, std::string_view recorded,
                          const std::vector<Convention>& broken) {
  if (broken.empty() || !firstTime(kind, recorded, kServedBit, notes_said_, false)) {
    return;
  }
  std::string line = std::string("serving ") + kindText(kind) + " " + quoted(recorded) +
                     " as recorded; it breaks Prometheus' naming conventions: ";
  for (std::size_t i = 0; i < broken.size(); ++i) {
    line += (i == 0 ? "" : ", ");
    line += conventionText(broken[i]);
  }
  writeNoteLine(line);
}

}  // namespace zelnor::exporter
