// The native queue alone: enqueue and dequeueMulti per record, steady clock, in one process.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "metrics/queues.h"

int main() {
  char directory[] = "/tmp/zelnor-queue-bench-XXXXXX";
  if (::mkdtemp(directory) == nullptr) {
    return 2;
  }
  const std::string path = std::string(directory) + "/counter.bench.shm";
  zelnor::CounterQueue owner(path, true);
  zelnor::CounterQueue attached(path, false);
  zelnor::CounterEntry entry{};
  zelnor::fillName(entry.name, "http_requests_total");
  constexpr int kBatch = 900;
  constexpr int kRounds = 20000;
  std::chrono::nanoseconds enqueue_time{0};
  std::chrono::nanoseconds dequeue_time{0};
  std::size_t drained = 0;
  for (int round = 0; round < kRounds; ++round) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kBatch; ++i) {
      entry.value = i;
      owner.enqueue(entry);
    }
    auto middle = std::chrono::steady_clock::now();
    drained += attached.dequeueMulti().size();
    auto end = std::chrono::steady_clock::now();
    enqueue_time += middle - start;
    dequeue_time += end - middle;
  }
  ::rmdir(directory);  // attaching took the file's name away already
  const double records = double(kRounds) * kBatch;
  std::printf("{\"enqueue_ns\": %.2f, \"dequeue_ns\": %.2f, \"records\": %.0f, \"drained\": %zu}\n",
              enqueue_time.count() / records, dequeue_time.count() / records, records, drained);
  return drained == std::size_t(records) ? 0 : 1;
}
