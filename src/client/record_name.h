// Writing the names of the records that name a declared series (metrics/record_format.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "metrics/record_format.h"

namespace zelnor::client {

// The mark, the operation, an id and a stamp of up to 16 hex digits each and the separator
// between them.
inline constexpr std::size_t kPrefixCapacity = 36;
// A prefix, the key's separator and the key.
inline constexpr std::size_t kKeyedNameCapacity = kPrefixCapacity + 1 + records::kKeyDigits;

// Writes `key` as records::kKeyDigits lowercase hex digits at `out`, a byte's two digits at a
// time.
inline void writeKey(char* out, std::uint64_t key) noexcept {
  static constexpr auto kPairs = [] {
    std::array<char, 512> pairs{};
    constexpr char kDigits[] = "0123456789abcdef";
    for (unsigned byte = 0; byte < 256; ++byte) {
      pairs[2 * byte] = kDigits[byte >> 4];
      pairs[2 * byte + 1] = kDigits[byte & 15u];
    }
    return pairs;
  }();
  static_assert(records::kKeyDigits == 16, "a 64-bit key, two digits a byte");
  for (int byte = 7; byte >= 0; --byte) {
    std::memcpy(out + 2 * byte, kPairs.data() + 2 * (key & 0xffu), 2);
    key >>= 8;
  }
}

// The id a record prefix names (its lowercase hex digits after the mark and the operation).
inline std::uint64_t idOf(const char* prefix, std::size_t size) noexcept {
  std::uint64_t id = 0;
  for (std::size_t at = 2; at < size; ++at) {
    const char c = prefix[at];
    id = id << 4 | static_cast<std::uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
  }
  return id;
}

}  // namespace zelnor::client
