#include "metrics/metrics_collector.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include <cmath>
#include <fstream>
#include <functional>
#include <limits>
#include <numeric>
#include <thread>

#include "test_support.h"

namespace zelnor {
namespace {

using testing::RawQueueFile;
using testing::ScratchDirectory;

std::string hashText() {
  return std::to_string(std::hash<std::thread::id>{}(std::this_thread::get_id()));
}

// The decimal text shared by a collector's three file names.
std::string textOf(const MetricsCollector& collector) {
  std::string name(baseName(collector.counterPath()));
  return name.substr(8, name.size() - 8 - 4);
}

// One spelling of a directory for the producer, the consumer and the exporter: only that way is
// the shared default recognised (and made writable by all) however it is written.
TEST(Directory, HasOneNormalFormWhateverItsSpelling) {
  EXPECT_EQ(normaliseDirectory("/tmp/metrics_collector/"), "/tmp/metrics_collector");
  EXPECT_EQ(normaliseDirectory("//tmp/./metrics_collector//."), "/tmp/metrics_collector");
  EXPECT_EQ(normaliseDirectory("/tmp/x/../metrics_collector"), "/tmp/x/../metrics_collector");
  EXPECT_EQ(normaliseDirectory("///"), "/");
  EXPECT_EQ(normaliseDirectory("./a//b/"), "a/b");
  EXPECT_EQ(normaliseDirectory("./"), ".");
  EXPECT_TRUE(isSharedDirectory("/tmp//metrics_collector/"));
  EXPECT_EQ(testing::runInChild([] {
              ::setenv("ZELNOR_METRICS_DIR", "/run//app/./metrics/", 1);
              return metricsDirectory() == "/run/app/metrics" ? 0 : 1;
            }),
            0);
  ScratchDirectory dir;
  MetricsCollector collector(dir.path() + "//./");
  EXPECT_EQ(std::string(parentPath(collector.counterPath())), dir.path());
}

TEST(Collector, CreatesThreeFilesNamedAfterTheThreadHash) {
  ScratchDirectory dir;
  MetricsCollector collector(dir.path());
  const std::string text = hashText();
  EXPECT_EQ(collector.threadHash(), std::stoull(text));
  EXPECT_EQ(collector.counterPath(), dir.file("counter." + text + ".shm"));
  EXPECT_EQ(collector.histogramPath(), dir.file("histogram." + text + ".shm"));
  EXPECT_EQ(collector.gaugePath(), dir.file("gauge." + text + ".shm"));
  EXPECT_EQ(testing::listNames(dir.path()).size(), 3u);
}

TEST(Collector, EachCallBecomesOneRecordInTheQueueOfItsKind) {
  ScratchDirectory dir;
  MetricsCollector collector(dir.path());
  collector.incCounter("max", std::numeric_limits<std::int32_t>::max());
  collector.incCounter("min", std::numeric_limits<std::int32_t>::min());
  collector.incCounter(std::string("a\0b", 3), 1);
  collector.incCounter(std::string(80, 'n'), 2);
  collector.observeHistogram("h", 2.5);
  collector.setGauge("g", std::nan(""));

  CounterQueue counters(collector.counterPath(), false);
  auto drained = counters.dequeueMulti();
  ASSERT_EQ(drained.size(), 4u);
  EXPECT_EQ(readName(drained[0].name), "max");
  EXPECT_EQ(drained[0].value, 2147483647);
  EXPECT_EQ(drained[1].value, -2147483647 - 1);
  EXPECT_EQ(readName(drained[2].name), "a");
  EXPECT_EQ(readName(drained[3].name), std::string(63, 'n'));

  HistogramQueue histograms(collector.histogramPath(), false);
  auto observed = histograms.dequeueMulti();
  ASSERT_EQ(observed.size(), 1u);
  EXPECT_EQ(observed[0].value, 2.5);
  GaugeQueue gauges(collector.gaugePath(), false);
  auto set = gauges.dequeueMulti();
  ASSERT_EQ(set.size(), 1u);
  EXPECT_TRUE(std::isnan(set[0].value));
}

TEST(Collector, FullCounterQueueLeavesTheOtherKindsAlone) {
  ScratchDirectory dir;
  MetricsCollector collector(dir.path());
  for (int i = 0; i < 999; ++i) {
    collector.incCounter("c", i);
  }
  ::testing::internal::CaptureStdout();
  collector.incCounter("c", 999);
  collector.observeHistogram("h", 1);
  collector.setGauge("g", 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "ERROR: Queue is full in enqueue. Head: 999, Tail: 0\n");
  EXPECT_EQ(HistogramQueue(collector.histogramPath(), false).dequeueMulti().size(), 1u);
  EXPECT_EQ(GaugeQueue(collector.gaugePath(), false).dequeueMulti().size(), 1u);
}

// A name that is taken belongs to someone: a live producer elsewhere, an ended thread's
// undrained records, or a planted file. It is never initialised again.
TEST(NameClash, TakenNamesAreLeftAloneAndAnotherTextIsUsedForAllThree) {
  ScratchDirectory dir;
  const std::string text = hashText();
  { std::ofstream(dir.file("gauge." + text + ".shm")) << "planted"; }
  MetricsCollector collector(dir.path());
  const std::string other = textOf(collector);
  EXPECT_NE(other, text);
  EXPECT_EQ(collector.histogramPath(), dir.file("histogram." + other + ".shm"));
  EXPECT_EQ(collector.gaugePath(), dir.file("gauge." + other + ".shm"));
  std::ifstream planted(dir.file("gauge." + text + ".shm"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(planted), {}), "planted");

  // The two files made for the given-up text stay as ready, empty, closed queues, so that a
  // consumer attaching them finds nothing and is never left with a queue that won't be ready.
  for (const std::string& name : {"counter." + text + ".shm", "histogram." + text + ".shm"}) {
    RawQueueFile raw(dir.file(name));
    EXPECT_TRUE(raw.header().ready.load()) << name;
    EXPECT_TRUE(raw.header().closed.load()) << name;
    EXPECT_EQ(raw.header().head.load(), 0u) << name;
  }
}

TEST(NameClash, APlantedSymbolicLinkIsNeverFollowed) {
  ScratchDirectory dir;
  const std::string target = dir.file("victim");
  ASSERT_EQ(::symlink(target.c_str(), dir.file("counter." + hashText() + ".shm").c_str()), 0);
  MetricsCollector collector(dir.path());
  EXPECT_FALSE(std::filesystem::exists(target));
  EXPECT_NE(textOf(collector), hashText());
}

// A thread identifier is reused after its thread ends; the new thread gets files of its own and
// the ended thread's undrained records wait for the consumer.
TEST(NameClash, ReusedThreadIdentityKeepsTheEndedThreadsRecords) {
  ScratchDirectory dir;
  std::string first_path;
  {
    MetricsCollector first(dir.path());
    first.incCounter("first", 1);
    first_path = first.counterPath();
  }
  MetricsCollector second(dir.path());  // same thread, same hash
  second.incCounter("second", 2);
  EXPECT_NE(second.counterPath(), first_path);
  auto left = CounterQueue(first_path, false).dequeueMulti();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(readName(left[0].name), "first");
}

TEST(NameClash, ConcurrentThreadsAllGetTheirOwnFiles) {
  ScratchDirectory dir;
  std::vector<std::thread> threads;
  std::vector<std::string> paths(8);
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] { paths[i] = MetricsCollector(dir.path()).counterPath(); });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(std::unique(paths.begin(), paths.end()), paths.end());
}

