// Records or drains a known sequence through a metrics directory, so that two builds (a 32-bit
// and a 64-bit one) can be checked to read each other's queue files.
//
//   zelnor_exchange produce DIR COUNT   records COUNT entries of each kind, then exits
//   zelnor_exchange consume DIR COUNT   drains until it has them all and checks each one
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "metrics/metrics_collector.h"
#include "metrics/metrics_consumer.h"

namespace {

using zelnor::readName;

int produce(const std::string& directory, int count) {
  zelnor::MetricsCollector collector(directory);
  for (int i = 0; i < count; ++i) {
    collector.incCounter("c." + std::to_string(i), i - 100000);
    collector.observeHistogram("h." + std::to_string(i), i + 0.5);
    collector.setGauge("g." + std::to_string(i), -0.25 * i);
  }
  return 0;
}

template <typename Entry, typename Expected>
bool check(const std::vector<Entry>& entries, const char* kind, Expected expected) {
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string name = std::string(1, kind[0]) + "." + std::to_string(i);
    if (readName(entries[i].name) != name || entries[i].value != expected(static_cast<int>(i))) {
      std::printf("%s entry %zu is wrong\n", kind, i);
      return false;
    }
  }
  return true;
}

int consume(const std::string& directory, int count) {
  zelnor::MetricsConsumer consumer(directory);
  std::vector<zelnor::CounterEntry> counters;
  std::vector<zelnor::HistogramEntry> histograms;
  std::vector<zelnor::GaugeEntry> gauges;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  auto append = [](auto& all, auto more) { all.insert(all.end(), more.begin(), more.end()); };
  while ((counters.size() < std::size_t(count) || histograms.size() < std::size_t(count) ||
          gauges.size() < std::size_t(count)) &&
         std::chrono::steady_clock::now() < deadline) {
    append(counters, consumer.getCounterEntries());
    append(histograms, consumer.getHistogramEntries());
    append(gauges, consumer.getGaugeEntries());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (counters.size() != std::size_t(count) || histograms.size() != std::size_t(count) ||
      gauges.size() != std::size_t(count)) {
    std::printf("drained %zu/%zu/%zu of %d\n", counters.size(), histograms.size(), gauges.size(),
                count);
    return 1;
  }
  bool ok = check(counters, "counter", [](int i) { return i - 100000; }) &&
            check(histograms, "histogram", [](int i) { return i + 0.5; }) &&
            check(gauges, "gauge", [](int i) { return -0.25 * i; });
  std::printf("%s: %d entries of each kind, %s\n", sizeof(void*) == 4 ? "32-bit" : "64-bit", count,
              ok ? "all exact" : "MISMATCH");
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::printf("usage: %s produce|consume DIR COUNT\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  const int count = std::atoi(argv[3]);
  return mode == "produce" ? produce(argv[2], count) : consume(argv[2], count);
}
