#include "metrics/metrics_collector.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

#include "platform/mix.h"

namespace zelnor {

struct MetricsCollector::ClaimedFiles {
  std::string counter_path;
  std::string histogram_path;
  std::string gauge_path;
  CounterQueue counter_queue;
  HistogramQueue histogram_queue;
  GaugeQueue gauge_queue;
};

namespace {

std::uint64_t hashOfThisThread() {
  return static_cast<std::uint64_t>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
}

// The decimal text for a try. The first is the thread hash itself; later ones differ between
// processes (pid, clock) and between tries within a process (a process-wide counter), so that
// forked siblings, which all start from their parent's thread hash, and threads that reuse an
// ended thread's identifier do not walk the same sequence of taken names.
std::string nameText(std::uint64_t thread_hash, int attempt) {
  if (attempt == 0) {
    return std::to_string(thread_hash);
  }
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t seed = thread_hash;
  seed = mixBits(seed ^ currentProcess().pid);
  seed = mixBits(seed ^ counter.fetch_add(1, std::memory_order_relaxed));
  seed = mixBits(seed ^ static_cast<std::uint64_t>(
                            std::chrono::steady_clock::now().time_since_epoch().count()));
  // As wide as the thread hash itself, so that every name has the same form.
  return std::to_string(static_cast<std::size_t>(seed));
}

bool nameTaken(const SystemCallError& error) {
  return error.code() == EEXIST;
}

// Creates one owning queue, or returns nothing when its name is taken.
template <typename Queue>
std::optional<Queue> tryCreate(const std::string& path) {
  try {
    return std::optional<Queue>(std::in_place, path, true);
  } catch (const SystemCallError& error) {
    if (nameTaken(error)) {
      return std::nullopt;
    }
    throw;
  }
}

}  // namespace

MetricsCollector::ClaimedFiles MetricsCollector::claimFiles(std::string_view directory,
                                                            std::uint64_t thread_hash) {
  const std::string prefix = normaliseDirectory(directory);
  prepareDirectory(prefix, isSharedDirectory(prefix));
  for (int attempt = 0; attempt < kMaxNameTries; ++attempt) {
    const std::string text = nameText(thread_hash, attempt);
    // A queue made for a text that is then given up is destroyed here as a ready, empty,
    // closed queue: a consumer attaches it, finds nothing and lets it go. Its name is never
    // removed by this side, since it may already belong to a consumer or to another producer.
    std::string counter_path = prefix + "/counter." + text + ".shm";
    auto counter = tryCreate<CounterQueue>(counter_path);
    if (!counter) {
      continue;
    }
    std::string histogram_path = prefix + "/histogram." + text + ".shm";
    auto histogram = tryCreate<HistogramQueue>(histogram_path);
    if (!histogram) {
      continue;
    }
    std::string gauge_path = prefix + "/gauge." + text + ".shm";
    auto gauge = tryCreate<GaugeQueue>(gauge_path);
    if (!gauge) {
      continue;
    }
    return ClaimedFiles{std::move(counter_path), std::move(histogram_path), std::move(gauge_path),
                        std::move(*counter),     std::move(*histogram),     std::move(*gauge)};
  }
  throw std::runtime_error("Failed to find free queue file names in " + prefix + " after " +
                           std::to_string(kMaxNameTries) + " tries");
}

MetricsCollector::MetricsCollector() : MetricsCollector(metricsDirectory()) {}

MetricsCollector::MetricsCollector(std::string_view directory)
    : MetricsCollector(hashOfThisThread(), directory) {}

MetricsCollector::MetricsCollector(std::uint64_t thread_hash, std::string_view directory)
    : MetricsCollector(thread_hash, claimFiles(directory, thread_hash)) {}

MetricsCollector::MetricsCollector(std::uint64_t thread_hash, ClaimedFiles&& files)
    : thread_hash_(thread_hash),
      counter_path_(std::move(files.counter_path)),
      histogram_path_(std::move(files.histogram_path)),
      gauge_path_(std::move(files.gauge_path)),
      counter_queue_(std::move(files.counter_queue)),
      histogram_queue_(std::move(files.histogram_queue)),
      gauge_queue_(std::move(files.gauge_queue)),
      generation_(forkGeneration()) {}

namespace {

// The calling thread's collector; destroyed, and its queues marked closed, at thread exit.
thread_local std::unique_ptr<MetricsCollector> instance;
// The same collector, for the recording path: a plain pointer needs no thread-local
// initialisation check on every access, as the owning pointer above does, and the initial-exec
// model reads it without a call (8 bytes of the static TLS that the C library keeps for modules).
thread_local MetricsCollector* current __attribute__((tls_model("initial-exec"))) = nullptr;

}  // namespace

MetricsCollector& MetricsCollector::getLocalInstance() {
  if (MetricsCollector* existing = existingLocalInstance()) {
    return *existing;
  }
  // A collector inherited through fork() only unmaps: its queues belong to the parent. Its
  // destructor clears `current`.
  instance.reset();
  instance = std::make_unique<MetricsCollector>();
  current = instance.get();
  return *instance;
}

MetricsCollector::~MetricsCollector() {
  if (current == this) {
    current = nullptr;
  }
}

MetricsCollector* MetricsCollector::existingLocalInstance() noexcept {
  MetricsCollector* existing = current;
  return existing != nullptr && existing->generation_ == forkGeneration() ? existing : nullptr;
}

namespace {

// One recording call: fills one record and enqueues it, as one critical section.
template <typename Entry, std::uint32_t Capacity, typename Value>
void fillAndEnqueue(std::mutex& mutex, SharedQueue<Entry, Capacity>& queue, std::string_view name,
                    Value value) {
  std::lock_guard<std::mutex> lock(mutex);
  Entry entry;
  fillName(entry.name, name);
  entry.value = value;
  queue.enqueue(entry);
}

}  // namespace

void MetricsCollector::incCounter(std::string_view name, std::int32_t value) {
  fillAndEnqueue(mutex_, counter_queue_, name, value);
}

void MetricsCollector::observeHistogram(std::string_view name, double value) {
  fillAndEnqueue(mutex_, histogram_queue_, name, value);
}

void MetricsCollector::setGauge(std::string_view name, double value) {
  fillAndEnqueue(mutex_, gauge_queue_, name, value);
}

}  // namespace zelnor
