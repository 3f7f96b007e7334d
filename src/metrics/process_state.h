// A process's state file: what an exporter that starts while the process lives cannot learn from
// the rings, which keep no state. Beside the process file (process_file.h), under its name and
// ".state":
//
//   .producers/<pid>.<start>.<token>.state   mode 0644 less the umask, kStateFileSize bytes
//                                            (sparse: only the pages written are held)
//
//   bytes 0..31    StateHeader: kStateMagic, kStateVersion, kStateSlots, and how many slots are
//                  in use (every slot below it may hold something, every one from it on is empty)
//   then           kStateSlots StateSlots of 32 bytes, each the last keyed write of one series or
//                  family of the process, as its record said it: the operation byte (g, e, i, r,
//                  x, n of zelnor_client's records), the id, the key and the value
//
// Every field is a 32-bit word, so that no access into the file needs more than 4-byte
// alignment, on 32-bit x86 too. The process is the only writer of its file, and writes a slot
// under the slot's seqlock: the sequence word odd while the rest changes, even again after; a
// reader takes a slot whose two copies read one after the other are equal and even. The file is
// untrusted for its reader: it is opened without following a link, read only as a regular file
// with one link of the process file's owner, with its counts bounded, and a slot that does not
// read the same twice is left out.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace zelnor {

inline constexpr std::string_view kStateFileSuffix = ".state";
inline constexpr std::uint32_t kStateMagic = 0x5a535431;  // "ZST1"
inline constexpr std::uint32_t kStateVersion = 1;
inline constexpr std::uint32_t kStateSlots = 1u << 17;

using StateWord = std::atomic<std::uint32_t>;
static_assert(StateWord::is_always_lock_free && sizeof(StateWord) == 4 && alignof(StateWord) == 4,
              "state words are plain 32-bit words on every width");

struct StateHeader {
  StateWord magic;
  StateWord version;
  StateWord slots;  // kStateSlots
  // Slots in use: raised (release) by the writer after the slot below it is written, so a reader
  // that loads it (acquire) finds that slot's write.
  StateWord used;
  StateWord reserved[4];
};

struct StateSlot {
  // Odd while the writer changes the words below; even otherwise. Written by the process only.
  StateWord sequence;
  StateWord op;  // the record's operation byte; 0: never written
  StateWord id_low, id_high;
  StateWord key_low, key_high;
  StateWord value_low, value_high;  // the record's value, as the bits of a double
};

static_assert(sizeof(StateHeader) == 32 && alignof(StateHeader) == 4, "header layout");
static_assert(sizeof(StateSlot) == 32 && alignof(StateSlot) == 4, "slot layout");

inline constexpr std::size_t kStateFileSize = sizeof(StateHeader) + kStateSlots * sizeof(StateSlot);

// One slot as its reader takes it.
struct StateEntry {
  char op = 0;
  std::uint64_t id = 0;
  std::uint64_t key = 0;
  double value = 0;
};

// The writer's store of one slot (the process's only writer: under the interpreter lock). A few
// plain stores: the fences order them for a reader of another process, nothing waits.
inline void writeStateSlot(StateHeader& header, std::uint32_t index, const StateEntry& entry) {
  auto* slots = reinterpret_cast<StateSlot*>(&header + 1);
  StateSlot& slot = slots[index];
  const std::uint32_t sequence = slot.sequence.load(std::memory_order_relaxed) | 1u;
  slot.sequence.store(sequence, std::memory_order_relaxed);
  // The odd sequence is seen before any word below changes.
  std::atomic_thread_fence(std::memory_order_release);
  std::uint64_t bits = 0;
  std::memcpy(&bits, &entry.value, sizeof(bits));
  slot.op.store(static_cast<unsigned char>(entry.op), std::memory_order_relaxed);
  slot.id_low.store(static_cast<std::uint32_t>(entry.id), std::memory_order_relaxed);
  slot.id_high.store(static_cast<std::uint32_t>(entry.id >> 32), std::memory_order_relaxed);
  slot.key_low.store(static_cast<std::uint32_t>(entry.key), std::memory_order_relaxed);
  slot.key_high.store(static_cast<std::uint32_t>(entry.key >> 32), std::memory_order_relaxed);
  slot.value_low.store(static_cast<std::uint32_t>(bits), std::memory_order_relaxed);
  slot.value_high.store(static_cast<std::uint32_t>(bits >> 32), std::memory_order_relaxed);
  // Release: the words above are seen before the even sequence.
  slot.sequence.store(sequence + 1, std::memory_order_release);
  if (header.used.load(std::memory_order_relaxed) <= index) {
    header.used.store(index + 1, std::memory_order_release);  // after the slot's write
  }
}

