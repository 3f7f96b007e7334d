// The queue file: everything about it that does not depend on the record type.
//
// A queue file is 2 MiB long (kFileLength); only its first kMapLength bytes are ever mapped.
//
//   offset 0        ready    1 byte   0 until the owner has initialised the file, then 1; stored
//                                     last, with release ordering
//   offset 1        closed   1 byte   set to 1 by the owner when it lets go of the queue
//   offset 2-3      reserved          zero
//   offset 4-7      head     uint32   next slot the producer writes; written by the owner only
//   offset 8-11     tail     uint32   next slot the consumer reads; written by the consumer only
//   offset 12       slots    Capacity x record size, slot i at 12 + i * record size
//   offset 73728    owner    24 bytes who created the file (OwnerStamp), written before ready
//
// The slot region ends below 73728 for every record kind; the bytes between it and the owner
// stamp, and everything after the stamp, are never read or written. Readers of the format that
// do not know the stamp ignore it. head and tail are 32 bits wide and share a cache line with
// ready and closed: the 12-byte header is fixed by the format, so it has no padding between them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/posix.h"
#include "platform/process.h"

namespace zelnor {

struct QueueHeader {
  std::atomic<bool> ready;
  std::atomic<bool> closed;
  std::uint8_t reserved[2];
  std::atomic<std::uint32_t> head;
  std::atomic<std::uint32_t> tail;
};

static_assert(sizeof(QueueHeader) == 12);
static_assert(offsetof(QueueHeader, ready) == 0 && offsetof(QueueHeader, closed) == 1);
static_assert(offsetof(QueueHeader, head) == 4 && offsetof(QueueHeader, tail) == 8);
// The header lives in shared memory: a lock-based atomic would not synchronise two processes.
static_assert(std::atomic<bool>::is_always_lock_free &&
              std::atomic<std::uint32_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<bool>) == 1 && sizeof(std::atomic<std::uint32_t>) == 4);

// Who created a queue file. All fields are 32-bit so that the layout is the same for 32-bit and
// 64-bit processes; 64-bit quantities are stored as low and high halves.
struct OwnerStamp {
  std::uint32_t magic;
  std::uint32_t pid;
  std::uint32_t start_ticks_low;
  std::uint32_t start_ticks_high;
  std::uint32_t pid_namespace_low;
  std::uint32_t pid_namespace_high;
};

static_assert(sizeof(OwnerStamp) == 24 && alignof(OwnerStamp) == 4);

inline constexpr std::size_t kFileLength = 2 * 1024 * 1024;
inline constexpr std::size_t kOwnerStampOffset = 73728;
inline constexpr std::size_t kMapLength = kOwnerStampOffset + sizeof(OwnerStamp);
inline constexpr std::uint32_t kOwnerStampMagic = 0x524e4c5a;  // "ZLNR" in little-endian bytes

static_assert(kMapLength <= kFileLength);

// A mapped queue file and the identity of the file behind the mapping.
struct MappedQueueFile {
  MemoryMap map;
  FileId id;
};

// Owner side: creates the file exclusively (never one that exists, never through a symbolic
// link), reserves its blocks so that no later write into the mapping can raise SIGBUS on a full
// file system, and maps it. The region is not yet initialised. Throws SystemCallError.
MappedQueueFile createQueueFile(const std::string& path);

// Attached side: opens an existing file without creating one and without following a symbolic
// link, refuses anything but a regular file with exactly one link (RefusedFile), sets its length
// and maps it. Throws SystemCallError or RefusedFile.
MappedQueueFile openQueueFile(const std::string& path);

// Initialises a freshly created queue: zeroes the region, stamps the owner and publishes ready.
void initialiseQueue(unsigned char* base, std::size_t region_size);

// The owner recorded in a ready queue file, if the stamp is valid.
std::optional<ProcessIdentity> readOwnerStamp(const unsigned char* base);

// Takes the name of an attached file out of the watched directory, after checking that the
// name still refers to the mapped file: unlinks it when `keep_directory` is empty, else moves
// it into `keep_directory` under a name not yet taken there. Returns the name it was moved to
// ("" when unlinked); on failure writes one line and returns std::nullopt, leaving the name.
std::optional<std::string> releaseQueueName(const std::string& path, const FileId& id,
                                            std::string_view keep_directory);

// Unlinks `path` if it still refers to the file `id`; writes one line and returns false if not.
bool removeQueueName(const std::string& path, const FileId& id);

}  // namespace zelnor
