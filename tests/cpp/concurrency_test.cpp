// Threads of one process using the library at once. These run under ThreadSanitizer too: they
// share memory only within one mapping and one process, which it can see.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "metrics/metrics_collector.h"
#include "metrics/metrics_consumer.h"
#include "test_support.h"

namespace zelnor {
namespace {

TEST(InProcessConcurrency, ThreadsRecordingAtOnceEachGetTheirOwnCollector) {
  testing::RealDirectoryLock lock;
  auto consumer = testing::consumeRealDirectory();
  if (!consumer) {
    GTEST_SKIP() << "another consumer holds " << kMetricsDirectory;
  }
  const std::string prefix = testing::uniquePrefix("threads");
  constexpr int kThreads = 8;
  constexpr int kRecords = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRecords; ++i) {
        MetricsCollector::getLocalInstance().incCounter(prefix + std::to_string(t), i);
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  testing::Drained drained;
  EXPECT_TRUE(testing::drainUntil(*consumer, drained, [&] {
    return drained.count(prefix) == kThreads * kRecords && consumer->attachedQueueCount() == 0;
  }));
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(drained.counters[prefix + std::to_string(t)].size(), std::size_t{kRecords});
  }
}

TEST(InProcessConcurrency, ConsumersRacingForOneDirectoryLeaveExactlyOne) {
  testing::ScratchDirectory dir;
  constexpr int kThreads = 8;
  std::atomic<int> accepted{0};
  std::atomic<int> finished{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      try {
        MetricsConsumer consumer(dir.path());
        accepted.fetch_add(1);
        // Hold it until every other thread has tried.
        while (finished.load() < kThreads - 1) {
          std::this_thread::yield();
        }
      } catch (const std::runtime_error&) {
        finished.fetch_add(1);
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(accepted.load(), 1);
  EXPECT_EQ(finished.load(), kThreads - 1);
}

TEST(InProcessConcurrency, ProducerAndConsumerThreadsOnOneQueueObjectPair) {
  testing::ScratchDirectory dir;
  CounterQueue owner(dir.file("counter.1.shm"), true);
  CounterQueue attached(dir.file("counter.1.shm"), false);
  constexpr int kRecords = 100000;
  std::thread producer([&] {
    for (int i = 0; i < kRecords;) {
      if (!attached.isEmpty() && i % 900 == 0) {
        std::this_thread::yield();  // leave the consumer room, so that nothing is dropped
        continue;
      }
      CounterEntry entry{};
      entry.value = i++;
      owner.enqueue(entry);
    }
  });
  int expected = 0;
  while (expected < kRecords) {
    for (const CounterEntry& entry : attached.dequeueMulti()) {
      ASSERT_EQ(entry.value, expected++);
    }
  }
  producer.join();
}

}  // namespace
}  // namespace zelnor