// Formats an empty state area at `header` (a fresh file of kStateFileSize bytes, all zero).
inline void formatStateArea(StateHeader& header) {
  header.version.store(kStateVersion, std::memory_order_relaxed);
  header.slots.store(kStateSlots, std::memory_order_relaxed);
  header.used.store(0, std::memory_order_relaxed);
  header.magic.store(kStateMagic, std::memory_order_release);
}

// A slot's two copies, read one after the other: the entry they hold when they are equal, the
// sequence even and the operation one of a record's; false otherwise.
inline bool stateEntryOf(const std::uint32_t* first, const std::uint32_t* second,
                         StateEntry& entry) {
  if (std::memcmp(first, second, sizeof(StateSlot)) != 0 || (first[0] & 1u) != 0 || first[1] == 0 ||
      first[1] > 0x7f) {
    return false;
  }
  entry.op = static_cast<char>(first[1]);
  entry.id = first[2] | std::uint64_t{first[3]} << 32;
  entry.key = first[4] | std::uint64_t{first[5]} << 32;
  const std::uint64_t bits = first[6] | std::uint64_t{first[7]} << 32;
  std::memcpy(&entry.value, &bits, sizeof(bits));
  return true;
}

// Reads the slots of a state file through `bytes_of` (a function (offset, size, out) -> bool that
// copies bytes of the file, as pread does): those written, in slot order, at most kStateSlots.
// Each batch is read twice; a slot whose copies differ (being written) is read again by itself a
// few times, then left out. Nothing when the header is not one of this layout.
template <typename Read>
std::vector<StateEntry> readStateSlots(Read&& bytes_of) {
  constexpr std::uint32_t kWords = sizeof(StateSlot) / 4;
  constexpr std::uint32_t kBatch = 1024;
  constexpr int kRereads = 8;
  std::vector<StateEntry> entries;
  std::uint32_t header[sizeof(StateHeader) / 4] = {};
  if (!bytes_of(0, sizeof(header), header) || header[0] != kStateMagic ||
      header[1] != kStateVersion || header[2] != kStateSlots) {
    return entries;
  }
  const std::uint32_t used = header[3] < kStateSlots ? header[3] : kStateSlots;
  std::vector<std::uint32_t> first(kBatch * kWords);
  std::vector<std::uint32_t> second(kBatch * kWords);
  for (std::uint32_t at = 0; at < used; at += kBatch) {
    const std::uint32_t count = used - at < kBatch ? used - at : kBatch;
    const auto offset = [](std::uint32_t slot) {
      return sizeof(StateHeader) + std::size_t{slot} * sizeof(StateSlot);
    };
    const std::size_t size = std::size_t{count} * sizeof(StateSlot);
    if (!bytes_of(offset(at), size, first.data()) || !bytes_of(offset(at), size, second.data())) {
      break;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint32_t* a = &first[std::size_t{i} * kWords];
      std::uint32_t* b = &second[std::size_t{i} * kWords];
      StateEntry entry;
      bool taken = stateEntryOf(a, b, entry);
      for (int again = 0; !taken && (a[0] | b[0]) != 0 && again < kRereads; ++again) {
        taken = bytes_of(offset(at + i), sizeof(StateSlot), a) &&
                bytes_of(offset(at + i), sizeof(StateSlot), b) && stateEntryOf(a, b, entry);
      }
      if (taken) {
        entries.push_back(entry);
      }
    }
  }
  return entries;
}

}  // namespace zelnor
