// A hash table from recorded names to values, looked up by the bytes of a drained record's name
// without building a string: the lookup on the exporter's path for every record. Open addressing
// with linear probing; the table never holds more than half its slots.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace zelnor::exporter {

// A fast hash of a short byte string (a metric name is at most 63 bytes): eight bytes at a time.
inline std::uint64_t hashName(std::string_view name) noexcept {
  constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;
  std::uint64_t hash = name.size() * kMultiplier;
  std::size_t at = 0;
  for (; at + 8 <= name.size(); at += 8) {
    std::uint64_t word;
    std::memcpy(&word, name.data() + at, 8);
    hash = (hash ^ word) * kMultiplier;
    hash ^= hash >> 29;
  }
  if (at < name.size()) {
    std::uint64_t word = 0;
    std::memcpy(&word, name.data() + at, name.size() - at);
    hash = (hash ^ word) * kMultiplier;
  }
  hash ^= hash >> 32;
  return hash * kMultiplier;
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
      if (slot.hash == hash && slot.name == name) {
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
    slot.name.assign(name.data(), name.size());
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
  struct Slot {
    bool used = false;
    std::uint64_t hash = 0;
    std::string name;
    Value value{};
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
