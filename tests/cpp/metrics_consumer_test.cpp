#include "metrics/metrics_collector.h"
#include "metrics/metrics_consumer.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <thread>

#include "test_support.h"

namespace zelnor {
namespace {

using testing::ScratchDirectory;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

template <typename Entries>
std::vector<std::string> namesOf(const Entries& entries) {
  std::vector<std::string> names;
  for (const auto& entry : entries) {
    names.emplace_back(readName(entry.name));
  }
  return names;
}

std::vector<std::int32_t> valuesOf(const std::vector<CounterEntry>& entries) {
  std::vector<std::int32_t> values;
  for (const auto& entry : entries) {
    values.push_back(entry.value);
  }
  return values;
}

void touch(const std::string& path) {
  std::ofstream(path) << "";
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Queue files visible in the watched directory itself (not the consumer's own subdirectory).
std::size_t queueFilesIn(const ScratchDirectory& dir) {
  std::size_t count = 0;
  for (const auto& name : testing::listNames(dir.path())) {
    count += name != ".consumer";
  }
  return count;
}

TEST(Consumer, FirstCallAttachesEveryKindAndLaterCallsFindNewProducers) {
  ScratchDirectory dir;
  MetricsCollector early(dir.path());
  early.incCounter("early", 1);
  early.observeHistogram("early.h", 0.5);
  MetricsConsumer consumer(dir.path());
  EXPECT_EQ(namesOf(consumer.getCounterEntries()), (std::vector<std::string>{"early"}));
  EXPECT_EQ(consumer.attachedQueueCount(), 3u);
  EXPECT_EQ(queueFilesIn(dir), 0u);  // attaching takes the names out of the directory

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
  EXPECT_EQ(queueFilesIn(dir), 2u);
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
  EXPECT_EQ(queueFilesIn(dir), 0u);
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

TEST(Consumer, NotReadyQueueIsRetriedThenLetGoAfterTheTimeout) {
  ScratchDirectory dir;
  touch(dir.file("counter.stuck"));
  MetricsConsumer consumer(
      dir.path(), ConsumerTimings{std::chrono::milliseconds(200), std::chrono::milliseconds(1000)});
  CaptureStdout();
  consumer.getCounterEntries();
  consumer.getCounterEntries();
  EXPECT_EQ(GetCapturedStdout(),
            "ERROR: Queue is not ready in dequeueMulti\n"
            "ERROR: Queue is not ready in dequeueMulti\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  CaptureStdout();
  consumer.getCounterEntries();
  EXPECT_EQ(GetCapturedStdout(), "ERROR: Letting go of metrics file that never became ready: " +
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

// A failure that may pass (here: out of descriptors) is retried by later calls, since the
// event that announced the file is never delivered again.
TEST(Failures, AFileThatCannotBeOpenedForNowIsRetriedLater) {
  ScratchDirectory dir;
  MetricsConsumer consumer(dir.path());
  consumer.getCounterEntries();
  MetricsCollector producer(dir.path());
  producer.incCounter("later", 5);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = 3;  // no descriptor beyond the standard three
  CaptureStdout();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  std::vector<CounterEntry> during = consumer.getCounterEntries();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  std::string output = GetCapturedStdout();
  EXPECT_TRUE(during.empty());
  EXPECT_PRED2(contains, output, ("ERROR: Will retry metrics file " + producer.counterPath()));
  EXPECT_EQ(valuesOf(consumer.getCounterEntries()), (std::vector<std::int32_t>{5}));
}

// --- finished producers are let go, so that a consumer outlives any number of them ---

TEST(LettingGo, ClosedQueuesAreDrainedOnceMoreThenUnmappedAndUnlinked) {
  ScratchDirectory dir;
  MetricsConsumer consumer(dir.path());
  consumer.getCounterEntries();
  std::size_t most_mapped = 0;
  for (int round = 0; round < 1000; ++round) {
    {
      MetricsCollector producer(dir.path());
      producer.incCounter("round", round);
      consumer.getCounterEntries();
      producer.incCounter("round", round);
    }  // closed here, with one record still pending
    ASSERT_EQ(valuesOf(consumer.getCounterEntries()), (std::vector<std::int32_t>{round}));
    most_mapped = std::max(most_mapped, testing::mappingCount(dir.path()));
  }
  consumer.getHistogramEntries();
  consumer.getGaugeEntries();
  EXPECT_EQ(consumer.attachedQueueCount(), 0u);
  EXPECT_LE(most_mapped, 6u);  // at most one producer's three files, mapped by both sides
  EXPECT_EQ(testing::mappingCount(dir.path()), 0u);
  EXPECT_EQ(queueFilesIn(dir), 0u);
}

TEST(LettingGo, QueuesOfProducersThatEndedWithoutClosingAreLetGo) {
  ScratchDirectory dir;
  MetricsConsumer consumer(
      dir.path(), ConsumerTimings{std::chrono::milliseconds(10000), std::chrono::milliseconds(0)});
  testing::Drained drained;
  const std::string prefix = testing::uniquePrefix("exited");
  for (int child = 0; child < 50; ++child) {
    ASSERT_EQ(testing::runInChild([&] {
                MetricsCollector producer(dir.path());
                producer.incCounter(prefix, child);
                std::_Exit(0);  // like os._exit, SIGKILL or the OOM killer: nothing is closed
                return 0;
              }),
              0);
    testing::drainInto(consumer, drained);
  }
  EXPECT_TRUE(
      testing::drainUntil(consumer, drained, [&] { return consumer.attachedQueueCount() == 0; }));
  std::vector<std::int32_t> expected(50);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(drained.counters[prefix], expected);
}

// Found by the hostile-directory run: a junk queue of one kind (ready, impossible indices, no
// owner) must go even when another kind's getter always looks at it first.
TEST(LettingGo, AJunkQueueIsLetGoWhicheverGetterReachesItFirst) {
  ScratchDirectory dir;
  {
    std::ofstream junk(dir.file("gauge.junk"), std::ios::binary);
    const unsigned char header[12] = {1, 0, 0, 0, 0xff, 0xff, 0xff, 0x7f, 7, 0, 0, 0};
    junk.write(reinterpret_cast<const char*>(header), sizeof header);
  }
  MetricsConsumer consumer(dir.path());
  CaptureStdout();
  for (int round = 0; round < 3; ++round) {
    consumer.getCounterEntries();
    consumer.getGaugeEntries();
  }
  GetCapturedStdout();
  EXPECT_EQ(consumer.attachedQueueCount(), 0u);
  EXPECT_TRUE(
      testing::listNames(dir.file(".consumer/") + testing::listNames(dir.file(".consumer"))[0])
          .empty());
}

// A producer killed while it records: every record it published is drained exactly once and
// whole, and its queues are let go afterwards.
TEST(LettingGo, ProducerKilledWhileRecordingLosesNothingItPublished) {
  ScratchDirectory dir;
  MetricsConsumer consumer(
      dir.path(), ConsumerTimings{std::chrono::milliseconds(10000), std::chrono::milliseconds(50)});
  testing::Signal started;
  pid_t producer = testing::startChild([&] {
    MetricsCollector collector(dir.path());
    testing::RawQueueFile raw(collector.counterPath());
    started.notify();
    for (std::int32_t i = 0;; ++i) {
      // Wait for room, so that nothing is dropped for a full queue.
      while ((raw.header().head.load() + 1) % 1000 == raw.header().tail.load()) {
      }
      collector.incCounter("seq." + std::to_string(i), i);
    }
    return 0;
  });
  ASSERT_TRUE(started.wait());
  std::vector<CounterEntry> drained;
  auto drainSome = [&] {
    auto more = consumer.getCounterEntries();
    drained.insert(drained.end(), more.begin(), more.end());
  };
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (drained.size() < 20000 && std::chrono::steady_clock::now() < deadline) {
    drainSome();
  }
  ::kill(producer, SIGKILL);
  testing::waitForChild(producer);
  while (consumer.attachedQueueCount() != 0 && std::chrono::steady_clock::now() < deadline) {
    drainSome();
  }
  EXPECT_EQ(consumer.attachedQueueCount(), 0u);
  ASSERT_GE(drained.size(), 20000u);
  for (std::size_t i = 0; i < drained.size(); ++i) {
    ASSERT_EQ(drained[i].value, static_cast<std::int32_t>(i));
    ASSERT_EQ(readName(drained[i].name), "seq." + std::to_string(i));
  }
}

// --- one live consumer per directory, and restarts that lose nothing ---

TEST(OneConsumer, ASecondConsumerIsRefusedWhileTheFirstLivesAndAcceptedAfter) {
  ScratchDirectory dir;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t first = testing::startChild([&] {
    MetricsConsumer consumer(dir.path());
    char byte = 1;
    static_cast<void>(::write(ready[1], &byte, 1));
    ::pause();
    return 0;
  });
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  try {
    MetricsConsumer second(dir.path());
    FAIL() << "a second consumer was accepted";
  } catch (const std::runtime_error& refused) {
    EXPECT_EQ(std::string(refused.what()), "Another consumer is already draining " + dir.path() +
                                               ": process " + std::to_string(first) +
                                               " holds its lock");
  }
  ::kill(first, SIGKILL);
  testing::waitForChild(first);
  EXPECT_NO_THROW(MetricsConsumer accepted(dir.path()));
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST(OneConsumer, ASecondConsumerInTheSameProcessIsRefused) {
  ScratchDirectory dir;
  MetricsConsumer first(dir.path());
  EXPECT_THROW(MetricsConsumer second(dir.path()), std::runtime_error);
  MetricsCollector producer(dir.path());
  producer.incCounter("still", 1);
  EXPECT_EQ(first.getCounterEntries().size(), 1u);  // the refusal left the first one intact
}

// A child forked from the consumer drains nothing, and letting go of what it inherited leaves
// the parent's watch, lock and files as they were.
TEST(OneConsumer, AForkedChildOfTheConsumerIsRefusedAndDisturbsNothing) {
  ScratchDirectory dir;
  auto consumer = std::make_unique<MetricsConsumer>(dir.path());
  MetricsCollector producer(dir.path());
  producer.incCounter("before", 1);
  EXPECT_EQ(consumer->getCounterEntries().size(), 1u);
  const pid_t parent = ::getpid();
  int status = testing::runInChild([&] {
    try {
      consumer->getCounterEntries();
      return 1;
    } catch (const std::runtime_error&) {
    }
    try {
      MetricsConsumer other(dir.path());
      return 2;
    } catch (const std::runtime_error& refused) {
      if (std::string(refused.what()).find(std::to_string(parent)) == std::string::npos) {
        return 3;
      }
    }
    consumer.reset();
    std::exit(0);
  });
  EXPECT_EQ(status, 0);
  producer.incCounter("after", 2);
  MetricsCollector newcomer(dir.path());
  newcomer.incCounter("newcomer", 3);
  EXPECT_EQ(namesOf(consumer->getCounterEntries()),
            (std::vector<std::string>{"after", "newcomer"}));
  EXPECT_THROW(MetricsConsumer(dir.path()), std::runtime_error);  // the lock is still held
}

// A restarted consumer finds the queues its predecessor had attached and carries on from
// their tails: nothing twice, nothing lost.
TEST(Restart, AConsumerKilledMidRunIsSucceededWithoutLossOrRepeats) {
  ScratchDirectory dir;
  constexpr int kRecords = 30000;
  testing::Signal started;
  pid_t producer = testing::startChild([&] {
    MetricsCollector collector(dir.path());
    testing::RawQueueFile raw(collector.counterPath());
    started.notify();
    for (std::int32_t i = 0; i < kRecords; ++i) {
      while ((raw.header().head.load() + 1) % 1000 == raw.header().tail.load()) {
      }
      collector.incCounter("r", i);
    }
    ::pause();  // lives on through the restart
    return 0;
  });
  ASSERT_TRUE(started.wait());
  int reported[2];  // made after the producer started, so that only the first consumer holds it
  ASSERT_EQ(::pipe(reported), 0);
  pid_t first = testing::startChild([&] {
    MetricsConsumer consumer(dir.path());
    std::int32_t got = 0;
    while (got < kRecords / 3) {
      for (const CounterEntry& entry : consumer.getCounterEntries()) {
        static_cast<void>(::write(reported[1], &entry.value, sizeof entry.value));
        ++got;
      }
    }
    ::raise(SIGKILL);
    return 0;
  });
  testing::waitForChild(first);
  ::close(reported[1]);
  std::vector<std::int32_t> values;
  for (std::int32_t value; ::read(reported[0], &value, sizeof value) == sizeof value;) {
    values.push_back(value);
  }
  ::close(reported[0]);
  MetricsConsumer second(dir.path());
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (values.size() < kRecords && std::chrono::steady_clock::now() < deadline) {
    for (std::int32_t value : valuesOf(second.getCounterEntries())) {
      values.push_back(value);
    }
  }
  ::kill(producer, SIGKILL);
  testing::waitForChild(producer);
  std::vector<std::int32_t> expected(kRecords);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(values, expected);
  // The predecessor's own subdirectory was emptied and removed.
  EXPECT_EQ(testing::listNames(dir.file(".consumer")).size(), 2u);  // lock and our own
}

TEST(Restart, QueuesOfSeveralDeadPredecessorsAreAdopted) {
  ScratchDirectory dir;
  const std::string state = dir.file(".consumer");
  MetricsCollector a(dir.path());
  MetricsCollector b(dir.path());
  a.incCounter("a", 1);
  b.incCounter("b", 2);
  // Two consumers that attached one producer each and ended.
  for (const auto& [collector, keep] :
       {std::pair<MetricsCollector*, std::string>{&a, state + "/attached.999991.1"},
        std::pair<MetricsCollector*, std::string>{&b, state + "/attached.999992.1"}}) {
    std::filesystem::create_directories(keep);
    for (const std::string& path :
         {collector->counterPath(), collector->histogramPath(), collector->gaugePath()}) {
      std::filesystem::rename(path, keep + "/" + std::string(baseName(path)));
    }
  }
  MetricsConsumer consumer(dir.path());
  EXPECT_EQ(consumer.attachedQueueCount(), 6u);
  EXPECT_EQ(namesOf(consumer.getCounterEntries()), (std::vector<std::string>{"a", "b"}));
  EXPECT_FALSE(std::filesystem::exists(state + "/attached.999991.1"));
  EXPECT_FALSE(std::filesystem::exists(state + "/attached.999992.1"));
}

TEST(Restart, ANameThatNowRefersToAnotherFileIsLeftAlone) {
  ScratchDirectory dir;
  MetricsConsumer consumer(dir.path());
  std::string kept;
  {
    MetricsCollector producer(dir.path());
    producer.incCounter("x", 1);
    consumer.getCounterEntries();
    const std::string state = dir.file(".consumer");
    for (const auto& name : testing::listNames(state)) {
      if (name.rfind("attached.", 0) == 0) {
        kept = state + "/" + name + "/" + std::string(baseName(producer.counterPath()));
      }
    }
  }
  ASSERT_TRUE(std::filesystem::exists(kept));
  std::filesystem::remove(kept);
  std::ofstream(kept) << "another file";
  CaptureStdout();
  consumer.getCounterEntries();  // the producer closed: the queue is let go
  EXPECT_PRED2(contains, GetCapturedStdout(), ("no longer refers to the file that was mapped"));
  std::ifstream other(kept);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(other), {}), "another file");
}

}  // namespace
}  // namespace zelnor
