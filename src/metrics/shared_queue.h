// A single-producer, single-consumer ring of fixed-size records in a memory-mapped file, so that
// producer and consumer may be different processes. The file's layout is in queue_file.h.
//
// The owner (the producer's collector) creates and initialises the file and enqueues; the
// attached side (the consumer) maps an existing file, takes its name out of the directory and
// drains it. The 12-byte header is all the two sides share; the data path takes no lock and makes
// no system call. Every index read from the header is checked before use, because the directory
// is world-writable and the header may hold anything.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "metrics/entries.h"
#include "platform/posix.h"
#include "platform/process.h"
#include "metrics/queue_file.h"

template <typename Entry, std::uint32_t Capacity>
class SharedQueue {
  static_assert(std::is_trivially_copyable_v<Entry>);
  static_assert(Capacity >= 2);

 public:
  static constexpr std::size_t kRegionSize = sizeof(zelnor::QueueHeader) + Capacity * sizeof(Entry);
  static_assert(kRegionSize <= zelnor::kOwnerStampOffset, "the slots must end before the stamp");

  // owner = true: creates `file_path` (never an existing file: SystemCallError with EEXIST when
  // the name is taken) and initialises an empty, ready queue in it.
  // owner = false: attaches to the existing file and takes its name out of the directory,
  // unlinking it or, when `keep_directory` is given, moving it there. A name that cannot be
  // taken away leaves the queue attached under its name, with one line saying so.
  SharedQueue(std::string_view file_path, bool owner, std::string_view keep_directory = {})
      : file_path_(file_path), attached_(owner ? 0 : 1) {
    zelnor::MappedQueueFile file =
        owner ? zelnor::createQueueFile(file_path_) : zelnor::openQueueFile(file_path_);
    map_ = std::move(file.map);
    file_id_ = file.id;
    header_ = reinterpret_cast<zelnor::QueueHeader*>(map_.data());
    if (owner) {
      zelnor::initialiseQueue(map_.data(), kRegionSize);
      owner_generation_ = zelnor::forkGeneration();
    } else if (auto kept = zelnor::releaseQueueName(file_path_, file_id_, keep_directory)) {
      held_path_ = *kept;
    } else {
      held_path_ = file_path_;
    }
  }

  SharedQueue(SharedQueue&& other) noexcept
      : header_(other.header_),
        file_path_(std::move(other.file_path_)),
        attached_(other.attached_),
        map_(std::move(other.map_)),
        file_id_(other.file_id_),
        held_path_(std::move(other.held_path_)),
        owner_generation_(other.owner_generation_),
        reported_bad_index_(other.reported_bad_index_) {
    other.header_ = nullptr;
  }
  SharedQueue& operator=(SharedQueue&&) = delete;
  SharedQueue(const SharedQueue&) = delete;
  SharedQueue& operator=(const SharedQueue&) = delete;

  // An owner marks the queue closed; records still pending stay for the consumer. A process
  // forked from the owner holds a copy of the mapping but never marks its parent's queue.
  ~SharedQueue() {
    if (header_ != nullptr && attached_ == 0 && owner_generation_ == zelnor::forkGeneration()) {
      // seq_cst: after every release store of head; pairs with the acquire load in isClosed.
      header_->closed.exchange(true, std::memory_order_seq_cst);
    }
  }

  // Owner side only, from one thread at a time. Drops the record when the queue is full (one
  // line on standard output) or its indices are corrupt; never blocks, never makes a system call.
  void enqueue(const Entry& entry) {
    // relaxed: head is written only by this side.
    const std::uint32_t head = header_->head.load(std::memory_order_relaxed);
    // acquire: pairs with the release store of tail in dequeueMulti, so the consumer has
    // finished copying a slot out before this side may write it again.
    const std::uint32_t tail = header_->tail.load(std::memory_order_acquire);
    if (head >= Capacity || tail >= Capacity) {
      reportBadIndex(head, tail);
      return;
    }
    const std::uint32_t next = head + 1 == Capacity ? 0 : head + 1;
    if (next == tail) {
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
    // relaxed: tail is written only by this side.
    const std::uint32_t tail = header_->tail.load(std::memory_order_relaxed);
    // acquire: pairs with the release store of head in enqueue; the slots up to head are written.
    const std::uint32_t head = header_->head.load(std::memory_order_acquire);
    if (head >= Capacity || tail >= Capacity) {
      reportBadIndex(head, tail);
      return result;
    }
    if (head == tail) {
      return result;
    }
    const std::uint32_t count = tail < head ? head - tail : head + Capacity - tail;
    result.resize(count);
    const std::uint32_t first_part = tail < head ? count : Capacity - tail;
    std::memcpy(static_cast<void*>(result.data()), slot(tail), first_part * sizeof(Entry));
    std::memcpy(static_cast<void*>(result.data() + first_part), slot(0),
                (count - first_part) * sizeof(Entry));
    // release: the copy above happens before the producer sees the slots free; pairs with the
    // acquire load of tail in enqueue.
    header_->tail.store(head, std::memory_order_release);
    return result;
  }

  // Attached side: true when nothing is pending (and the indices are sane).
  bool isEmpty() const {
    // acquire: pairs with the release store of head in enqueue.
    const std::uint32_t head = header_->head.load(std::memory_order_acquire);
    return head < Capacity && head == header_->tail.load(std::memory_order_relaxed);
  }

  // acquire: pairs with the owner's release store of ready; the zeroed region and stamp are seen.
  bool isReady() const { return header_->ready.load(std::memory_order_acquire); }

  // acquire: pairs with the owner's closing exchange, which follows its last enqueue. A queue
  // seen closed before a drain holds nothing more after that drain.
  bool isClosed() const { return header_->closed.load(std::memory_order_acquire); }

  // The process that created the file, when the queue is ready and carries a valid stamp.
  std::optional<zelnor::ProcessIdentity> owner() const {
    if (!isReady()) {
      return std::nullopt;
    }
    return zelnor::readOwnerStamp(map_.data());
  }

  const std::string& filePath() const noexcept { return file_path_; }
  const zelnor::FileId& fileId() const noexcept { return file_id_; }
  // Attached side: the name the file still has ("" once unlinked): the kept name it was moved
  // to, or its original name when that could not be taken away.
  const std::string& heldPath() const noexcept { return held_path_; }

  // Attached side: unlinks the name the file still has, if it still refers to this file.
  void removeHeldName() {
    if (!held_path_.empty() && zelnor::removeQueueName(held_path_, file_id_)) {
      held_path_.clear();
    }
  }

 private:
  unsigned char* slot(std::uint32_t index) const {
    return map_.data() + sizeof(zelnor::QueueHeader) + std::size_t{index} * sizeof(Entry);
  }

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
  std::uint32_t attached_;
  zelnor::MemoryMap map_;
  zelnor::FileId file_id_;
  std::string held_path_;
  unsigned owner_generation_ = 0;
  bool reported_bad_index_ = false;
};
