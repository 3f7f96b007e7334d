#include "metrics/metrics_consumer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <tuple>
#include <type_traits>
#include <utility>

#include "platform/file_lock.h"
#include "platform/process.h"

namespace zelnor {
namespace {

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Failures of an open or a mapping that may pass by themselves.
bool mayPass(int error) {
  return error == EMFILE || error == ENFILE || error == ENOMEM || error == EINTR || error == EAGAIN;
}

UniqueFd openMetricsDirectory(const std::string& path) {
  UniqueFd directory = openDirectory(AT_FDCWD, path, true);
  if (!directory) {
    throw SystemCallError("Failed to open metrics directory " + path + ": ", errno);
  }
  return directory;
}

FileId idOf(const UniqueFd& fd) {
  auto id = fileIdOf(fd.get());
  if (!id) {
    throw SystemCallError("Failed to fstat(fd): ", errno);
  }
  return *id;
}

// How many buffers of events one discovery reads at most.
constexpr int kEventReadsPerDiscovery = 16;

// At most this many lines are remembered as said; past it they may be said again.
constexpr std::size_t kMaxSaid = 4096;

}  // namespace

// What tells of a producer process, looked up at most once per process within one drain: its
// identity (files of earlier releases, and queues whose own lock cannot be probed), or the lock of
// its process file.
class LivenessCache {
 public:
  Liveness of(const ProcessIdentity& process) {
    auto key = std::make_pair(process.pid, process.start_ticks);
    auto found = known_.find(key);
    if (found == known_.end()) {
      found = known_.emplace(key, processLiveness(process)).first;
    }
    return found->second;
  }

  ProcessFileLock ofProcessFile(int metrics_fd, const ProcessFileName& name, uid_t uid) {
    auto key = std::make_tuple(name.pid, name.start_ticks, name.token);
    auto found = process_files_.find(key);
    if (found == process_files_.end()) {
      found = process_files_.emplace(key, probeProcessFile(metrics_fd, name, uid)).first;
    }
    return found->second;
  }

