// One live consumer per directory, its own state, and restarts that lose nothing.
#include "metrics/metrics_consumer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
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
using namespace std::chrono_literals;

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

// A producer process that records the counter "r" as 0, 1, ..., records - 1, never dropping one,
// resting `rest` after every 50, and then lives on until it is killed.
pid_t startCountingProducer(const std::string& directory, std::int32_t records,
                            testing::Signal& started, std::chrono::milliseconds rest) {
  return testing::startChild([&, records, rest] {
    MetricsCollector collector(directory);
    testing::RawQueueFile raw(collector.counterPath());
    started.notify();
    for (std::int32_t i = 0; i < records; ++i) {
      testing::waitForRoom(raw);
      collector.incCounter("r", i);
      if (i % 50 == 0 && rest.count() != 0) {
        std::this_thread::sleep_for(rest);
      }
    }
    ::pause();
    return 0;
  });
}

// A restarted consumer finds the queues its predecessor had attached and carries on from
// their tails: nothing twice, nothing lost.
TEST(Restart, AConsumerKilledMidRunIsSucceededWithoutLossOrRepeats) {
  ScratchDirectory dir;
  constexpr int kRecords = 30000;
  testing::Signal started;
  pid_t producer = startCountingProducer(dir.path(), kRecords, started, 0ms);
  started.closeWriteEnd();
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
  const std::vector<std::int32_t> expected = testing::sequence(kRecords);
  EXPECT_EQ(values, expected);
  // The predecessor's own subdirectory was emptied and removed.
  EXPECT_EQ(testing::listNames(dir.file(".consumer")).size(), 2u);  // lock and our own
}

// Sums what drainAll says of the counter queues' drops that nobody had reported.
struct DropRecorder : DrainVisitor {
  std::uint64_t unreported = 0;
  void counters(const Records<CounterEntry>&, const QueueReport& queue) override {
    unreported += queue.dropped_unreported;
  }
  void histograms(const Records<HistogramEntry>&, const QueueReport&) override {}
  void gauges(const Records<GaugeEntry>&, const QueueReport&) override {}
};

// The file keeps how many of its drops some consumer has reported, so a consumer that adopts it
// reports only the rest: each drop is reported once, however often consumers restart, and a count
// that someone rewrote lower reports nothing.
TEST(Restart, EachDropIsReportedOnceAcrossConsumersAndACountThatFallsReportsNothing) {
  ScratchDirectory dir;
  MetricsCollector producer(dir.path());
  testing::RawQueueFile raw(producer.counterPath());
  auto& dropped = *reinterpret_cast<DroppedCounter*>(raw.bytes() + kDroppedOffset);
  // One drain by a consumer process of its own, which then ends as if it were killed.
  auto reportedByANewConsumer = [&] {
    int out[2];
    std::uint64_t reported = ~0ULL;
    if (::pipe(out) != 0) {
      return reported;
    }
    testing::runInChild([&] {
      MetricsConsumer consumer(dir.path());
      DropRecorder recorder;
      consumer.drainAll(recorder);
      static_cast<void>(::write(out[1], &recorder.unreported, sizeof recorder.unreported));
      std::_Exit(0);
      return 0;
    });
    static_cast<void>(::read(out[0], &reported, sizeof reported));
    ::close(out[0]);
    ::close(out[1]);
    return reported;
  };
  auto record = [&](int count) {
    CaptureStdout();  // the full-queue lines
    for (int i = 0; i < count; ++i) {
      producer.incCounter("d", i);
    }
    GetCapturedStdout();
  };
  record(2000);  // 999 fit
  EXPECT_EQ(reportedByANewConsumer(), 1001u);
  record(2000);
  EXPECT_EQ(reportedByANewConsumer(), 1001u);
  EXPECT_EQ(reportedByANewConsumer(), 0u);
  dropped.store(std::uint64_t{1} << 63);
  EXPECT_EQ(reportedByANewConsumer(), (std::uint64_t{1} << 63) - 2002);
  dropped.store(5);
  EXPECT_EQ(reportedByANewConsumer(), 0u);
  dropped.store((std::uint64_t{1} << 63) + 7);
  EXPECT_EQ(reportedByANewConsumer(), 7u);
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

// --- the consumer's state cannot be redirected or undone by others ---

mode_t modeOf(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 ? status.st_mode : 0;
}

// The message a second consumer gets, run in a process of its own; "" if it was accepted.
std::string refusalOfASecondConsumer(const std::string& directory) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) {
    return "no pipe";
  }
  int status = testing::runInChild([&] {
    try {
      MetricsConsumer second(directory);
    } catch (const std::exception& refused) {
      static_cast<void>(::write(pipe_fds[1], refused.what(), std::strlen(refused.what())));
    }
    return 0;
  });
  ::close(pipe_fds[1]);
  char buffer[512] = {};
  ssize_t length = ::read(pipe_fds[0], buffer, sizeof buffer - 1);
  ::close(pipe_fds[0]);
  return status == 0 && length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : "";
}

