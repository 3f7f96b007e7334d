// A hash table from recorded names to values, looked up by the bytes of a drained record's name
// without building a string: the lookup on the exporter's path for every record. Open addressing
// with linear probing; the table never holds more than half its slots. A name of a record (at most
// 64 bytes) is kept in its slot, beside its hash, so that a lookup of a name held reads one place
// in memory, after a byte per slot that a lookup of a name not held reads alone.
//
// The names come from files that anyone who can write the metrics directory may fill, so the hash
// is keyed: every table draws a key from the system's randomness when it is made, and which names
// share a run of slots depends on that key. Nobody who does not know it can choose names that all
// land in one run and make every lookup walk it.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix.h"

namespace zelnor::exporter {

namespace detail {

inline std::uint64_t load8(const char* bytes) noexcept {
  std::uint64_t word;
  std::memcpy(&word, bytes, 8);
  return word;
}

inline std::uint64_t load4(const char* bytes) noexcept {
  std::uint32_t word;
  std::memcpy(&word, bytes, 4);
  return word;
}

// The last bytes of a name of `size` bytes, read as whole words that may overlap the ones before:
// a copy of fewer bytes into a word would stall the load that follows it.
inline std::uint64_t tailWord(const char* bytes, std::size_t size) noexcept {
  if (size >= 8) {
    return load8(bytes + size - 8);
  }
  if (size >= 4) {
    return load4(bytes) | (load4(bytes + size - 4) << 32);
  }
  if (size == 0) {
    return 0;
  }
  const auto byte = [&](std::size_t at) {
    return std::uint64_t{static_cast<unsigned char>(bytes[at])};
  };
  return byte(0) | (byte(size / 2) << 8) | (byte(size - 1) << 16);
}

// The product of two 64-bit words, 128 bits wide, with its halves folded together by xor: the
// mixing step of the hash. The high half brings every bit of both words into the low bits, which
// choose a name's slot.
inline std::uint64_t foldedMultiply(std::uint64_t a, std::uint64_t b) noexcept {
#if defined(__SIZEOF_INT128__)
  __extension__ using Wide = unsigned __int128;
  const Wide product = static_cast<Wide>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
#else
  // No 128-bit integer (32-bit x86): the same product from four 32x32->64-bit ones.
  constexpr std::uint64_t kLow = 0xFFFFFFFFu;
  const std::uint64_t low_low = (a & kLow) * (b & kLow);
  const std::uint64_t high_low = (a >> 32) * (b & kLow);
  const std::uint64_t low_high = (a & kLow) * (b >> 32);
  const std::uint64_t high_high = (a >> 32) * (b >> 32);
  const std::uint64_t middle = (low_low >> 32) + (high_low & kLow) + low_high;  // cannot overflow
  const std::uint64_t upper = high_high + (high_low >> 32) + (middle >> 32);
  const std::uint64_t lower = (middle << 32) | (low_low & kLow);
  return lower ^ upper;
#endif
}

}  // namespace detail

// The secret words of a table's hash.
struct HashKey {
  std::uint64_t seed = 0;
  std::uint64_t block = 0;
  std::uint64_t last = 0;
  std::uint64_t finish = 0;
};

// A key from the system's randomness (getrandom, which needs no descriptor); should that fail,
// from the clock and an address, which still differ from one process and one table to the next.
inline HashKey randomHashKey() noexcept {
  std::uint64_t words[4] = {};
  auto* bytes = reinterpret_cast<unsigned char*>(words);
  std::size_t filled = 0;
  while (filled < sizeof words) {
    const ssize_t got = getRandom(bytes + filled, sizeof words - filled, false);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (got < 0 && errno != EINTR) {
      break;
    }
  }
  if (filled < sizeof words) {
    std::uint64_t state =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        reinterpret_cast<std::uintptr_t>(&filled);
    for (std::uint64_t& word : words) {
      state += 0x9E3779B97F4A7C15ULL;  // splitmix64
      word = detail::foldedMultiply(state ^ (state >> 31), 0xBF58476D1CE4E5B9ULL);
    }
  }
  return HashKey{words[0], words[1], words[2], words[3] | 1};
}

// A keyed hash of a short byte string (a metric name is at most 63 bytes): each 16-byte block is
// two words, each xored with a secret (or the state so far) and multiplied together in full
// width, the length is in the state from the start, and a last multiplication mixes it all. As in
// foldhash and wyhash: fast, and its collisions depend on the key.
inline std::uint64_t hashName(std::string_view name, const HashKey& key) noexcept {
  const char* bytes = name.data();
  const std::size_t size = name.size();
  std::uint64_t state = key.seed ^ size;
  std::uint64_t low = 0;
  std::uint64_t high = 0;
  if (size > 16) {
    // Whole blocks but the last; the last 16 bytes, which may overlap them, end the name.
    for (std::size_t at = 0; at + 16 < size; at += 16) {
      state = detail::foldedMultiply(detail::load8(bytes + at) ^ key.block,
                                     detail::load8(bytes + at + 8) ^ state);
    }
    low = detail::load8(bytes + size - 16);
    high = detail::load8(bytes + size - 8);
  } else if (size >= 8) {
    low = detail::load8(bytes);
    high = detail::load8(bytes + size - 8);
  } else {
    low = detail::tailWord(bytes, size);
  }
  state = detail::foldedMultiply(low ^ key.last, high ^ state);
  return detail::foldedMultiply(state ^ key.seed, key.finish);
}

// Compares two names of equal length inline, eight bytes at a time: a library call per record
// costs more than the comparison itself.
inline bool sameBytes(const char* held, std::string_view name) noexcept {
  std::size_t at = 0;
  for (; at + 8 <= name.size(); at += 8) {
    if (detail::load8(held + at) != detail::load8(name.data() + at)) {
      return false;
    }
  }
  return at == name.size() ||
         detail::tailWord(held, name.size()) == detail::tailWord(name.data(), name.size());
}

template <typename Value>
class NameTable {
 public:
  NameTable() : key_(randomHashKey()) {}

