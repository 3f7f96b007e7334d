// The names of the records that zelnor_client writes for the series its processes declare, and the
// kinds of its declaration lines: one description for the writer (zelnor_client._native, and
// zelnor_client.metrics through the module's constants) and the reader (the exporter's
// DeclaredFamilies). docs/file-format.md says what each record and each line means.
#pragma once

#include <cstddef>

namespace zelnor::records {

// Byte 0 of every such record's name: no metric name begins with it.
inline constexpr char kMark = '\x01';

// Byte 1: what the record does.
inline constexpr char kCounter = 'c';  // add the value to a counter
inline constexpr char kObserve = 'o';  // observe the value (a histogram or a summary)
inline constexpr char kGauge = 'g';    // write a gauge's value
inline constexpr char kEnum = 'e';     // set an enum's state, the value its index
inline constexpr char kInfo = 'i';     // set an info's labels, the value their V line's id
inline constexpr char kRemove = 'r';   // remove a series
inline constexpr char kClear = 'x';    // remove every series of a family
inline constexpr char kRevive = 'n';   // serve a removed series again: its label set was made again
// A labelled parent's operation: it names no series and is never recorded.
inline constexpr char kParent = '-';

// Then the series' (for kClear the family's) id in lowercase hex. The keyed operations add
// kKeySeparator and the write's key in kKeyDigits lowercase hex digits: it orders the writes of one
// series, whichever thread made them. kCounter and kObserve of a series made again after its
// removal add kStampSeparator and its stamp in lowercase hex instead.
inline constexpr char kKeySeparator = ':';
inline constexpr char kStampSeparator = '.';
inline constexpr std::size_t kKeyDigits = 16;

// Whether records of operation `op` carry a key.
constexpr bool isKeyed(char op) noexcept {
  return op == kGauge || op == kEnum || op == kInfo || op == kRemove || op == kClear ||
         op == kRevive;
}

// The kinds of the declaration file's lines (the first field of each), after the line
// kProcessFileHeader (metrics/process_file.h).
inline constexpr char kFamilyLine = 'F';
inline constexpr char kSeriesLine = 'S';
inline constexpr char kInfoValueLine = 'V';

}  // namespace zelnor::records
