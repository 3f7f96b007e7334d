// The queue file: its layout, and its life from creation to release, for every record type.
//
// A queue file is 2 MiB long (kFileLength); only its first kMapLength bytes are ever mapped.
//
//   offset 0        ready     1 byte   0 until the owner has initialised the file, then 1; stored
//                                      last, with release ordering
//   offset 1        closed    1 byte   set to 1 by the owner when it lets go of the queue
//   offset 2-3      reserved           zero
//   offset 4-7      head      uint32   next slot the producer writes; written by the owner only
//   offset 8-11     tail      uint32   next slot the consumer reads; written by the consumer only
//   offset 12       slots     Capacity x record size, slot i at 12 + i * record size
//   offset 73728    owner     32 bytes who created the file (OwnerStamp), written before ready
//   offset 73760    dropped   uint64   records the producer dropped (full queue, corrupt index);
//                                      added to by the owner only, read by the consumer
//   offset 73768    reported  uint64   how many of those some consumer has reported; written by
//                                      the consumer only
//
// The slot region ends below 73728 for every record kind; the bytes between it and the owner
// stamp, and everything after `reported`, are never read or written. Readers that do not know the
// stamp or the counters ignore them; files written before they existed hold zeros there (a new
// file reads as zeros until written), so such a file reads as "judge by process", "nothing
// dropped" and "nothing reported". Earlier releases map only up to `reported`, whose bytes lie in
// the page they reserve and map for `dropped`, so a consumer may write it into their files too.
// head and tail are 32 bits wide and share a cache line with ready and closed: the 12-byte header
// is fixed by the format, so it has no padding between them.
//
// Two advisory locks, taken on bytes past the end of the file so that they never cover data:
//
//   byte kProducerLockOffset  write-locked by the producer from just after it creates the file
//                             until it unmaps it (its thread ends, or its process ends or execs)
//   byte kConsumerLockOffset  write-locked by the consumer that attached the file, for as long as
//                             it maps it: a second consumer never attaches the same file
//
// Both are open-file-description locks (platform/file_lock.h). On most file systems the mapping
// keeps them, so they cost no descriptor and vanish with their holder however it ends. Where it
// does not (overlayfs: the mapping refers to the file beneath, and closing the descriptor frees the
// file that held the lock), each side finds out through a fresh descriptor right after mapping:
// the producer then stamps its liveness as its process file's lock (process_file.h), which costs
// one descriptor per process; the consumer keeps the descriptor that holds its claim, one per
// attached queue.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file_lock.h"
#include "platform/posix.h"
#include "platform/process.h"

namespace zelnor {

// ready and closed are bytes that writers set to 0 or 1; a reader takes any other value as 1. They
// are not atomic bools: a file may hold any byte there, which is no valid bool.
struct QueueHeader {
  std::atomic<std::uint8_t> ready;
  std::atomic<std::uint8_t> closed;
  std::uint8_t reserved[2];
  std::atomic<std::uint32_t> head;
  std::atomic<std::uint32_t> tail;
};

static_assert(sizeof(QueueHeader) == 12);
static_assert(offsetof(QueueHeader, ready) == 0 && offsetof(QueueHeader, closed) == 1);
static_assert(offsetof(QueueHeader, head) == 4 && offsetof(QueueHeader, tail) == 8);
// The header lives in shared memory: a lock-based atomic would not synchronise two processes.
static_assert(std::atomic<std::uint8_t>::is_always_lock_free &&
              std::atomic<std::uint32_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<std::uint8_t>) == 1 && sizeof(std::atomic<std::uint32_t>) == 4);

// Who created a queue file. All fields are 32-bit so that the layout is the same for 32-bit and
// 64-bit processes; 64-bit quantities are stored as low and high halves.
struct OwnerStamp {
  std::uint32_t magic;
  std::uint32_t pid;
  std::uint32_t start_ticks_low;
  std::uint32_t start_ticks_high;
  std::uint32_t pid_namespace_low;
  std::uint32_t pid_namespace_high;
  // What tells whether the creator still lives: kLivenessByProcess, kLivenessByLock or
  // kLivenessByProcessFile. Readers take any other value as kLivenessByProcess.
  std::uint32_t liveness;
  // The creator process's random token, never 0 (process_file.h); 0 in files of earlier releases.
  // With pid and start time it names the process file, and it tells an exec'ed image (the same
  // pid and start time) from the one before.
  std::uint32_t process_token;
};

