#include "metrics/metrics_consumer.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <stdexcept>
#include <type_traits>
#include <utility>

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

std::vector<std::string> listDirectory(const std::string& path) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

// Liveness of producers, looked up at most once per process within one drain.
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

 private:
  std::map<std::pair<std::uint32_t, std::uint64_t>, Liveness> known_;
};

MetricsConsumer& MetricsConsumer::getInstance() {
  static std::mutex mutex;
  static std::unique_ptr<MetricsConsumer> instance;
  std::lock_guard<std::mutex> guard(mutex);
  if (instance && instance->generation_ != forkGeneration()) {
    instance.reset();
  }
  if (!instance) {
    instance = std::make_unique<MetricsConsumer>();
  }
  return *instance;
}

MetricsConsumer::MetricsConsumer(std::string_view directory, ConsumerTimings timings)
    : tracer::DirectoryWatcher(directory),
      timings_(timings),
      lock_(directory),
      generation_(forkGeneration()) {
  std::filesystem::create_directories(directoryPath());
  ::chmod(directoryPath().c_str(), 0777);  // best effort
  adoptPredecessors();
}

MetricsConsumer::~MetricsConsumer() {
  // The files of queues still attached stay in the keep directory for the next consumer.
  if (generation_ == forkGeneration() && attachedQueueCount() == 0) {
    ::rmdir(lock_.keepDirectory().c_str());
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
    throw std::runtime_error("Another consumer is already draining " + directoryPath() +
                             ": this process was forked from it");
  }
}

void MetricsConsumer::onCreated(const std::string& path) {
  if (baseName(path) == kConsumerStateDirectory) {
    return;
  }
  attach(path);
}

void MetricsConsumer::attach(const std::string& path) {
  const std::string_view name = baseName(path);
  if (startsWith(name, "counter.")) {
    attachAs(counter_queues_, path);
  } else if (startsWith(name, "histogram.")) {
    attachAs(histogram_queues_, path);
  } else if (startsWith(name, "gauge.")) {
    attachAs(gauge_queues_, path);
  } else {
    writeErrorLine("Unknown metrics file: " + path);
  }
}

template <typename Entry>
void MetricsConsumer::attachAs(std::vector<Attached<Entry>>& queues, const std::string& path) {
  FileId id;
  // A name already gone (a repeated report of a file attached before) is no news; a file that
  // is held already, under a name that could not be taken away, is not attached twice.
  if (!lookUpFileId(path, id) || attached_files_.count(id) != 0) {
    return;
  }
  try {
    auto queue =
        std::make_unique<SharedQueue<Entry, kQueueCapacity>>(path, false, lock_.keepDirectory());
    attached_files_.insert(queue->fileId());
    const Clock::time_point now = Clock::now();
    queues.push_back(Attached<Entry>{std::move(queue), now, now, false});
  } catch (const RefusedFile& refused) {
    writeErrorLine(refused.what());
  } catch (const SystemCallError& failure) {
    if (failure.code() == ENOENT) {
      return;
    }
    if (mayPass(failure.code())) {
      if (retry_paths_.size() < kMaxRetries) {
        retry_paths_.push_back(path);
        writeErrorLine("Will retry metrics file " + path + ": " + failure.what());
      } else {
        writeErrorLine("Too many metrics files wait for a retry; giving up " + path + ": " +
                       failure.what());
      }
      return;
    }
    writeErrorLine("Cannot attach metrics file " + path + ": " + failure.what());
  } catch (const std::exception& failure) {
    writeErrorLine("Cannot attach metrics file " + path + ": " + failure.what());
  }
}

void MetricsConsumer::retryPending() {
  std::deque<std::string> paths;
  paths.swap(retry_paths_);
  for (const std::string& path : paths) {
    attach(path);
  }
}

void MetricsConsumer::adoptPredecessors() {
  for (const std::string& name : listDirectory(lock_.stateDirectory())) {
    const std::string directory = lock_.stateDirectory() + "/" + name;
    struct stat status {};
    if (!startsWith(name, "attached.") || directory == lock_.keepDirectory() ||
        ::lstat(directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
      continue;
    }
    // The lock is ours, so whoever kept these files has ended: carry on where it stopped.
    for (const std::string& file : listDirectory(directory)) {
      attach(directory + "/" + file);
    }
    ::rmdir(directory.c_str());
  }
}

template <typename Entry>
std::vector<Entry> MetricsConsumer::drain(std::vector<Attached<Entry>>& queues) {
  refuseIfInherited();
  retryPending();
  processEvents();

  std::vector<Entry> result;
  LivenessCache liveness;
  const Clock::time_point now = Clock::now();
  service(queues, &result, liveness, now);
  // Queues of the other kinds whose producers have ended are let go too, once they are empty,
  // so that a program that drains only one kind does not keep every ended producer mapped.
  // (Each queue's producer is still looked up at most once per liveness interval.)
  if constexpr (!std::is_same_v<Entry, CounterEntry>) {
    service<CounterEntry>(counter_queues_, nullptr, liveness, now);
  }
  if constexpr (!std::is_same_v<Entry, HistogramEntry>) {
    service<HistogramEntry>(histogram_queues_, nullptr, liveness, now);
  }
  if constexpr (!std::is_same_v<Entry, GaugeEntry>) {
    service<GaugeEntry>(gauge_queues_, nullptr, liveness, now);
  }
  return result;
}

template <typename Entry>
void MetricsConsumer::service(std::vector<Attached<Entry>>& queues, std::vector<Entry>* result,
                              LivenessCache& liveness, Clock::time_point now) {
  std::vector<bool> let_go(queues.size(), false);
  for (std::size_t i = 0; i < queues.size(); ++i) {
    Attached<Entry>& attached = queues[i];
    SharedQueue<Entry, kQueueCapacity>& queue = *attached.queue;
    if (!queue.isReady()) {
      if (now - attached.attached_at >= timings_.ready_timeout) {
        writeErrorLine("Letting go of metrics file that never became ready: " + queue.filePath());
        let_go[i] = true;
        continue;
      }
    } else if (!attached.finished) {
      // Whatever ends the queue is seen before a drain, so the drain after it empties it for
      // good. The verdict stays, whichever getter reaches the queue first.
      if (queue.isClosed()) {
        attached.finished = true;
      } else if (now >= attached.next_liveness_check) {
        attached.next_liveness_check = now + timings_.liveness_interval;
        auto owner = queue.owner();
        attached.finished = !owner || liveness.of(*owner) == Liveness::kGone;
      }
    }
    if (result != nullptr) {
      std::vector<Entry> entries = queue.dequeueMulti();
      result->insert(result->end(), entries.begin(), entries.end());
      let_go[i] = attached.finished;
    } else {
      let_go[i] = attached.finished && queue.isEmpty();  // else its own getter drains it first
    }
  }

  std::size_t kept = 0;
  for (std::size_t i = 0; i < queues.size(); ++i) {
    if (let_go[i]) {
      attached_files_.erase(queues[i].queue->fileId());
      queues[i].queue->removeHeldName();
    } else {
      queues[kept++] = std::move(queues[i]);
    }
  }
  queues.erase(queues.begin() + static_cast<std::ptrdiff_t>(kept), queues.end());
}

}  // namespace zelnor
