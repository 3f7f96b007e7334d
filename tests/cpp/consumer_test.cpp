// Discovery, attaching and draining; files the consumer must refuse; failures that pass.
#include "metrics/metrics_consumer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <thread>

#include "metrics/metrics_collector.h"
#include "test_support.h"

namespace zelnor {
namespace {

using testing::contains;
using testing::namesOf;
using testing::ScratchDirectory;
using testing::touch;
using testing::valuesOf;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

TEST(Consumer, FirstCallAttachesEveryKindAndLaterCallsFindNewProducers) {
  ScratchDirectory dir;
  MetricsCollector early(dir.path());
  early.incCounter("early", 1);
  early.observeHistogram("early.h", 0.5);
  MetricsConsumer consumer(dir.path());
  EXPECT_EQ(namesOf(consumer.getCounterEntries()), (std::vector<std::string>{"early"}));
  EXPECT_EQ(consumer.attachedQueueCount(), 3u);
  EXPECT_EQ(testing::queueFilesIn(dir.path()),
            0u);  // attaching takes the names out of the directory

  MetricsCollector late(dir.path());
  late.incCounter("late", 2);
  early.incCounter("early", 3);
  EXPECT_TRUE(consumer.getGaugeEntries().empty());  // any getter attaches new files
  EXPECT_EQ(consumer.attachedQueueCount(), 6u);
  // Queue by queue in attach order, whatever the recording order.
  EXPECT_EQ(valuesOf(consumer.getCounterEntries()), (std::vector<std::int32_t>{3, 2}));
  EXPECT_TRUE(consumer.getCounterEntries().empty());
  EXPECT_EQ(namesOf(consumer.getHistogramEntries()), (std::vector<std::string>{"early.h"}));
}

TEST(Consumer, UnknownNamesGetALineAndAreLeftInPlace) {
  ScratchDirectory dir;
  touch(dir.file("Counter.1.shm"));
  touch(dir.file("xcounter.1.shm"));
  MetricsConsumer consumer(dir.path());
  CaptureStdout();
  consumer.getCounterEntries();
  std::string output = GetCapturedStdout();
  EXPECT_PRED2(contains, output,
               ("ERROR: Unknown metrics file: " + dir.file("Counter.1.shm") + "\n"));
  EXPECT_PRED2(contains, output,
               ("ERROR: Unknown metrics file: " + dir.file("xcounter.1.shm") + "\n"));
  EXPECT_EQ(testing::queueFilesIn(dir.path()), 2u);
}

// A file found by the first listing also has a creation event waiting. Its second report must
// not open anything, and above all must not create a file that never becomes ready.
TEST(Consumer, ARepeatedReportOfAnAttachedNameIsIgnoredQuietly) {
  ScratchDirectory dir;
  MetricsConsumer consumer(dir.path());
  MetricsCollector producer(dir.path());  // created after the watch: listed and announced
  producer.incCounter("once", 1);
  CaptureStdout();
  EXPECT_EQ(consumer.getCounterEntries().size(), 1u);
  EXPECT_TRUE(consumer.getCounterEntries().empty());
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(consumer.attachedQueueCount(), 3u);
  EXPECT_EQ(testing::queueFilesIn(dir.path()), 0u);
}

TEST(Consumer, ANameThatComesBackForANewProducerIsAttachedAgain) {
  ScratchDirectory dir;
  MetricsConsumer consumer(dir.path());
  std::string path;
  {
    MetricsCollector first(dir.path());
    first.incCounter("first", 1);
    path = first.counterPath();
    EXPECT_EQ(consumer.getCounterEntries().size(), 1u);
  }
  MetricsCollector second(dir.path());  // same thread: the same first name is free again
  ASSERT_EQ(second.counterPath(), path);
  second.incCounter("second", 2);
  EXPECT_EQ(namesOf(consumer.getCounterEntries()), (std::vector<std::string>{"second"}));
}

// A queue between its producer's exclusive create and its ready flag is normal for a moment:
// quiet. One that nobody holds when the grace period ends (planted, or its producer died
// creating it) is said once and let go.
TEST(Consumer, ANotReadyQueueIsQuietInItsGracePeriodThenLetGoIfNobodyHoldsIt) {
  ScratchDirectory dir;
  touch(dir.file("counter.stuck"));
  MetricsConsumer consumer(
      dir.path(), ConsumerTimings{std::chrono::milliseconds(200), std::chrono::milliseconds(1000)});
  CaptureStdout();
  consumer.getCounterEntries();
  consumer.getCounterEntries();
  EXPECT_EQ(GetCapturedStdout(), "");
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  CaptureStdout();
  consumer.getCounterEntries();
  EXPECT_EQ(GetCapturedStdout(),
            "ERROR: Queue is not ready in dequeueMulti\n"
            "ERROR: Letting go of metrics file that never became ready: " +
                dir.file("counter.stuck") + "\n");
  EXPECT_EQ(consumer.attachedQueueCount(), 0u);
  EXPECT_TRUE(
      testing::listNames(dir.file(".consumer/") + testing::listNames(dir.file(".consumer"))[0])
          .empty());
}

// The directory is world-writable. Whatever carries a queue's name but is not a plain queue
// file gets one line and is left exactly as it is, and the good queues keep flowing.
TEST(HostileFiles, AreRefusedWithOneLineEachAndNeverBlockTheGoodQueues) {
  ScratchDirectory dir;
  ScratchDirectory elsewhere;
  touch(elsewhere.file("private"));
  ASSERT_EQ(::symlink(elsewhere.file("private").c_str(), dir.file("counter.link").c_str()), 0);
  ASSERT_EQ(::link(elsewhere.file("private").c_str(), dir.file("counter.hard").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir.file("gauge.fifo").c_str(), 0666), 0);
  MetricsCollector good(dir.path());
  good.incCounter("good", 1);
  MetricsConsumer consumer(dir.path());
  CaptureStdout();
  EXPECT_EQ(namesOf(consumer.getCounterEntries()), (std::vector<std::string>{"good"}));
  ASSERT_EQ(::mkdir(dir.file("histogram.dir").c_str(), 0777), 0);
  ASSERT_EQ(::mkfifo(dir.file("counter.fifo").c_str(), 0666), 0);
  good.incCounter("good", 2);
  EXPECT_EQ(valuesOf(consumer.getCounterEntries()), (std::vector<std::int32_t>{2}));
  const std::string output = GetCapturedStdout();
  for (const char* name : {"counter.link", "counter.hard", "histogram.dir", "counter.fifo"}) {
    EXPECT_PRED2(contains, output, ("ERROR: Refusing metrics file " + dir.file(name))) << name;
  }
  EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 4) << output;
  EXPECT_EQ(testing::listNames(dir.path()),
            (std::vector<std::string>{".consumer", "counter.fifo", "counter.hard", "counter.link",
                                      "gauge.fifo", "histogram.dir"}));
  struct stat status {};
  ASSERT_EQ(::stat(elsewhere.file("private").c_str(), &status), 0);
  EXPECT_EQ(status.st_size, 0);
  EXPECT_EQ(status.st_nlink, 2u);
}

TEST(HostileFiles, CorruptIndicesAreReportedOnceAndTheOtherQueuesDrain) {
  ScratchDirectory dir;
  MetricsCollector bad(dir.path());
  MetricsCollector good(dir.path());
  testing::RawQueueFile raw(bad.counterPath());
  MetricsConsumer consumer(dir.path());
  consumer.getCounterEntries();
  raw.header().tail = 77777;
  good.incCounter("good", 1);
  CaptureStdout();
  EXPECT_EQ(namesOf(consumer.getCounterEntries()), (std::vector<std::string>{"good"}));
  good.incCounter("good", 2);
  EXPECT_EQ(namesOf(consumer.getCounterEntries()), (std::vector<std::string>{"good"}));
  std::string output = GetCapturedStdout();
  EXPECT_EQ(output, "ERROR: Corrupt queue index in " + bad.counterPath() +
                        ": head 0, tail 77777, capacity 1000\n");
}

// What a whole drain hands over for each queue besides its records: who produced it, what waited,
// what its producer dropped, and whether it was the queue's last drain.
TEST(Consumer, DrainAllReportsEachQueueWithItsRecords) {
  struct Recorder : DrainVisitor {
    std::vector<std::int32_t> values;
    std::vector<QueueReport> counter_reports;
    int other_kinds = 0;
    void counters(const Records<CounterEntry>& records, const QueueReport& queue) override {
      records.forEach([&](const CounterEntry& record) { values.push_back(record.value); });
      counter_reports.push_back(queue);
    }
    void histograms(const Records<HistogramEntry>&, const QueueReport&) override { ++other_kinds; }
    void gauges(const Records<GaugeEntry>&, const QueueReport&) override { ++other_kinds; }
  };
  ScratchDirectory dir;
  MetricsConsumer consumer(dir.path());
  auto producer = std::make_unique<MetricsCollector>(dir.path());
  CaptureStdout();
  for (int i = 0; i < 1001; ++i) {
    producer->incCounter("c", i);  // the last two do not fit
  }
  GetCapturedStdout();
  Recorder first;
  consumer.drainAll(first);
  ASSERT_EQ(first.counter_reports.size(), 1u);
  const QueueReport& report = first.counter_reports[0];
  EXPECT_EQ(report.pending, 999u);
  EXPECT_EQ(report.dropped, 2u);
  EXPECT_EQ(report.pid, static_cast<std::uint32_t>(::getpid()));
  EXPECT_EQ(report.producer,
            (QueueOwner{currentProcess(), kLivenessByLock, currentProcessToken()}.key()));
  EXPECT_FALSE(report.last);
  EXPECT_EQ(first.values.size(), 999u);
  EXPECT_EQ(first.other_kinds, 2);
  producer.reset();
  Recorder second;
  consumer.drainAll(second);
  ASSERT_EQ(second.counter_reports.size(), 1u);
  EXPECT_TRUE(second.counter_reports[0].last);
  EXPECT_EQ(consumer.attachedQueueCount(), 0u);
}

// --- nothing found is forgotten, and discovery never stops the draining ---

// A file another consumer holds is looked at again: that consumer may be about to let go of it
// (a refused one releases its claims just before it hands the names back).
TEST(Failures, AFileAnotherConsumerHeldIsAttachedOnceItIsLetGo) {
  ScratchDirectory dir;
  MetricsCollector producer(dir.path());
  producer.incCounter("held", 1);
  testing::Signal holding;
  testing::Signal release;
  const pid_t other = testing::startChild([&] {
    const UniqueFd directory = openDirectory(AT_FDCWD, dir.path(), false);
    const std::string name(baseName(producer.counterPath()));
    QueueFile claimed = QueueFile::attach(directory.get(), name, producer.counterPath());
    holding.notify();
    release.wait();
    return 0;
  });
  testing::KillAtEnd cleanup({other});
  holding.closeWriteEnd();
  ASSERT_TRUE(holding.wait());
  MetricsConsumer consumer(dir.path());
  CaptureStdout();
  const bool drained_nothing = consumer.getCounterEntries().empty();
  EXPECT_PRED2(contains, GetCapturedStdout(), "is held by another consumer; left as it is");
  EXPECT_TRUE(drained_nothing);
  release.notify();
  testing::Drained drained;
  EXPECT_TRUE(
      testing::drainUntil(consumer, drained, [&] { return drained.counters["held"].size() == 1; }));
}

using namespace std::chrono_literals;

// A failure that may pass (here: out of descriptors) is retried by later calls, since the
// event that announced the file is never delivered again; the retry says its line once.
TEST(Failures, AFileThatCannotBeOpenedForNowIsRetriedLater) {
  ScratchDirectory dir;
  MetricsConsumer consumer(dir.path());
  consumer.getCounterEntries();
  MetricsCollector producer(dir.path());
  producer.incCounter("later", 5);
  CaptureStdout();
  testing::withoutSpareDescriptors([&] {
    EXPECT_TRUE(consumer.getCounterEntries().empty());
    EXPECT_TRUE(consumer.getCounterEntries().empty());
  });
  std::string expected;
  for (const std::string& path :
       {producer.counterPath(), producer.histogramPath(), producer.gaugePath()}) {
    expected += "ERROR: Will retry metrics file " + path +
                ": Failed to fd = open(file_path_.c_str(), O_CREAT | O_RDWR, 0666): Too many "
                "open files\n";
  }
  EXPECT_EQ(GetCapturedStdout(), expected);
  EXPECT_EQ(valuesOf(consumer.getCounterEntries()), (std::vector<std::int32_t>{5}));
}

// More files fail than the retry list holds: a later listing of the directory finds the rest.
TEST(Failures, FilesBeyondTheRetryListAreFoundByALaterListing) {
  ScratchDirectory dir;
  MetricsConsumer consumer(dir.path(), ConsumerTimings{10s, 1000ms, 10ms});
  consumer.getCounterEntries();
  constexpr int kThreads = 400;  // 1,200 files
  testing::Signal go;
  pid_t producers = testing::startChild([&] {
    go.wait();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] { MetricsCollector(dir.path()).incCounter("t", t); });
    }
    for (auto& thread : threads) {
      thread.join();
    }
    return 0;
  });
  testing::Drained drained;
  CaptureStdout();
  testing::withoutSpareDescriptors([&] {
    go.notify();
    while (::waitpid(producers, nullptr, WNOHANG) == 0) {
      testing::drainInto(consumer, drained);
    }
    for (int drain = 0; drain < 100; ++drain) {  // every event is read by now
      testing::drainInto(consumer, drained);
    }
  });
  const std::string output = GetCapturedStdout();
  EXPECT_PRED2(contains, output, "Too many metrics files wait for a retry");
  EXPECT_TRUE(testing::drainUntil(consumer, drained, [&] {
    return drained.counters["t"].size() >= kThreads && consumer.attachedQueueCount() == 0;
  }));
  std::vector<std::int32_t> values = drained.counters["t"];
  std::sort(values.begin(), values.end());
  const std::vector<std::int32_t> expected = testing::sequence(kThreads);
  EXPECT_EQ(values, expected);
}

