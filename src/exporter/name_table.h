// A hash table from recorded names to values, looked up by the bytes of a drained record's name
// without building a string: the lookup on the exporter's path for every record. Open addressing
// with linear probing; the table never holds more than half its slots. A name of a record (at most
// 64 bytes) is kept in its slot, beside its hash, so that a lookup reads one place in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

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

}  // namespace detail

// A fast hash of a short byte string (a metric name is at most 63 bytes): eight bytes at a time,
// each word multiplied on its own so that the products overlap, then one mixing step.
inline std::uint64_t hashName(std::string_view name) noexcept {
  constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;
  constexpr std::uint64_t kOdd = 0xC2B2AE3D27D4EB4FULL;
  std::uint64_t hash = name.size() * kMultiplier;
  std::size_t at = 0;
  std::uint64_t salt = kOdd;
  for (; at + 8 <= name.size(); at += 8, salt += kMultiplier) {
    hash += (detail::load8(name.data() + at) ^ salt) * kOdd;
  }
  if (at < name.size()) {
    hash += (detail::tailWord(name.data(), name.size()) ^ salt) * kOdd;
  }
  hash ^= hash >> 31;
  hash *= kMultiplier;
  return hash ^ (hash >> 29);
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
  std::size_t size() const noexcept { return size_; }

  Value* find(std::string_view name) noexcept {
    if (slots_.empty()) {
      return nullptr;
    }
    const std::uint64_t hash = hashName(name);
    for (std::size_t at = hash & mask_;; at = (at + 1) & mask_) {
      Slot& slot = slots_[at];
      if (!slot.used) {
        return nullptr;
      }
      if (slot.hash == hash && slot.size == name.size() && sameBytes(slot.bytes(), name)) {
        return &slot.value;
      }
    }
  }

  // Adds `name` (not present yet) and returns its value, default-constructed.
  Value& insert(std::string_view name) {
    if ((size_ + 1) * 2 > slots_.size()) {
      grow();
    }
    const std::uint64_t hash = hashName(name);
    std::size_t at = hash & mask_;
    while (slots_[at].used) {
      at = (at + 1) & mask_;
    }
    Slot& slot = slots_[at];
    slot.used = true;
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

  void clear() {
    slots_.clear();
    mask_ = 0;
    size_ = 0;
  }

 private:
  static constexpr std::size_t kInline = 64;

  struct Slot {
    std::uint64_t hash = 0;
    std::size_t size = 0;
    bool used = false;
    char name[kInline] = {};
    std::string long_name;  // names longer than kInline, which no record holds
    Value value{};

    const char* bytes() const noexcept { return size <= kInline ? name : long_name.data(); }
  };

  void grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    slots_.resize(old.empty() ? 64 : old.size() * 2);
    mask_ = slots_.size() - 1;
    for (Slot& slot : old) {
      if (slot.used) {
        std::size_t at = slot.hash & mask_;
        while (slots_[at].used) {
          at = (at + 1) & mask_;
        }
        slots_[at] = std::move(slot);
      }
    }
  }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

}  // namespace zelnor::exporter