// --- fork(), with the real thread-local collectors ---

// The thread-local collectors of forked children, in a directory of the test's own: each child
// reads ZELNOR_METRICS_DIR afresh, as every new process does.
class ForkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    consumer_ = std::make_unique<MetricsConsumer>(directory_.path());
    ::setenv("ZELNOR_METRICS_DIR", directory_.path().c_str(), 1);
  }
  void TearDown() override { ::unsetenv("ZELNOR_METRICS_DIR"); }
  // Drains until every producer of the test has been let go, so nothing is left behind.
  void drainToEnd(std::size_t expected_records) {
    EXPECT_TRUE(testing::drainUntil(*consumer_, drained_,
                                    [&] {
                                      return drained_.count(prefix_) >= expected_records &&
                                             consumer_->attachedQueueCount() == 0;
                                    }))
        << drained_.count(prefix_) << " of " << expected_records;
  }

  ScratchDirectory directory_;
  std::unique_ptr<MetricsConsumer> consumer_;
  testing::Drained drained_;
  std::string prefix_ = testing::uniquePrefix("fork");
};

TEST_F(ForkTest, ChildRecordsIntoFilesOfItsOwnAndNeverClosesItsParents) {
  const std::string prefix = prefix_;
  int status = testing::runInChild([&] {
    MetricsCollector& parent = MetricsCollector::getLocalInstance();
    parent.incCounter(prefix + "parent", 1);
    const std::string parent_path = parent.counterPath();
    int child = testing::runInChild([&] {
      MetricsCollector& own = MetricsCollector::getLocalInstance();
      if (own.counterPath() == parent_path) {
        return 10;
      }
      own.incCounter(prefix + "child", 2);
      std::exit(0);  // runs the thread's exit handlers, as a normal child exit does
    });
    RawQueueFile raw(parent_path);
    if (child != 0 || raw.header().closed.load() || raw.header().head.load() != 1) {
      return 20 + child;
    }
    parent.incCounter(prefix + "parent", 3);
    return 0;
  });
  ASSERT_EQ(status, 0);
  drainToEnd(3);
  EXPECT_EQ(drained_.counters[prefix + "parent"], (std::vector<std::int32_t>{1, 3}));
  EXPECT_EQ(drained_.counters[prefix + "child"], (std::vector<std::int32_t>{2}));
}