static_assert(sizeof(OwnerStamp) == 32 && alignof(OwnerStamp) == 4);
static_assert(offsetof(OwnerStamp, liveness) == 24 && offsetof(OwnerStamp, process_token) == 28);

inline constexpr std::size_t kFileLength = 2 * 1024 * 1024;
inline constexpr std::size_t kOwnerStampOffset = 73728;
inline constexpr std::size_t kDroppedOffset = kOwnerStampOffset + sizeof(OwnerStamp);
inline constexpr std::size_t kReportedOffset = kDroppedOffset + sizeof(std::uint64_t);
inline constexpr std::size_t kMapLength = kReportedOffset + sizeof(std::uint64_t);
inline constexpr std::uint32_t kOwnerStampMagic = 0x524e4c5a;  // "ZLNR" in little-endian bytes
// Judged by process identity: the creator could take no lock, or wrote no liveness (older files).
inline constexpr std::uint32_t kLivenessByProcess = 0;
// The creator holds the producer lock of this file for as long as it maps it, and has seen that
// the lock outlives its descriptor there.
inline constexpr std::uint32_t kLivenessByLock = 1;
// The creator process holds the lock of its process file, .producers/<pid>.<start>.<token>, for as
// long as it lives (the file's own lock would not outlive its descriptor). Earlier releases read
// this as kLivenessByProcess, which is still positive evidence.
inline constexpr std::uint32_t kLivenessByProcessFile = 2;
inline constexpr off_t kProducerLockOffset = static_cast<off_t>(kFileLength);
inline constexpr off_t kConsumerLockOffset = static_cast<off_t>(kFileLength) + 1;

static_assert(kDroppedOffset == 73760 && kReportedOffset == 73768 && kMapLength == 73776);
static_assert(kMapLength <= kFileLength);
// The counters are written by one side while the other reads them, from 32-bit and 64-bit
// processes alike: each must be one lock-free atomic, 8-byte aligned (the mapping is page-aligned).
using DroppedCounter = std::atomic<std::uint64_t>;
static_assert(DroppedCounter::is_always_lock_free && sizeof(DroppedCounter) == 8);
static_assert(kDroppedOffset % alignof(DroppedCounter) == 0);
static_assert(kReportedOffset % alignof(DroppedCounter) == 0);

// What the owner stamp of a ready queue file says.
struct QueueOwner {
  ProcessIdentity process;
  std::uint32_t liveness = kLivenessByProcess;
  std::uint32_t token = 0;  // 0 in files of earlier releases

  // Tells producer processes apart across pid reuse, pid namespaces and exec; never 0.
  std::uint64_t key() const noexcept;
};

// What the stamp of a mapped queue file says, if it is valid. Read ready first.
std::optional<QueueOwner> readOwner(const unsigned char* base);

// A file that another consumer has attached already; it is left exactly as it is.
class HeldElsewhere : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One mapped queue file, either side. Move-only; releases the mapping, and with it this side's
// lock, on destruction. An owner's destruction first marks the queue closed, unless the object
// was inherited through fork(): a child never touches its parent's queues.
class QueueFile {
 public:
  // Owner side: creates `path` exclusively (never an existing name, never through a symbolic
  // link), takes the producer lock, reserves the file's blocks so that no later write into the
  // mapping can raise SIGBUS on a full file system, and maps it. Then it sees whether the lock
  // outlived its descriptor, and chooses the liveness that initialise() stamps: the lock, else
  // this process's file in the same directory, else the process identity alone. The region is
  // initialised by initialise(). Throws SystemCallError.
  static QueueFile create(const std::string& path);

  // Attached side: opens `name` in the directory `directory_fd` without creating it and without
  // following a symbolic link, refuses anything but a regular file with exactly one link
  // (RefusedFile) or a file another consumer holds (HeldElsewhere), sets its length and maps it,
  // with this consumer's claim on it: held through the mapping where the file system allows it,
  // else through a descriptor kept for the file's life here. The name stays where it is. `path`
  // names the file in messages. Throws SystemCallError too.
  static QueueFile attach(int directory_fd, const std::string& name, const std::string& path);