// The event queue overflows while the consumer has no descriptor to spare, so the listing that
// must follow fails too. The queues attached already drain in that same call, and the listing is
// made once it can be.
TEST(Failures, ALostEventQueueIsListedOnceTheListingCanBeMade) {
  ScratchDirectory dir;
  MetricsConsumer consumer(dir.path(), ConsumerTimings{10s, 1000ms, 10ms});
  MetricsCollector attached(dir.path());
  consumer.getCounterEntries();
  consumer.getCounterEntries();  // reads the creation events the first listing left queued
  int limit = 16384;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
  if (limit > 100000) {
    GTEST_SKIP() << "event queue limit too large to overflow quickly";
  }
  for (int i = 0; i < limit + 10; ++i) {
    const std::string path = dir.file("counter.t" + std::to_string(i));
    touch(path);
    ::unlink(path.c_str());
  }
  MetricsCollector unannounced(dir.path());  // its creation events are lost
  unannounced.incCounter("found", 2);
  CaptureStdout();
  testing::withoutSpareDescriptors([&] {
    std::vector<std::int32_t> during;
    for (int drain = 0; drain < 1000; ++drain) {
      attached.incCounter("attached", drain);
      for (std::int32_t value : valuesOf(consumer.getCounterEntries())) {
        during.push_back(value);
      }
      ASSERT_EQ(during.size(), static_cast<std::size_t>(drain + 1));
    }
  });
  EXPECT_EQ(GetCapturedStdout(),
            "ERROR: Failed to open directory for scanning: " + dir.path() + "\n");
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(valuesOf(consumer.getCounterEntries()), (std::vector<std::int32_t>{2}));
}

}  // namespace
}  // namespace zelnor
