// The metric records. Their layout is a file format: they are the slots of the queue files, and
// the same bytes live in the consumer's vectors and inside the Python objects.
//
//   bytes 0-63  name   metric name; a writer zero-fills the field and byte 63 is always 0
//   bytes 64-   value  int32 for counters (68 bytes in all), IEEE double otherwise (72 bytes)
//
// No padding anywhere, native byte order, at most 4-byte alignment: in a queue file a record
// starts at 12 + i * size, so a double there sits on a 4-byte boundary. Records are moved in and
// out of files as raw bytes only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

namespace zelnor {

inline constexpr std::size_t kNameSize = 64;

#pragma pack(push, 4)
struct CounterEntry {
  char name[kNameSize];
  std::int32_t value;
};

struct HistogramEntry {
  char name[kNameSize];
  double value;
};

struct GaugeEntry {
  char name[kNameSize];
  double value;
};
#pragma pack(pop)

static_assert(sizeof(CounterEntry) == 68 && offsetof(CounterEntry, value) == 64);
static_assert(sizeof(HistogramEntry) == 72 && offsetof(HistogramEntry, value) == 64);
static_assert(sizeof(GaugeEntry) == 72 && offsetof(GaugeEntry, value) == 64);
static_assert(alignof(CounterEntry) <= 4 && alignof(HistogramEntry) <= 4 &&
              alignof(GaugeEntry) <= 4);
static_assert(std::is_trivially_copyable_v<CounterEntry> &&
              std::is_trivially_copyable_v<HistogramEntry> &&
              std::is_trivially_copyable_v<GaugeEntry>);
static_assert(sizeof(double) == 8, "the file format carries IEEE 754 binary64 values");

// Fills a name field: the name's bytes up to its first zero byte, at most 63 of them (cut by
// bytes, not characters), and zeros for every byte after them, byte 63 included.
inline void fillName(char (&field)[kNameSize], std::string_view name) noexcept {
  // A fixed-size clear compiles to a few vector stores; the copy then overwrites the front.
  std::memset(field, 0, kNameSize);
  std::size_t length = name.size() < kNameSize - 1 ? name.size() : kNameSize - 1;
  if (length != 0) {
    if (const void* zero = std::memchr(name.data(), '\0', length)) {
      length = static_cast<std::size_t>(static_cast<const char*>(zero) - name.data());
    }
    std::memcpy(field, name.data(), length);
  }
}

// Reads a name field: the bytes up to its first zero byte, never past the field's end (a field
// without a zero byte, which no writer of this system produces, reads as all 64 bytes). Eight
// bytes at a time, inline: the consumer reads one per record.
inline std::string_view readName(const char (&field)[kNameSize]) noexcept {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  for (std::size_t at = 0; at < kNameSize; at += 8) {
    std::uint64_t word;
    std::memcpy(&word, field + at, 8);
    // The lowest set bit of this marks the first zero byte (the bits above it may be wrong).
    const std::uint64_t zeros = (word - kOnes) & ~word & kHighs;
    if (zeros != 0) {
      return std::string_view(field, at + static_cast<std::size_t>(__builtin_ctzll(zeros)) / 8);
    }
  }
  return std::string_view(field, kNameSize);
#else
  const void* zero = std::memchr(field, '\0', kNameSize);
  std::size_t length =
      zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - field) : kNameSize;
  return std::string_view(field, length);
#endif
}

}  // namespace zelnor
