// A producer process for the exporter's benchmark: THREADS threads, each recording its share of
// RATE records a second for SECONDS seconds, in a burst every millisecond, the three kinds in
// turn, under twenty names of each kind (labelled ones when LABELLED is 1; when it is 2, a name
// never recorded before in every record, as a flood of new names would). A thread that was not
// run for a while does not make up more than five milliseconds of its schedule at once: the
// records of a longer stall are skipped, as a stalled application would not have made them, so
// that a burst the scheduler caused is not read as the consumer falling behind. Prints how many
// it recorded and how many it skipped.
//
//   zelnor_paced_producer DIRECTORY RATE SECONDS THREADS LABELLED
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "metrics/metrics_collector.h"

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s DIRECTORY RATE SECONDS THREADS LABELLED\n", argv[0]);
    return 2;
  }
  const std::string directory = argv[1];
  const double rate = std::atof(argv[2]);
  const double seconds = std::atof(argv[3]);
  const int threads = std::atoi(argv[4]);
  const bool labelled = std::atoi(argv[5]) == 1;
  const bool new_names = std::atoi(argv[5]) == 2;
  std::vector<std::string> names[3];
  for (int i = 0; i < 20; ++i) {
    const std::string n = std::to_string(i);
    names[0].push_back(labelled ? "http_requests{code=\"" + std::to_string(200 + i) +
                                      "\",method=\"GET\"}"
                                : "http_requests_" + n);
    names[1].push_back(labelled ? "request_seconds{route=\"/api/v1/items/" + n + "\"}"
                                : "request_seconds_" + n);
    names[2].push_back(labelled ? "queue_depth{worker=\"" + n + "\"}" : "queue_depth_" + n);
  }
  std::atomic<long long> recorded{0};
  std::atomic<long long> skipped{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      const std::string unique = "_" + std::to_string(::getpid()) + "_" + std::to_string(t) + "_";
      zelnor::MetricsCollector collector(directory);
      const double per_second = rate / threads;
      const auto most_at_once = static_cast<long long>(per_second * 0.005) + 1;
      const auto start = std::chrono::steady_clock::now();
      long long sent = 0;  // the place in the schedule, skipped records included
      long long skipped_here = 0;
      std::string fresh;
      for (auto now = start; now - start < std::chrono::duration<double>(seconds);
           now = std::chrono::steady_clock::now()) {
        const auto due =
            static_cast<long long>(std::chrono::duration<double>(now - start).count() * per_second);
        if (due - sent > most_at_once) {
          skipped_here += due - sent - most_at_once;
          sent = due - most_at_once;
        }
        for (; sent < due; ++sent) {
          const auto which = static_cast<std::size_t>(sent % 20);
          const auto kind = static_cast<std::size_t>(sent % 3);
          const std::string& name =
              new_names
                  ? fresh.assign(names[kind][which]).append(unique).append(std::to_string(sent))
                  : names[kind][which];
          switch (kind) {
            case 0:
              collector.incCounter(name, 1);
              break;
            case 1:
              collector.observeHistogram(name, 0.001 * static_cast<double>(sent % 1000));
              break;
            default:
              collector.setGauge(name, static_cast<double>(sent));
          }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      recorded += sent - skipped_here;
      skipped += skipped_here;
    });
  }
  for (auto& worker : workers) {
    worker.join();
  }
  std::printf("%lld %lld\n", recorded.load(), skipped.load());
  return 0;
}