 private:
  std::map<std::pair<std::uint32_t, std::uint64_t>, Liveness> known_;
  std::map<std::tuple<std::uint32_t, std::uint64_t, std::uint32_t>, ProcessFileLock> process_files_;
};

MetricsConsumer& MetricsConsumer::getInstance() {
  static std::mutex mutex;
  static std::unique_ptr<MetricsConsumer> instance;
  std::lock_guard<std::mutex> guard(mutex);
  if (instance && instance->generation_ != forkGeneration()) {
    instance.reset();
  }
  if (!instance) {
    instance = std::make_unique<MetricsConsumer>(metricsDirectory());
  }
  return *instance;
}

MetricsConsumer::MetricsConsumer(std::string_view directory, ConsumerTimings timings)
    : tracer::DirectoryWatcher(normaliseDirectory(directory), isSharedDirectory(directory)),
      timings_(timings),
      shared_directory_(isSharedDirectory(directory)),
      directory_fd_(openMetricsDirectory(directoryPath())),
      directory_id_(idOf(directory_fd_)),
      lock_(directory_fd_.get(), directoryPath()),
      process_files_(timings.liveness_interval, timings.process_file_grace),
      generation_(forkGeneration()) {
  adoptPredecessors();
}

MetricsConsumer::~MetricsConsumer() {
  // The files of queues still attached stay in the keep directory for the next consumer.
  if (generation_ == forkGeneration() && attachedQueueCount() == 0) {
    ::unlinkat(lock_.stateFd(), lock_.keepName().c_str(), AT_REMOVEDIR);
  }
}

std::size_t MetricsConsumer::attachedQueueCount() const noexcept {
  return counter_queues_.size() + histogram_queues_.size() + gauge_queues_.size();
}

std::vector<CounterEntry> MetricsConsumer::getCounterEntries() {
  return drain(counter_queues_);
}

std::vector<HistogramEntry> MetricsConsumer::getHistogramEntries() {
  return drain(histogram_queues_);
}

std::vector<GaugeEntry> MetricsConsumer::getGaugeEntries() {
  return drain(gauge_queues_);
}

void MetricsConsumer::refuseIfInherited() const {
  if (generation_ != forkGeneration()) {
    throw ConsumerRefused("Another consumer is already draining " + directoryPath() +
                          ": this process was forked from it");
  }
  if (refused_) {
    throw ConsumerRefused(*refused_);
  }
}

// --- lines said once ---------------------------------------------------------------------------

void MetricsConsumer::sayOnce(const std::string& key, const std::string& line) {
  auto said = said_.find(key);
  if (said != said_.end() && said->second == line) {
    return;
  }
  if (said_.size() >= kMaxSaid) {
    said_.clear();
  }
  said_[key] = line;
  writeErrorLine(line);
}

void MetricsConsumer::forgetSaid(const std::string& key) {
  said_.erase(key);
}

// --- the metrics directory and the consumer's own state ----------------------------------------

int MetricsConsumer::placeFd(Place place) const noexcept {
  return place == Place::kKeep ? lock_.keepFd() : directory_fd_.get();
}

std::string MetricsConsumer::placePath(Place place, const std::string& name) const {
  return (place == Place::kKeep ? lock_.keepDirectory() : directoryPath()) + "/" + name;
}

// Per drain, one fstat of the directory held: a removed directory has no link left, whether or not
// the kernel has said so (it does not while this consumer holds a file inside it). A move of the
// directory is said by its watch. The path and the consumer's own state are compared with what it
// holds at most every state interval (three lookups by name, which cost tens of microseconds when
// the caches are cold after the pause between drains); until then no ring can be drained twice all
// the same, since each carries the claim of the consumer that attached it.
void MetricsConsumer::checkDirectory() {
  const Clock::time_point now = Clock::now();
  struct stat status {};
  const bool removed = ::fstat(directory_fd_.get(), &status) == 0 && status.st_nlink == 0;
  const bool look_by_name = now >= next_state_check_;
  if (removed || directory_gone_ ||
      (look_by_name && directoryIdOf(directoryPath()) != std::optional<FileId>(directory_id_))) {
    // Removed or moved away: make it again, take its lock, and watch and list it anew.
    directory_gone_ = false;
    prepareDirectory(directoryPath(), shared_directory_);
    UniqueFd directory = openMetricsDirectory(directoryPath());
    UniqueFd old_keep;
    try {
      old_keep = lock_.retake(directory.get());
    } catch (const ConsumerRefused& refused) {
      refused_ = refused.what();
      handBack(directory.get());
      throw;
    }
    directory_fd_ = std::move(directory);
    directory_id_ = idOf(directory_fd_);
    moveKeptNames(old_keep.get());
    watchAgain();
  } else if (look_by_name && !lock_.stillHeld(directory_fd_.get())) {
    // `.consumer` or its lock was renamed, removed or replaced: take the lock again.
    UniqueFd old_keep;
    try {
      old_keep = lock_.retake(directory_fd_.get());
    } catch (const ConsumerRefused& refused) {
      refused_ = refused.what();
      handBack(directory_fd_.get());
      throw;
    }
    moveKeptNames(old_keep.get());
  }
  if (look_by_name) {
    next_state_check_ = now + timings_.state_interval;
  }
}

void MetricsConsumer::onDirectoryGone() {
  directory_gone_ = true;  // checkDirectory makes it again, with the lock, in this same drain
}

// After a retake: the names this consumer kept move into its new keep directory, and a name left
// in a metrics directory that is not the one held now is forgotten.
void MetricsConsumer::moveKeptNames(int old_keep_fd) {
  const bool same_keep = fileIdOf(old_keep_fd) == fileIdOf(lock_.keepFd());
  forEachAttached([&](auto& attached) {
    const FileId id = attached.queue->file().id();
    if (attached.place == Place::kKeep && !same_keep) {
      auto moved = moveQueueName(old_keep_fd, attached.name, id, lock_.keepFd(),
                                 attached.queue->filePath(), lock_.keepDirectory());
      if (moved) {
        attached.name = *moved;
      } else {
        attached.place = Place::kNowhere;
      }
    } else if (attached.place == Place::kDirectory &&
               fileIdAt(directory_fd_.get(), attached.name) != std::optional<FileId>(id)) {
      attached.place = Place::kNowhere;
    }
  });
}

// Refused mid-run: every queue goes to whoever drains the directory now, since a later consumer
// looks for them in the metrics directory and in its own state only. The mappings go first, and
// with them this consumer's claims (and any descriptor kept for one), so that the other consumer
// can attach a file the moment its name appears; then each name kept in this consumer's own
// directory moves back into the metrics directory, never over another file (with a suffix when
// its name is taken, which keeps its kind). From then on this consumer drains nothing.
void MetricsConsumer::handBack(int metrics_fd) {
  struct Kept {
    FileId id;
    std::string name;
    std::string path;
  };
  std::vector<Kept> kept;
  forEachAttached([&](auto& attached) {
    if (attached.place == Place::kKeep) {
      kept.push_back({attached.queue->file().id(), attached.name, attached.queue->filePath()});
    }
    attached.queue.reset();
  });
  counter_queues_.clear();
  histogram_queues_.clear();
  gauge_queues_.clear();
  attached_files_.clear();
  retry_names_.clear();
  held_names_.clear();
  process_file_users_.clear();
  for (const Kept& queue : kept) {
    moveQueueName(lock_.keepFd(), queue.name, queue.id, metrics_fd, queue.path, directoryPath(),
                  "left where it is");
  }
  ::unlinkat(lock_.stateFd(), lock_.keepName().c_str(), AT_REMOVEDIR);
}

void MetricsConsumer::adoptPredecessors() {
  adoption_pending_ = false;
  for (const std::string& name : listDirectory(lock_.stateFd())) {
    if (!startsWith(name, "attached.") || name == lock_.keepName()) {
      continue;
    }
    UniqueFd directory = openDirectory(lock_.stateFd(), name, false);
    struct stat status {};
    if (!directory || ::fstat(directory.get(), &status) != 0 || status.st_uid != ::geteuid()) {
      continue;
    }
    // The lock is ours, so whoever kept these files has ended: carry on where it stopped. (A
    // file that a live consumer still holds is refused by its claim and tried again later.)
    const std::string path = lock_.stateDirectory() + "/" + name;
    for (const std::string& file : listDirectory(directory.get())) {
      attach(directory.get(), file, path + "/" + file);
    }
    ::unlinkat(lock_.stateFd(), name.c_str(), AT_REMOVEDIR);
  }
}

// --- discovery ---------------------------------------------------------------------------------

void MetricsConsumer::onCreated(const std::string& path) {
  const std::string name(baseName(path));
  if (name == kConsumerStateDirectory || name == kProcessFileDirectory) {
    return;
  }
  attach(directory_fd_.get(), name, path);
}

void MetricsConsumer::scheduleRescan(const std::string& reason) {
  sayOnce("discovery", reason);
  rescan_due_ = true;
}

void MetricsConsumer::retryPending() {
  std::deque<std::string> names;
  names.swap(retry_names_);
  for (const std::string& name : names) {
    attach(directory_fd_.get(), name, directoryPath() + "/" + name);
  }
}

void MetricsConsumer::retryHeldElsewhere(Clock::time_point now) {
  if (held_names_.empty() || now < next_held_retry_) {
    return;
  }
  next_held_retry_ = now + timings_.liveness_interval;
  std::deque<std::string> names;
  names.swap(held_names_);
  for (const std::string& name : names) {
    attach(directory_fd_.get(), name, directoryPath() + "/" + name);
  }
}

// A failure here never stops the queues attached already from draining: it is said once, and a
// full listing of the directory, at most once per rescan interval, finds what it may have missed.
void MetricsConsumer::discover() {
  const Clock::time_point now = Clock::now();
  retryPending();
  retryHeldElsewhere(now);
  try {
    // A read takes one buffer's worth of events: a few more, so that a burst of new files is
    // attached in one pass.
    processEvents();
    for (int read = 1; read < kEventReadsPerDiscovery && eventsPending(); ++read) {
      processEvents();
    }
  } catch (const std::exception& failure) {
    scheduleRescan(failure.what());
  }
  if ((rescan_due_ || adoption_pending_) && now >= next_rescan_) {
    next_rescan_ = now + timings_.rescan_interval;
    try {
      if (rescan_due_) {
        rescan_due_ = false;
        rescan();
      }
      if (adoption_pending_) {
        adoptPredecessors();
      }
      forgetSaid("discovery");
    } catch (const std::exception& failure) {
      scheduleRescan(failure.what());
    }
  }
  if (!rescan_due_ && retry_names_.empty() && !eventsPending()) {
    ++discoveries_;
  }
}

void MetricsConsumer::attach(int directory_fd, const std::string& name, const std::string& path) {
  if (startsWith(name, "counter.")) {
    attachAs(counter_queues_, directory_fd, name, path);
  } else if (startsWith(name, "histogram.")) {
    attachAs(histogram_queues_, directory_fd, name, path);
  } else if (startsWith(name, "gauge.")) {
    attachAs(gauge_queues_, directory_fd, name, path);
  } else {
    sayOnce(path, "Unknown metrics file: " + path);
  }
}

template <typename Entry>
void MetricsConsumer::attachAs(std::vector<Attached<Entry>>& queues, int directory_fd,
                               const std::string& name, const std::string& path) {
  // A name already gone (a repeated report of a file attached before) is no news; a file that
  // is held already, under a name that could not be taken away, is not attached twice.
  auto id = fileIdAt(directory_fd, name);
  if (!id || attached_files_.count(*id) != 0) {
    return;
  }
  const bool from_predecessor = directory_fd != directory_fd_.get();
  try {
    QueueFile file = QueueFile::attach(directory_fd, name, path);
    Attached<Entry> attached;
    if (auto kept = moveQueueName(directory_fd, name, file.id(), lock_.keepFd(), path,
                                  lock_.keepDirectory())) {
      attached.place = Place::kKeep;
      attached.name = *kept;
    } else if (!from_predecessor &&
               fileIdAt(directory_fd, name) == std::optional<FileId>(file.id())) {
      attached.place = Place::kDirectory;
      attached.name = name;
    }
    attached_files_.insert(file.id());
    attached.queue = std::make_unique<SharedQueue<Entry, kQueueCapacity>>(std::move(file), path);
    attached.attached_at = Clock::now();
    attached.next_liveness_check = attached.attached_at;
    queues.push_back(std::move(attached));
    forgetSaid(path);
  } catch (const HeldElsewhere& held) {
    adoption_pending_ = adoption_pending_ || from_predecessor;
    if (!from_predecessor &&
        std::find(held_names_.begin(), held_names_.end(), name) == held_names_.end()) {
      if (held_names_.size() < kMaxRetryListLength) {
        held_names_.push_back(name);
      } else {
        rescan_due_ = true;
      }
    }
    sayOnce(path, held.what());
  } catch (const RefusedFile& refused) {
    sayOnce(path, refused.what());
  } catch (const SystemCallError& failure) {
    if (failure.code() == ENOENT) {
      return;
    }
    if (!mayPass(failure.code())) {
      sayOnce(path, "Cannot attach metrics file " + path + ": " + failure.what());
    } else if (from_predecessor) {
      adoption_pending_ = true;
      sayOnce(path, "Will retry metrics file " + path + ": " + failure.what());
    } else if (const bool waiting =
                   std::find(retry_names_.begin(), retry_names_.end(), name) != retry_names_.end();
               waiting || retry_names_.size() < kMaxRetryListLength) {
      if (!waiting) {
        retry_names_.push_back(name);
      }
      sayOnce(path, "Will retry metrics file " + path + ": " + failure.what());
    } else {
      rescan_due_ = true;
      sayOnce(path,
              "Too many metrics files wait for a retry; a later listing of the directory "
              "finds " +
                  path + ": " + failure.what());
    }
  } catch (const std::exception& failure) {
    sayOnce(path, "Cannot attach metrics file " + path + ": " + failure.what());
  }
}

// --- draining and letting go -------------------------------------------------------------------

void MetricsConsumer::prepareDrain() {
  refuseIfInherited();
  discover();  // first: it may learn that the directory was moved
  try {
    checkDirectory();
    forgetSaid("directory");
  } catch (const ConsumerRefused&) {
    throw;  // another consumer holds the directory now: drain nothing
  } catch (const std::exception& failure) {
    sayOnce("directory", failure.what());
  }
}

template <typename Entry>
std::vector<Entry> MetricsConsumer::drain(std::vector<Attached<Entry>>& queues) {
  prepareDrain();
  std::vector<Entry> result;
  LivenessCache liveness;
  const Clock::time_point now = Clock::now();
  drainQueues(
      queues,
      [&](SharedQueue<Entry, kQueueCapacity>& queue, const QueueReport&) {
        queue.dequeueInto(result);
      },
      liveness, now, false);
  // Queues of the other kinds whose producers have ended are let go too, once they are empty,
  // so that a program that drains only one kind does not keep every ended producer mapped.
  // (Each queue's producer is still looked up at most once per liveness interval.)
  if constexpr (!std::is_same_v<Entry, CounterEntry>) {
    sweepQueues(counter_queues_, liveness, now);
  }
  if constexpr (!std::is_same_v<Entry, HistogramEntry>) {
    sweepQueues(histogram_queues_, liveness, now);
  }
  if constexpr (!std::is_same_v<Entry, GaugeEntry>) {
    sweepQueues(gauge_queues_, liveness, now);
  }
  process_files_.look(directory_fd_.get(), Clock::now(), process_file_users_, discoveries_,
                      nullptr);
  return result;
}

void MetricsConsumer::drainAll(DrainVisitor& visitor) {
  prepareDrain();
  LivenessCache liveness;
  const Clock::time_point now = Clock::now();
  auto through = [&](auto& queues, auto&& hand) {
    using Entry = typename std::decay_t<decltype(queues)>::value_type::EntryType;
    drainQueues(
        queues,
        [&](SharedQueue<Entry, kQueueCapacity>& queue, const QueueReport& report) {
          Records<Entry> records;
          queue.consume([&](const Entry* first, std::size_t first_count, const Entry* second,
                            std::size_t second_count) {
            records = Records<Entry>{first, first_count, second, second_count};
            hand(records, report);
          });
          if (records.size() == 0) {
            hand(records, report);  // a queue with nothing pending is reported all the same
          }
          for (bool found = true; found && visitor.wantsDeclarations(report);) {
            found = readDeclarations(report, visitor);
            visitor.declarationsRead(report, found);
          }
        },
        liveness, now, true);
  };
  through(counter_queues_, [&](const Records<CounterEntry>& records, const QueueReport& report) {
    visitor.counters(records, report);
  });
  through(histogram_queues_,
          [&](const Records<HistogramEntry>& records, const QueueReport& report) {
            visitor.histograms(records, report);
          });
  through(gauge_queues_, [&](const Records<GaugeEntry>& records, const QueueReport& report) {
    visitor.gauges(records, report);
  });
  // Last: a producer is said ended only once its queues' last records were handed on.
  process_files_.look(directory_fd_.get(), Clock::now(), process_file_users_, discoveries_,
                      &visitor);
}

bool MetricsConsumer::readDeclarations(const QueueReport& report, DeclarationSink& sink) {
  const auto name = report.processFile();
  return name && process_files_.readNow(directory_fd_.get(), *name, report.uid, sink);
}

template <typename Entry, typename DrainOne>
void MetricsConsumer::drainQueues(std::vector<Attached<Entry>>& queues, DrainOne&& drainOne,
                                  LivenessCache& liveness, Clock::time_point now,
                                  bool report_drops) {
  // Every header lies in a mapping of its own, most likely cold after the pause between drains:
  // ask for all of them at once, so that their misses overlap instead of following each other.
  for (const Attached<Entry>& attached : queues) {
    __builtin_prefetch(&attached.queue->file().header());
  }
  auto end = std::remove_if(queues.begin(), queues.end(), [&](Attached<Entry>& attached) {
    Review verdict = review(attached, liveness, now);
    if (verdict == Review::kDrain) {
      SharedQueue<Entry, kQueueCapacity>& queue = *attached.queue;
      QueueReport report;
      report.file = queue.file().id();
      if (attached.owner) {
        report.producer = attached.owner->key();
        report.pid = attached.owner->process.pid;
        report.start_ticks = attached.owner->process.start_ticks;
        report.pid_namespace = attached.owner->process.pid_namespace;
        report.process_token = attached.owner->token;
      }
      report.uid = queue.file().ownerUid();
      report.pending = queue.pendingRecords();
      // A producer drops only with its ring full, and what it left stays there until this drain:
      // an empty ring has dropped nothing since the last look (which spares a cache miss).
      if (report.pending != 0 || attached.finished || !attached.looked_at_dropped) {
        report.dropped = queue.droppedRecords();
        attached.dropped = report.dropped;
        attached.looked_at_dropped = true;
        // What some consumer reported is kept in the file, so a consumer that adopts the queue
        // after a restart reports only what nobody did. A count below it (rewritten by someone)
        // reports nothing, and leaves it as it is, until the count passes it again.
        const std::uint64_t reported = queue.reportedDrops();
        if (report_drops && report.dropped > reported) {
          report.dropped_unreported = report.dropped - reported;
          queue.markDropsReported(report.dropped);
        }
      } else {
        report.dropped = attached.dropped;
      }
      report.last = attached.finished;
      drainOne(queue, report);
      verdict = attached.finished ? Review::kLetGo : Review::kDrain;
    }
    if (verdict == Review::kLetGo) {
      letGo(attached);
      return true;
    }
    return false;
  });
  queues.erase(end, queues.end());
}

template <typename Entry>
void MetricsConsumer::sweepQueues(std::vector<Attached<Entry>>& queues, LivenessCache& liveness,
                                  Clock::time_point now) {
  auto end = std::remove_if(queues.begin(), queues.end(), [&](Attached<Entry>& attached) {
    Review verdict = review(attached, liveness, now);
    // A finished queue that still holds records waits for its own getter to drain them.
    if (verdict == Review::kLetGo ||
        (verdict == Review::kDrain && attached.finished && attached.queue->isEmpty())) {
      letGo(attached);
      return true;
    }
    return false;
  });
  queues.erase(end, queues.end());
}

// What to do with one queue now. Whatever ends a queue is seen before its drain, so the drain
// after it empties it for good; the verdict stays, whichever getter reaches the queue first.
template <typename Entry>
MetricsConsumer::Review MetricsConsumer::review(Attached<Entry>& attached, LivenessCache& liveness,
                                                Clock::time_point now) {
  SharedQueue<Entry, kQueueCapacity>& queue = *attached.queue;
  if (!queue.isReady()) {
    // Normal for a moment: the producer creates the file before it marks it ready.
    if (now - attached.attached_at < timings_.ready_timeout) {
      return Review::kWait;
    }
    if (!attached.said_not_ready) {
      attached.said_not_ready = true;
      writeErrorLine("Queue is not ready in dequeueMulti");
    }
    if (now < attached.next_liveness_check) {
      return Review::kWait;
    }
    attached.next_liveness_check = now + timings_.liveness_interval;
    // A producer stalled between creating and initialising still holds its lock; a file that
    // nobody holds (planted, or left by a producer that died creating it) goes.
    if (attached.place == Place::kNowhere || probeProducer(placeFd(attached.place), attached.name,
                                                           queue.file().id()) != NamedLock::kFree) {
      return Review::kWait;
    }
    writeErrorLine("Letting go of metrics file that never became ready: " + queue.filePath());
    return Review::kLetGo;
  }
  if (!attached.owner) {
    noteOwner(attached);
  }
  if (!attached.finished) {
    if (queue.isClosed()) {
      attached.finished = true;
    } else if (now >= attached.next_liveness_check) {
      attached.next_liveness_check = now + timings_.liveness_interval;
      attached.finished = producerGone(attached, liveness);
    }
  }
  return Review::kDrain;
}

// Gone only on positive evidence; anything short of it (an error, an unreadable entry, no
// descriptor to spare for a probe) means alive, for now. Each stamp names its evidence: the file's
// own producer lock, the lock of the producer's process file, or the process identity. Where the
// lock to probe has no name left (the directory's files were removed, or this consumer lost the
// name), the process identity stands in for it.
template <typename Entry>
bool MetricsConsumer::producerGone(const Attached<Entry>& attached, LivenessCache& liveness) {
  const QueueFile& file = attached.queue->file();
  const std::optional<QueueOwner>& owner = attached.owner;
  const auto byIdentity = [&] { return owner && liveness.of(owner->process) == Liveness::kGone; };
  if (owner && owner->liveness == kLivenessByProcessFile) {
    switch (liveness.ofProcessFile(directory_fd_.get(),
                                   {owner->process.pid, owner->process.start_ticks, owner->token},
                                   file.ownerUid())) {
      case ProcessFileLock::kHeld:
        return false;
      case ProcessFileLock::kFree:
        return true;
      case ProcessFileLock::kMissing:
        return byIdentity();
      case ProcessFileLock::kFailed:
        return false;
    }
  }
  const NamedLock lock = attached.place == Place::kNowhere
                             ? NamedLock::kNoName
                             : probeProducer(placeFd(attached.place), attached.name, file.id());
  if (lock == NamedLock::kHeld) {
    return false;
  }
  if (owner && (owner->liveness == kLivenessByProcess || lock == NamedLock::kNoName ||
                file.claimNeedsDescriptor())) {
    // No lock was promised (an older release, a file system without locks), or it has no name
    // left to probe, or it cannot be trusted where locks do not outlive their descriptors.
    return byIdentity();
  }
  // The lock says it all; a ready file without a valid stamp is junk once nobody holds it.
  return lock == NamedLock::kFree;
}

// Once the stamp is read: counts the queue among those that name its producer's process file.
template <typename Entry>
void MetricsConsumer::noteOwner(Attached<Entry>& attached) {
  attached.owner = attached.queue->file().owner();
  if (attached.owner && attached.owner->token != 0) {
    const ProcessFileName name{attached.owner->process.pid, attached.owner->process.start_ticks,
                               attached.owner->token};
    ++process_file_users_[name.text()];
  }
}

// A queue that named the process file of `owner` is let go: once none does, the file goes at the
// next look, if its producer has ended.
void MetricsConsumer::releaseProcessFile(const QueueOwner& owner) {
  const std::string name =
      ProcessFileName{owner.process.pid, owner.process.start_ticks, owner.token}.text();
  auto users = process_file_users_.find(name);
  if (users == process_file_users_.end() || --users->second != 0) {
    return;
  }
  process_file_users_.erase(users);
  process_files_.lookSoon();
}

UniqueFd MetricsConsumer::openProcessFile(const QueueReport& report) const {
  const auto name = report.processFile();
  if (!name) {
    errno = ENOENT;
    return UniqueFd();
  }
  return zelnor::openProcessFile(directory_fd_.get(), *name, report.uid);
}

template <typename Entry>
void MetricsConsumer::letGo(Attached<Entry>& attached) {
  const FileId id = attached.queue->file().id();
  attached_files_.erase(id);
  if (attached.place != Place::kNowhere &&
      removeQueueName(placeFd(attached.place), attached.name, id,
                      placePath(attached.place, attached.name)) == Removal::kFailed) {
    writeErrorLine("Failed to unlink(file_path_.c_str()): " + std::string(std::strerror(errno)) +
                   " (" + placePath(attached.place, attached.name) + ")");
  }
  attached.queue.reset();  // unmaps, which releases this consumer's claim on the file
  if (attached.owner && attached.owner->token != 0) {
    releaseProcessFile(*attached.owner);
  }
}

}  // namespace zelnor