// A consumer that compares its state with the names at every drain (by default, at most every
// 100 ms).
ConsumerTimings everyDrain() {
  return ConsumerTimings{10s, 1000ms, 1000ms, 0ms};
}

std::string heldBy(const std::string& directory) {
  return "Another consumer is already draining " + directory + ": process " +
         std::to_string(::getpid()) + " holds its lock";
}

// Nobody else may write the consumer's state, and nothing planted in its place is followed.
TEST(ConsumerState, IsAConsumerOwnedDirectoryThatNothingPlantedRedirects) {
  ScratchDirectory dir;
  ScratchDirectory elsewhere;
  ASSERT_EQ(::chmod(elsewhere.path().c_str(), 0700), 0);
  ASSERT_EQ(::symlink(elsewhere.path().c_str(), dir.file(".consumer").c_str()), 0);
  {
    MetricsConsumer consumer(dir.path());
    EXPECT_EQ(modeOf(dir.file(".consumer")), S_IFDIR | 0755);
    EXPECT_EQ(modeOf(dir.file(".consumer/lock")), S_IFREG | 0600);
    const auto state = testing::listNames(dir.file(".consumer"));
    ASSERT_EQ(state.size(), 2u);
    EXPECT_EQ(modeOf(dir.file(".consumer/" + state[0])), S_IFDIR | 0700);
  }
  // Left writable by all by an older release, with a link planted as its lock.
  ASSERT_EQ(::chmod(dir.file(".consumer").c_str(), 0777), 0);
  ASSERT_EQ(::unlink(dir.file(".consumer/lock").c_str()), 0);
  ASSERT_EQ(::symlink(elsewhere.file("victim").c_str(), dir.file(".consumer/lock").c_str()), 0);
  MetricsConsumer consumer(dir.path());
  EXPECT_EQ(modeOf(dir.file(".consumer")), S_IFDIR | 0755);
  EXPECT_EQ(modeOf(dir.file(".consumer/lock")), S_IFREG | 0600);
  EXPECT_EQ(modeOf(elsewhere.path()), S_IFDIR | 0700);
  EXPECT_TRUE(testing::listNames(elsewhere.path()).empty());
}

// Another user may rename `.consumer` away (the metrics directory is writable by all) but can
// change nothing inside it; the consumer notices, takes its lock again, and carries on.
TEST(ConsumerState, AnotherUserCanNeitherRedirectNorUndoTheConsumer) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to act as another user";
  }
  ScratchDirectory dir;
  ScratchDirectory elsewhere;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  ASSERT_EQ(::chmod(elsewhere.path().c_str(), 0711), 0);
  MetricsConsumer consumer(dir.path(), everyDrain());
  MetricsCollector producer(dir.path());
  producer.incCounter("x", 1);
  ASSERT_EQ(valuesOf(consumer.getCounterEntries()), (std::vector<std::int32_t>{1}));
  const std::string kept = testing::keptNames(dir.path()).front();
  const std::string keep = kept.substr(0, kept.find('/'));

  const int attacker = testing::runInChild([&] {
    if (!testing::becomeNobody()) {
      return 1;
    }
    const std::string state = dir.file(".consumer");
    if (::rename((state + "/" + keep).c_str(), (state + "/elsewhere").c_str()) == 0 ||
        ::unlink((state + "/lock").c_str()) == 0 || ::unlink((state + "/" + kept).c_str()) == 0) {
      return 2;
    }
    if (::rename(state.c_str(), dir.file(".consumer.moved").c_str()) != 0 ||
        ::symlink(elsewhere.path().c_str(), state.c_str()) != 0) {
      return 3;
    }
    touch(dir.file("counter.planted"));
    return 0;
  });
  ASSERT_EQ(attacker, 0);
  producer.incCounter("x", 2);
  EXPECT_EQ(valuesOf(consumer.getCounterEntries()), (std::vector<std::int32_t>{2}));
  EXPECT_EQ(modeOf(dir.file(".consumer")), S_IFDIR | 0755);
  // The producer's three files, and the plant, are in the new state directory.
  EXPECT_EQ(testing::keptNames(dir.path()).size(), 4u);
  EXPECT_TRUE(testing::listNames(elsewhere.path()).empty());
  EXPECT_EQ(modeOf(elsewhere.path()), S_IFDIR | 0711);
  EXPECT_EQ(refusalOfASecondConsumer(dir.path()), heldBy(dir.path()));
}

