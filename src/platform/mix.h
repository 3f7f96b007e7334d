// splitmix64's finaliser: spreads every bit of its input over the whole result. Keys and names
// built from process identities go through it.
#pragma once

#include <cstdint>

namespace zelnor {

constexpr std::uint64_t mixBits(std::uint64_t value) noexcept {
  value ^= value >> 30;
  value *= 0xbf58476d1ce4e5b9ULL;
  value ^= value >> 27;
  value *= 0x94d049bb133111ebULL;
  return value ^ (value >> 31);
}

}  // namespace zelnor
