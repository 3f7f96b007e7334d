// A single-producer, single-consumer ring of fixed-size records in a memory-mapped file, so that
// producer and consumer may be different processes. The file's layout and its life (creation,
// attaching, the owner stamp, the two sides' locks) are in queue_file.h; this is the ring.
//
// The owner (the producer's collector) enqueues; the attached side (the consumer) drains. The two
// sides meet only in the mapped file: the 12-byte header below, the slots, and the owner stamp
// that the consumer reads. Neither side takes a lock or waits on the data path, and enqueue makes
// no system call except to write the full-queue line. Every index read from the header is checked
// before use, because the directory is world-writable and the header may hold anything.
#pragma once

#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "metrics/entries.h"
#include "metrics/queue_file.h"
#include "platform/posix.h"

template <typename Entry, std::uint32_t Capacity>
class SharedQueue {
  static_assert(std::is_trivially_copyable_v<Entry>);
  static_assert(Capacity >= 2);

 public:
  static constexpr std::size_t kRegionSize = sizeof(zelnor::QueueHeader) + Capacity * sizeof(Entry);
  static_assert(kRegionSize <= zelnor::kOwnerStampOffset, "the slots must end before the stamp");

  // owner = true: creates `file_path` (never an existing file: SystemCallError with EEXIST when
  // the name is taken) and initialises an empty, ready queue in it.
  // owner = false: attaches to the existing file and unlinks its name; a name that cannot be
  // unlinked leaves the queue attached, with one line saying so.
  SharedQueue(std::string_view file_path, bool owner)
      : file_path_(file_path), attached_(owner ? 0 : 1) {
    if (owner) {
      file_ = zelnor::QueueFile::create(file_path_);
      file_.initialise(kRegionSize);
    } else {
      const std::string directory(zelnor::parentPath(file_path_));
      const std::string name(zelnor::baseName(file_path_));
      zelnor::UniqueFd directory_fd =
          zelnor::openDirectory(AT_FDCWD, directory.empty() ? "." : directory, true);
      if (!directory_fd) {
        throw zelnor::SystemCallError("Failed to open directory " + directory + ": ", errno);
      }
      file_ = zelnor::QueueFile::attach(directory_fd.get(), name, file_path_);
      if (zelnor::removeQueueName(directory_fd.get(), name, file_.id(), file_path_) ==
          zelnor::Removal::kFailed) {
        zelnor::writeErrorLine(
            "Failed to unlink(file_path_.c_str()): " + std::string(std::strerror(errno)) +
            "; draining " + file_path_ + " under its name");
      }
    }
    header_ = &file_.header();
  }

  // Attached side, on a file the consumer has opened and placed itself.
  SharedQueue(zelnor::QueueFile file, std::string_view file_path)
      : header_(&file.header()), file_path_(file_path), attached_(1), file_(std::move(file)) {}

  SharedQueue(SharedQueue&& other) noexcept
      : header_(other.header_),
        file_path_(std::move(other.file_path_)),
        attached_(other.attached_),
        file_(std::move(other.file_)),
        reported_bad_index_(other.reported_bad_index_) {
    other.header_ = nullptr;
  }
  SharedQueue& operator=(SharedQueue&&) = delete;
  SharedQueue(const SharedQueue&) = delete;
  SharedQueue& operator=(const SharedQueue&) = delete;

  // Owner side only, from one thread at a time. Drops the record when the queue is full (one
  // line on standard output) or its indices are corrupt; never blocks.
  void enqueue(const Entry& entry) {
    // relaxed: head is written only by this side.
    const std::uint32_t head = header_->head.load(std::memory_order_relaxed);
    // acquire: pairs with the release store of tail in dequeueMulti, so the consumer has
    // finished copying a slot out before this side may write it again.
    const std::uint32_t tail = header_->tail.load(std::memory_order_acquire);
    if (head >= Capacity || tail >= Capacity) {
      countDropped();
      reportBadIndex(head, tail);
      return;
    }
    const std::uint32_t next = head + 1 == Capacity ? 0 : head + 1;
    if (next == tail) {
      countDropped();
      zelnor::writeErrorLine("Queue is full in enqueue. Head: " + std::to_string(head) +
                             ", Tail: " + std::to_string(next));
      return;
    }
    std::memcpy(slot(head), &entry, sizeof(Entry));
    // release: the slot's bytes happen before the new head; pairs with the acquire load of head
    // in dequeueMulti.
    header_->head.store(next, std::memory_order_release);
  }

  // Attached side only, from one thread at a time. Returns every record pending at the moment of
  // the call, oldest first (at most Capacity - 1); nothing when the queue is not ready (one line)
  // or its indices are corrupt (one line, the first time).
  std::vector<Entry> dequeueMulti() {
    std::vector<Entry> result;
    if (!isReady()) {
      zelnor::writeErrorLine("Queue is not ready in dequeueMulti");
      return result;
    }
    dequeueInto(result);
    return result;
  }