  std::size_t size() const noexcept { return size_; }

  Value* find(std::string_view name) noexcept {
    if (slots_.empty()) {
      return nullptr;
    }
    const std::uint64_t hash = hashName(name, key_);
    const std::uint8_t tag = tagOf(hash);
    for (std::size_t at = hash & mask_;; at = (at + 1) & mask_) {
      if (tags_[at] == kEmpty) {
        return nullptr;
      }
      if (tags_[at] == tag) {
        Slot& slot = slots_[at];
        if (slot.hash == hash && slot.size == name.size() && sameBytes(slot.bytes(), name)) {
          return &slot.value;
        }
      }
    }
  }

  // Adds `name` (not present yet) and returns its value, default-constructed.
  Value& insert(std::string_view name) {
    if ((size_ + 1) * 2 > slots_.size()) {
      grow();
    }
    const std::uint64_t hash = hashName(name, key_);
    const std::size_t at = freeSlot(hash);
    tags_[at] = tagOf(hash);
    Slot& slot = slots_[at];
    slot.hash = hash;
    slot.size = name.size();
    if (name.size() <= kInline) {
      std::memcpy(slot.name, name.data(), name.size());
    } else {
      slot.long_name.assign(name.data(), name.size());
    }
    slot.value = Value();
    ++size_;
    return slot.value;
  }

  // Calls visit(name, value) for every name held, in no particular order.
  template <typename Visit>
  void forEach(Visit&& visit) const {
    for (std::size_t at = 0; at < slots_.size(); ++at) {
      if (tags_[at] != kEmpty) {
        visit(std::string_view(slots_[at].bytes(), slots_[at].size), slots_[at].value);
      }
    }
  }

  // Empties the table, under a new key; its slots stay for the names to come.
  void reset() {
    for (std::size_t at = 0; at < slots_.size(); ++at) {
      if (tags_[at] != kEmpty) {
        tags_[at] = kEmpty;
        slots_[at].long_name = std::string();
        slots_[at].value = Value();
      }
    }
    size_ = 0;
    key_ = randomHashKey();
  }

 private:
  static constexpr std::size_t kInline = 64;
  // A byte per slot beside the slots, read first: kEmpty, or seven bits of the hash of the name
  // held (with the top bit set), so that a lookup of a name that is not there reads little more
  // than these bytes.
  static constexpr std::uint8_t kEmpty = 0;

  struct Slot {
    std::uint64_t hash = 0;
    std::size_t size = 0;
    char name[kInline] = {};
    std::string long_name;  // names longer than kInline, which no record holds
    Value value{};

    const char* bytes() const noexcept { return size <= kInline ? name : long_name.data(); }
  };

  static std::uint8_t tagOf(std::uint64_t hash) noexcept {
    return static_cast<std::uint8_t>(0x80 | (hash >> 57));
  }

  std::size_t freeSlot(std::uint64_t hash) const noexcept {
    std::size_t at = hash & mask_;
    while (tags_[at] != kEmpty) {
      at = (at + 1) & mask_;
    }
    return at;
  }

  void grow() {
    std::vector<Slot> old;
    std::vector<std::uint8_t> old_tags;
    old.swap(slots_);
    old_tags.swap(tags_);
    slots_.resize(old.empty() ? 64 : old.size() * 2);
    tags_.assign(slots_.size(), kEmpty);
    mask_ = slots_.size() - 1;
    for (std::size_t from = 0; from < old.size(); ++from) {
      if (old_tags[from] != kEmpty) {
        const std::size_t at = freeSlot(old[from].hash);
        tags_[at] = old_tags[from];
        slots_[at] = std::move(old[from]);
      }
    }
  }

  HashKey key_;
  std::vector<Slot> slots_;
  std::vector<std::uint8_t> tags_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

}  // namespace zelnor::exporter