  QueueFile() = default;
  QueueFile(QueueFile&& other) noexcept = default;
  QueueFile& operator=(QueueFile&& other) noexcept;
  QueueFile(const QueueFile&) = delete;
  QueueFile& operator=(const QueueFile&) = delete;
  ~QueueFile() { markClosed(); }

  // Owner side: zeroes the first `region_size` bytes, stamps the owner (with the liveness that
  // create() chose and this process's token) and publishes ready.
  void initialise(std::size_t region_size);

  // Attached side: what the stamp of a ready file says; nothing when the stamp is not valid.
  std::optional<QueueOwner> owner() const;

  unsigned char* data() const noexcept { return map_.data(); }
  QueueHeader& header() const noexcept { return *reinterpret_cast<QueueHeader*>(map_.data()); }
  DroppedCounter& dropped() const noexcept {
    return *reinterpret_cast<DroppedCounter*>(map_.data() + kDroppedOffset);
  }
  DroppedCounter& reported() const noexcept {
    return *reinterpret_cast<DroppedCounter*>(map_.data() + kReportedOffset);
  }
  const FileId& id() const noexcept { return id_; }
  // Attached side: the user that owns the file, as it was when it was attached.
  uid_t ownerUid() const noexcept { return uid_; }
  // Attached side: whether this consumer's claim lives on a descriptor kept open, because the
  // file system frees a lock with its descriptor (overlayfs). On such a file a producer lock
  // that is free says nothing: only a producer that saw its lock survive stamps kLivenessByLock,
  // and earlier releases did so unseen.
  bool claimNeedsDescriptor() const noexcept { return static_cast<bool>(claim_); }
  // Owner side: the liveness that initialise() stamps.
  std::uint32_t liveness() const noexcept { return liveness_; }

 private:
  void markClosed() noexcept;

  MemoryMap map_;
  FileId id_;
  bool owner_ = false;
  std::uint32_t liveness_ = kLivenessByProcess;
  std::uint32_t token_ = 0;
  uid_t uid_ = 0;
  ForkLocalFd claim_;  // holds the consumer's claim where the mapping does not
  unsigned generation_ = 0;
};

// What probing a lock on a file by its name found.
enum class NamedLock {
  kHeld,
  kFree,
  kNoName,  // the name is gone, or refers to another file now
  kFailed,  // the probe could not be made (no descriptor to spare, for instance)
};

// Whether anyone holds byte `offset` of the file `name` names in `directory_fd` (which must still
// be the file `id`), probed on a descriptor of our own that is closed again at once.
NamedLock probeNamedLock(int directory_fd, const std::string& name, const FileId& id, off_t offset);

// Whether the producer of the file `name` names in `directory_fd` still holds its lock.
inline NamedLock probeProducer(int directory_fd, const std::string& name, const FileId& id) {
  return probeNamedLock(directory_fd, name, id, kProducerLockOffset);
}

// Moves the attached file `name` out of `from_fd` into `to_fd`, after checking that the name
// still refers to the file `id`, under its own name or, when that is taken there, with a suffix
// ".1", ".2", ...: never over another file. Returns the name it has there. On failure writes one
// line (`path` and `to_directory` name the two places, `outcome` what becomes of the file) and
// returns nothing, leaving the name.
std::optional<std::string> moveQueueName(int from_fd, const std::string& name, const FileId& id,
                                         int to_fd, const std::string& path,
                                         const std::string& to_directory,
                                         std::string_view outcome = "draining it under its name");

enum class Removal {
  kRemoved,
  kGone,      // the name was gone already
  kReplaced,  // the name refers to another file now; left as it is, with one line
  kFailed,    // unlink failed; errno says why
};

// Unlinks `name` in `directory_fd` if it still refers to the file `id` (`path` for messages).
Removal removeQueueName(int directory_fd, const std::string& name, const FileId& id,
                        const std::string& path);

}  // namespace zelnor
