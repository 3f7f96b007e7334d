// Builds a queue file from the fuzz input and lets a consumer attach it and drain it, the way it
// meets whatever lands in the world-writable metrics directory.
//
// Input: byte 0 picks the file's name (counter., histogram., gauge. or another), bytes 1-4 its
// length (little-endian, up to 4 MiB), the rest its content from offset 0: header, slots, stamp,
// drop counts.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "metrics/metrics_collector.h"
#include "metrics/metrics_consumer.h"

namespace {

std::string scratch;

void writeFile(const std::string& path, const std::uint8_t* data, std::size_t size,
               std::uint32_t length) {
  int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0) {
    std::abort();
  }
  std::size_t written = 0;
  while (written < size) {
    ssize_t n = ::write(fd, data + written, size - written);
    if (n <= 0) {
      std::abort();
    }
    written += static_cast<std::size_t>(n);
  }
  if (::ftruncate(fd, length) != 0) {
    std::abort();
  }
  ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The consumer's diagnostic lines would drown the fuzzer's own output.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) {
    std::abort();
  }
  const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
  scratch = std::string(base) + "/zelnor-fuzz-" + std::to_string(::getpid());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) {
    return 0;
  }
  static const char* const kNames[] = {"counter.fuzz", "histogram.fuzz", "gauge.fuzz",
                                       "other.fuzz"};
  const std::string name = kNames[data[0] % 4];
  std::uint32_t length = 0;
  std::memcpy(&length, data + 1, 4);
  length %= 4u * 1024 * 1024;

  std::filesystem::remove_all(scratch);
  std::filesystem::create_directories(scratch);
  writeFile(scratch + "/" + name, data + 5, size - 5, length);
  {
    zelnor::MetricsConsumer consumer(
        scratch,
        zelnor::ConsumerTimings{std::chrono::milliseconds(0), std::chrono::milliseconds(0)});
    // Whatever the file holds reaches whoever reads the reports too, with the drop counts.
    struct Reader : zelnor::DrainVisitor {
      std::uint64_t seen = 0;
      void counters(const zelnor::Records<zelnor::CounterEntry>& records,
                    const zelnor::QueueReport& queue) override {
        seen += records.size() + queue.dropped_unreported;
      }
      void histograms(const zelnor::Records<zelnor::HistogramEntry>& records,
                      const zelnor::QueueReport& queue) override {
        seen += records.size() + queue.dropped_unreported;
      }
      void gauges(const zelnor::Records<zelnor::GaugeEntry>& records,
                  const zelnor::QueueReport& queue) override {
        seen += records.size() + queue.dropped_unreported;
      }
    } reader;
    for (int pass = 0; pass < 2; ++pass) {
      consumer.getCounterEntries();
      consumer.getHistogramEntries();
      consumer.getGaugeEntries();
      consumer.drainAll(reader);
    }
  }
  std::filesystem::remove_all(scratch);
  return 0;
}