TEST(ConsumerState, AStateDirectoryRenamedAwayIsMadeAgainAndItsLockTakenAgain) {
  ScratchDirectory dir;
  MetricsConsumer consumer(dir.path(), everyDrain());
  MetricsCollector producer(dir.path());
  producer.incCounter("x", 1);
  consumer.getCounterEntries();
  ASSERT_EQ(::rename(dir.file(".consumer").c_str(), dir.file(".consumer.old").c_str()), 0);
  producer.incCounter("x", 2);
  EXPECT_EQ(valuesOf(consumer.getCounterEntries()), (std::vector<std::int32_t>{2}));
  EXPECT_EQ(testing::keptNames(dir.path()).size(), 3u);  // moved into the new state directory
  EXPECT_EQ(refusalOfASecondConsumer(dir.path()), heldBy(dir.path()));
}

// Someone of the consumer's own user unlinks its lock and starts a second consumer. The second
// takes a new lock, but cannot attach the rings the first holds; the first finds its lock gone at
// its next drain and stops. Every record arrives exactly once.
TEST(ConsumerState, AnUnlinkedLockNeverLetsTwoConsumersDrainOneRing) {
  ScratchDirectory dir;
  constexpr int kRecords = 3000;
  testing::Signal started;
  pid_t producer = startCountingProducer(dir.path(), kRecords, started, 2ms);
  started.closeWriteEnd();
  ASSERT_TRUE(started.wait());

  // A consumer process that reports every value it drains on `out`, until it is refused or has
  // seen the last record. `ready` is told once it holds the lock, `halfway` after 500 records.
  auto consume = [&](int out, testing::Signal& ready, testing::Signal* halfway) {
    return testing::startChild([&, out, halfway] {
      MetricsConsumer consumer(dir.path(), ConsumerTimings{10s, 1000ms, 20ms});
      ready.notify();
      int got = 0;
      for (auto until = std::chrono::steady_clock::now() + 30s;
           std::chrono::steady_clock::now() < until;) {
        std::vector<CounterEntry> entries;
        try {
          entries = consumer.getCounterEntries();
        } catch (const ConsumerRefused&) {
          return 0;
        }
        for (const CounterEntry& entry : entries) {
          static_cast<void>(::write(out, &entry.value, sizeof entry.value));
          if (++got == 500 && halfway != nullptr) {
            halfway->notify();
          }
          if (entry.value == kRecords - 1) {
            return 0;
          }
        }
        std::this_thread::sleep_for(1ms);
      }
      return 1;
    });
  };
  int first_out[2];
  int second_out[2];
  ASSERT_EQ(::pipe(first_out), 0);
  ASSERT_EQ(::pipe(second_out), 0);
  testing::Signal first_ready;
  testing::Signal halfway;
  pid_t first = consume(first_out[1], first_ready, &halfway);
  halfway.closeWriteEnd();
  ASSERT_TRUE(halfway.wait());
  // The first is held still until the second has taken the new lock, which it would otherwise
  // take again itself at its next drain.
  ::kill(first, SIGSTOP);
  ASSERT_EQ(::unlink(dir.file(".consumer/lock").c_str()), 0);
  testing::Signal second_ready;
  pid_t second = consume(second_out[1], second_ready, nullptr);
  second_ready.closeWriteEnd();
  ASSERT_TRUE(second_ready.wait());
  ::kill(first, SIGCONT);
  ::close(first_out[1]);
  ::close(second_out[1]);
  std::vector<std::int32_t> values;
  for (int fd : {first_out[0], second_out[0]}) {
    for (std::int32_t value; ::read(fd, &value, sizeof value) == sizeof value;) {
      values.push_back(value);
    }
    ::close(fd);
  }
  EXPECT_EQ(testing::waitForChild(first), 0);
  EXPECT_EQ(testing::waitForChild(second), 0);
  ::kill(producer, SIGKILL);
  testing::waitForChild(producer);
  std::sort(values.begin(), values.end());
  const std::vector<std::int32_t> expected = testing::sequence(kRecords);
  EXPECT_EQ(values, expected);
}