  // Attached side only, on a ready queue: appends every record pending at the moment of the call
  // to `out`, oldest first, and returns how many.
  std::uint32_t dequeueInto(std::vector<Entry>& out) {
    return consume([&](const Entry* first, std::size_t first_count, const Entry* second,
                       std::size_t second_count) {
      const std::size_t start = out.size();
      out.resize(start + first_count + second_count);
      std::memcpy(static_cast<void*>(out.data() + start), first, first_count * sizeof(Entry));
      std::memcpy(static_cast<void*>(out.data() + start + first_count), second,
                  second_count * sizeof(Entry));
    });
  }

  // Attached side only, on a ready queue: hands every record pending at the moment of the call to
  // `use`, in place in the ring, as `use(first, first_count, second, second_count)` (the records
  // run on at the ring's start when they wrap), oldest first; the slots are given back to the
  // producer only after `use` returns. Returns how many records there were. The slots lie in a
  // file that other processes may write: `use` copies what it reads before relying on it.
  template <typename Use>
  std::uint32_t consume(Use&& use) {
    // relaxed: tail is written only by this side.
    const std::uint32_t tail = header_->tail.load(std::memory_order_relaxed);
    // acquire: pairs with the release store of head in enqueue; the slots up to head are written.
    const std::uint32_t head = header_->head.load(std::memory_order_acquire);
    if (head >= Capacity || tail >= Capacity) {
      reportBadIndex(head, tail);
      return 0;
    }
    if (head == tail) {
      return 0;
    }
    const std::uint32_t count = tail < head ? head - tail : head + Capacity - tail;
    const std::uint32_t first_part = tail < head ? count : Capacity - tail;
    use(reinterpret_cast<const Entry*>(slot(tail)), std::size_t{first_part},
        reinterpret_cast<const Entry*>(slot(0)), std::size_t{count - first_part});
    // release: the reads in `use` happen before the producer sees the slots free; pairs with the
    // acquire load of tail in enqueue.
    header_->tail.store(head, std::memory_order_release);
    return count;
  }

  // Attached side: true when nothing is pending (and the indices are sane).
  bool isEmpty() const {
    // acquire: pairs with the release store of head in enqueue.
    const std::uint32_t head = header_->head.load(std::memory_order_acquire);
    return head < Capacity && head == header_->tail.load(std::memory_order_relaxed);
  }

  // acquire: pairs with the owner's release store of ready; the zeroed region and stamp are seen.
  bool isReady() const { return header_->ready.load(std::memory_order_acquire) != 0; }

  // acquire: pairs with the owner's closing exchange, which follows its last enqueue. A queue
  // seen closed before a drain holds nothing more after that drain.
  bool isClosed() const { return header_->closed.load(std::memory_order_acquire) != 0; }

  // Attached side: how many records the producer has dropped so far (a statistic: it orders
  // nothing, so it is read relaxed).
  std::uint64_t droppedRecords() const noexcept {
    return file_.dropped().load(std::memory_order_relaxed);
  }

  // Attached side: how many of those drops some consumer has reported (consumers write it; files
  // of earlier releases hold 0 there).
  std::uint64_t reportedDrops() const noexcept {
    // relaxed: a statistic; the consumer that wrote it last either is this one or held the claim
    // before this one took it, and taking the claim orders it through the kernel's lock.
    return file_.reported().load(std::memory_order_relaxed);
  }

  // Attached side: records that every drop up to `dropped` has been reported.
  void markDropsReported(std::uint64_t dropped) noexcept {
    // relaxed: nothing is published through it; only one consumer (the one with the claim)
    // writes it, and the producer never reads it.
    file_.reported().store(dropped, std::memory_order_relaxed);
  }

  // Attached side: how many records wait now (0 for a queue not ready or with corrupt indices).
  std::uint32_t pendingRecords() const noexcept {
    if (!isReady()) {
      return 0;
    }
    // acquire: pairs with the release store of head in enqueue.
    const std::uint32_t head = header_->head.load(std::memory_order_acquire);
    const std::uint32_t tail = header_->tail.load(std::memory_order_relaxed);
    if (head >= Capacity || tail >= Capacity) {
      return 0;
    }
    return tail <= head ? head - tail : head + Capacity - tail;
  }

  bool attached() const noexcept { return attached_ != 0; }
  const zelnor::QueueFile& file() const noexcept { return file_; }
  const std::string& filePath() const noexcept { return file_path_; }

 private:
  unsigned char* slot(std::uint32_t index) const {
    return file_.data() + sizeof(zelnor::QueueHeader) + std::size_t{index} * sizeof(Entry);
  }

  // relaxed: a statistic, only ever added to by this side.
  void countDropped() noexcept { file_.dropped().fetch_add(1, std::memory_order_relaxed); }

  void reportBadIndex(std::uint32_t head, std::uint32_t tail) {
    if (!reported_bad_index_) {
      reported_bad_index_ = true;
      zelnor::writeErrorLine("Corrupt queue index in " + file_path_ + ": head " +
                             std::to_string(head) + ", tail " + std::to_string(tail) +
                             ", capacity " + std::to_string(Capacity));
    }
  }

  zelnor::QueueHeader* header_ = nullptr;
  std::string file_path_;
  std::uint32_t attached_;  // 0 for the owner, 1 for the attached side
  zelnor::QueueFile file_;  // the mapping; an owner's marks the queue closed when destroyed
  bool reported_bad_index_ = false;
};