TEST_F(ForkTest, ChildThatRecordedFirstDoesNotLoseItsFilesToTheParent) {
  const std::string prefix = prefix_;
  int status = testing::runInChild([&] {
    std::string child_path;
    int child = testing::runInChild([&] {
      MetricsCollector::getLocalInstance().incCounter(prefix + "child", 7);
      return 0;  // ends without exit handlers, like os._exit
    });
    MetricsCollector::getLocalInstance().incCounter(prefix + "parent", 8);
    return child;
  });
  ASSERT_EQ(status, 0);
  drainToEnd(2);
  EXPECT_EQ(drained_.counters[prefix + "child"], (std::vector<std::int32_t>{7}));
  EXPECT_EQ(drained_.counters[prefix + "parent"], (std::vector<std::int32_t>{8}));
}

// A prefork server: many workers forked from one parent start from the same thread hash and
// create their files at the same moment, while the consumer attaches.
TEST_F(ForkTest, ManySiblingsCreateTheirFilesAtOnceWhileTheConsumerDrains) {
  const std::string prefix = prefix_;
  constexpr int kWorkers = 16;
  constexpr int kRecords = 300;
  pid_t parent = testing::startChild([&] {
    MetricsCollector::getLocalInstance().incCounter(prefix + "parent", 1);
    std::vector<pid_t> workers;
    for (int w = 0; w < kWorkers; ++w) {
      workers.push_back(testing::startChild([&, w] {
        MetricsCollector& own = MetricsCollector::getLocalInstance();
        for (int i = 0; i < kRecords; ++i) {
          own.incCounter(prefix + "worker" + std::to_string(w), i);
        }
        return 0;
      }));
    }
    int failures = 0;
    for (pid_t worker : workers) {
      failures += testing::waitForChild(worker) != 0;
    }
    return failures;
  });
  drainToEnd(kWorkers * kRecords + 1);
  EXPECT_EQ(testing::waitForChild(parent), 0);
  std::vector<std::int32_t> expected(kRecords);
  std::iota(expected.begin(), expected.end(), 0);
  for (int w = 0; w < kWorkers; ++w) {
    EXPECT_EQ(drained_.counters[prefix + "worker" + std::to_string(w)], expected) << w;
  }
}

}  // namespace
}  // namespace zelnor