// A consumer whose state another consumer has taken over while it was stopped is refused at its
// next drain; it lets go of its rings and moves their names back into the metrics directory,
// where the consumer that took over finds them at once and drains whatever comes after.
TEST(ConsumerState, ARefusedConsumerHandsItsRingsToTheOneThatTookOver) {
  ScratchDirectory dir;
  constexpr int kRecords = 2000;
  testing::Signal started;
  const pid_t producer = startCountingProducer(dir.path(), kRecords, started, 5ms);
  testing::KillAtEnd cleanup({producer});
  started.closeWriteEnd();
  ASSERT_TRUE(started.wait());
  int outcome[2];
  ASSERT_EQ(::pipe(outcome), 0);
  testing::Signal holding;
  const pid_t first = testing::startChild([&] {
    MetricsConsumer consumer(dir.path(), everyDrain());
    testing::Drained drained;
    testing::drainUntil(consumer, drained, [&] { return !drained.counters["r"].empty(); });
    holding.notify();
    int refused = 0;
    try {
      for (auto until = std::chrono::steady_clock::now() + 20s;
           std::chrono::steady_clock::now() < until;) {
        testing::drainInto(consumer, drained);
        std::this_thread::sleep_for(5ms);
      }
    } catch (const ConsumerRefused&) {
      refused = 1;
    }
    const std::int32_t last = drained.counters["r"].back();
    static_cast<void>(::write(outcome[1], &refused, sizeof refused));
    static_cast<void>(::write(outcome[1], &last, sizeof last));
    return 0;
  });
  cleanup.add(first);
  holding.closeWriteEnd();
  ASSERT_TRUE(holding.wait());
  ::kill(first, SIGSTOP);
  ASSERT_EQ(::rename(dir.file(".consumer").c_str(), dir.file(".consumer.old").c_str()), 0);
  MetricsConsumer second(dir.path(), everyDrain());
  second.getCounterEntries();  // holds the directory's new lock
  ::kill(first, SIGCONT);
  int refused = 0;
  std::int32_t last = 0;
  ASSERT_EQ(::read(outcome[0], &refused, sizeof refused), static_cast<ssize_t>(sizeof refused));
  ASSERT_EQ(::read(outcome[0], &last, sizeof last), static_cast<ssize_t>(sizeof last));
  EXPECT_EQ(refused, 1);
  cleanup.stop(first);  // ended already; reaped here
  std::vector<std::int32_t> values;
  for (auto until = std::chrono::steady_clock::now() + 20s;
       (values.empty() || values.back() != kRecords - 1) &&
       std::chrono::steady_clock::now() < until;) {
    for (std::int32_t value : valuesOf(second.getCounterEntries())) {
      values.push_back(value);
    }
  }
  ASSERT_FALSE(values.empty());
  EXPECT_EQ(values.front(), last + 1);
  EXPECT_EQ(values.back(), kRecords - 1);
  EXPECT_EQ(values.size(), static_cast<std::size_t>(kRecords - 1 - last));
  ::close(outcome[0]);
  ::close(outcome[1]);
}

// `rm -rf` of the metrics directory, or a rename of it, under a consumer that holds its lock:
// within one drain it makes the directory again, takes its lock there, and finds the producers
// that come back.
TEST(ConsumerState, ARemovedOrRenamedMetricsDirectoryIsMadeAgainAndWatched) {
  ScratchDirectory base;
  const std::string path = base.file("metrics");
  MetricsConsumer consumer(path);
  MetricsCollector early(path);
  early.incCounter("early", 1);
  ASSERT_EQ(valuesOf(consumer.getCounterEntries()), (std::vector<std::int32_t>{1}));

  std::filesystem::remove_all(path);
  MetricsCollector late(path);
  late.incCounter("late", 2);
  early.incCounter("early", 3);
  EXPECT_EQ(valuesOf(consumer.getCounterEntries()), (std::vector<std::int32_t>{3, 2}));
  EXPECT_EQ(refusalOfASecondConsumer(path), heldBy(path));

  std::filesystem::rename(path, base.file("moved"));
  MetricsCollector later(path);
  later.incCounter("later", 4);
  EXPECT_EQ(namesOf(consumer.getCounterEntries()), (std::vector<std::string>{"later"}));
  EXPECT_EQ(refusalOfASecondConsumer(path), heldBy(path));
}

}  // namespace
}  // namespace zelnor
