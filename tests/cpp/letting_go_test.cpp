// Finished producers are let go, so that a consumer outlives any number of them; a live one never
// is, whatever the consumer cannot see of it.
#include "metrics/metrics_consumer.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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
  EXPECT_EQ(testing::queueFilesIn(dir.path()), 0u);
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
  const std::vector<std::int32_t> expected = testing::sequence(50);
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
      testing::waitForRoom(raw);
      collector.incCounter("seq." + std::to_string(i), i);
    }
    return 0;
  });
  started.closeWriteEnd();
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

// --- a live producer is never judged gone ---

using namespace std::chrono_literals;

// Records `count` counter records named `name` (values 0, 1, ...), one every 5 ms.
void recordPaced(MetricsCollector& collector, const std::string& name, int count) {
  for (int i = 0; i < count; ++i) {
    collector.incCounter(name, i);
    std::this_thread::sleep_for(5ms);
  }
}

// A consumer that checks every producer at every drain, as often as it can.
ConsumerTimings eagerTimings() {
  return ConsumerTimings{10s, 0ms, 10ms};
}

// Probing a producer costs the consumer a descriptor for a moment. Without one to spare, it
// cannot tell, and a producer it cannot look at is alive.
TEST(Liveness, AProducerIsAliveWhileTheConsumerHasNoDescriptorToSpare) {
  ScratchDirectory dir;
  MetricsConsumer consumer(dir.path(), eagerTimings());
  testing::Signal started;
  pid_t producer = testing::startChild([&] {
    MetricsCollector collector(dir.path());
    started.notify();
    recordPaced(collector, "paced", 300);
    ::pause();
    return 0;
  });
  started.closeWriteEnd();
  ASSERT_TRUE(started.wait());
  testing::Drained drained;
  ASSERT_TRUE(
      testing::drainUntil(consumer, drained, [&] { return consumer.attachedQueueCount() == 3; }));
  testing::withoutSpareDescriptors([&] {
    for (auto until = std::chrono::steady_clock::now() + 1200ms;
         std::chrono::steady_clock::now() < until;) {
      testing::drainInto(consumer, drained);
      std::this_thread::sleep_for(5ms);
    }
  });
  EXPECT_EQ(consumer.attachedQueueCount(), 3u);
  EXPECT_TRUE(testing::drainUntil(consumer, drained,
                                  [&] { return drained.counters["paced"].size() >= 300; }));
  EXPECT_EQ(drained.counters["paced"], testing::sequence(300));
  ::kill(producer, SIGKILL);
  testing::waitForChild(producer);
}

// The process goes on after its first thread called pthread_exit (that thread shows as a zombie).
TEST(Liveness, AProcessWhoseFirstThreadCalledPthreadExitIsAlive) {
  ScratchDirectory dir;
  MetricsConsumer consumer(dir.path(), eagerTimings());
  testing::Signal started;
  pid_t producer = ::fork();
  if (producer == 0) {
    std::thread([&] {
      MetricsCollector collector(dir.path());
      started.notify();
      recordPaced(collector, "after_exit", 200);
      std::_Exit(0);
    }).detach();
    // What pthread_exit does in the end, without unwinding this test's frames in the child.
    ::syscall(SYS_exit, 0);
  }
  started.closeWriteEnd();
  ASSERT_TRUE(started.wait());
  testing::Drained drained;
  EXPECT_TRUE(testing::drainUntil(consumer, drained,
                                  [&] { return drained.counters["after_exit"].size() >= 200; }));
  EXPECT_EQ(drained.counters["after_exit"], testing::sequence(200));
  testing::waitForChild(producer);
  EXPECT_TRUE(
      testing::drainUntil(consumer, drained, [&] { return consumer.attachedQueueCount() == 0; }));
}

// A producer in another pid namespace (a container sharing the directory) is invisible to this
// process's /proc, yet its end is seen, and its queues go.
TEST(Liveness, AProducerInAnotherPidNamespaceIsKeptWhileItLivesAndLetGoWhenItEnds) {
  ScratchDirectory dir;
  MetricsConsumer consumer(dir.path(), eagerTimings());
  testing::Signal started;
  testing::Signal end;  // written by this process, read by the producer
  pid_t outer = ::fork();
  if (outer == 0) {
    if (::unshare(CLONE_NEWPID) != 0) {
      std::_Exit(77);
    }
    pid_t inner = testing::startChild([&] {
      MetricsCollector collector(dir.path());
      collector.incCounter("contained", 1);
      started.notify();
      end.wait();
      std::_Exit(0);  // like SIGKILL or os._exit: nothing is closed
      return 0;
    });
    std::_Exit(testing::waitForChild(inner));
  }
  started.closeWriteEnd();
  if (!started.wait()) {
    EXPECT_EQ(testing::waitForChild(outer), 77);
    GTEST_SKIP() << "this machine does not let a test make a pid namespace";
  }
  testing::Drained drained;
  ASSERT_TRUE(testing::drainUntil(consumer, drained,
                                  [&] { return drained.counters["contained"].size() == 1; }));
  for (int drain = 0; drain < 20; ++drain) {
    testing::drainInto(consumer, drained);
  }
  EXPECT_EQ(consumer.attachedQueueCount(), 3u);
  end.notify();
  EXPECT_EQ(testing::waitForChild(outer), 0);
  EXPECT_TRUE(
      testing::drainUntil(consumer, drained, [&] { return consumer.attachedQueueCount() == 0; }));
}

// /proc mounted with hidepid=2 (systemd's ProtectProc=invisible) and the producer another user's:
// the consumer cannot see the producer's process at all, and must not take that for its end.
TEST(Liveness, AProducerTheConsumerCannotSeeUnderHidepidIsAlive) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to mount /proc privately and to change user";
  }
  ScratchDirectory dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  testing::Signal consuming;
  testing::Signal go;
  pid_t consumer = testing::startChild([&] {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("proc", "/proc", "proc", 0, "hidepid=2") != 0 || !testing::becomeNobody()) {
      return 77;
    }
    MetricsConsumer nobody(dir.path(), eagerTimings());
    consuming.notify();
    testing::Drained drained;
    testing::drainUntil(nobody, drained, [&] { return drained.counters["hidden"].size() >= 300; });
    return drained.counters["hidden"] == testing::sequence(300) ? 0 : 1;
  });
  consuming.closeWriteEnd();
  if (!consuming.wait()) {
    EXPECT_EQ(testing::waitForChild(consumer), 77);
    GTEST_SKIP() << "cannot mount /proc with hidepid=2 in a mount namespace here";
  }
  pid_t producer = testing::startChild([&] {
    ::umask(0);  // so that the consumer's user may write into the files
    MetricsCollector collector(dir.path());
    recordPaced(collector, "hidden", 300);
    ::pause();
    return 0;
  });
  EXPECT_EQ(testing::waitForChild(consumer), 0);
  ::kill(producer, SIGKILL);
  testing::waitForChild(producer);
}

// Files written before producers took their lock say so in their stamp: their producer is judged
// by its process, and only gone once no process with its id is left.
TEST(Liveness, AFileWithoutTheLockInItsStampIsJudgedByItsProcess) {
  ScratchDirectory dir;
  MetricsConsumer consumer(dir.path(), eagerTimings());
  testing::Signal started;
  testing::Signal end;
  pid_t producer = testing::startChild([&] {
    MetricsCollector collector(dir.path());
    for (const std::string& path :
         {collector.counterPath(), collector.histogramPath(), collector.gaugePath()}) {
      testing::RawQueueFile raw(path);
      std::memset(raw.bytes() + kOwnerStampOffset + offsetof(OwnerStamp, liveness), 0, 4);
    }
    collector.incCounter("older", 1);
    started.notify();
    end.wait();
    std::_Exit(0);
    return 0;
  });
  started.closeWriteEnd();
  ASSERT_TRUE(started.wait());
  testing::Drained drained;
  ASSERT_TRUE(testing::drainUntil(consumer, drained,
                                  [&] { return drained.counters["older"].size() == 1; }));
  for (int drain = 0; drain < 20; ++drain) {
    testing::drainInto(consumer, drained);
  }
  EXPECT_EQ(consumer.attachedQueueCount(), 3u);
  end.notify();
  testing::waitForChild(producer);  // reaped: no process with its id is left
  EXPECT_TRUE(
      testing::drainUntil(consumer, drained, [&] { return consumer.attachedQueueCount() == 0; }));
}

// `rm -rf` of the metrics directory takes away every name the consumer could probe a lock on:
// each producer's process identity then says whether it lives.
TEST(Liveness, ProducersWhoseNamesWereRemovedAreKeptWhileTheyLiveAndLetGoOnceKilled) {
  ScratchDirectory base;
  const std::string dir = base.file("metrics");
  MetricsConsumer consumer(dir, eagerTimings());
  testing::Signal started;
  std::vector<pid_t> producers;
  for (int producer = 0; producer < 2; ++producer) {
    producers.push_back(testing::startChild([&] {
      MetricsCollector collector(dir);
      started.notify();
      ::pause();
      return 0;
    }));
  }
  testing::KillAtEnd cleanup(producers);
  started.closeWriteEnd();
  ASSERT_TRUE(started.wait() && started.wait());
  testing::Drained drained;
  ASSERT_TRUE(
      testing::drainUntil(consumer, drained, [&] { return consumer.attachedQueueCount() == 6; }));
  std::filesystem::remove_all(dir);
  std::size_t fewest_attached = 6;
  for (auto until = std::chrono::steady_clock::now() + 1200ms;
       std::chrono::steady_clock::now() < until;) {
    testing::drainInto(consumer, drained);
    fewest_attached = std::min(fewest_attached, consumer.attachedQueueCount());
  }
  EXPECT_EQ(fewest_attached, 6u);
  cleanup.stop(producers[0]);
  EXPECT_TRUE(testing::drainUntil(
      consumer, drained, [&] { return consumer.attachedQueueCount() == 3; }, 5000));
}

// A producer stalled between its exclusive create and its ready flag (stopped, swapped out, a
// slow reservation) holds its lock all along: it loses nothing, however long it takes.
TEST(Liveness, AStalledProducerKeepsItsNotReadyFileUntilItIsReady) {
  ScratchDirectory dir;
  const std::string path = dir.file("counter.stalled");
  UniqueFd stalled(::open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666));
  ASSERT_TRUE(stalled && lockByte(stalled.get(), kProducerLockOffset));
  ASSERT_EQ(::ftruncate(stalled.get(), kFileLength), 0);
  MetricsConsumer consumer(dir.path(), ConsumerTimings{100ms, 0ms, 10ms});
  CaptureStdout();
  consumer.getCounterEntries();
  std::this_thread::sleep_for(150ms);
  consumer.getCounterEntries();
  consumer.getCounterEntries();
  EXPECT_EQ(GetCapturedStdout(), "ERROR: Queue is not ready in dequeueMulti\n");
  ASSERT_EQ(consumer.attachedQueueCount(), 1u);

  // It finishes: one record, then ready.
  MemoryMap map(stalled.get(), kMapLength);
  CounterEntry entry = testing::counterRecord("late", 7);
  std::memcpy(map.data() + sizeof(QueueHeader), &entry, sizeof entry);
  auto& header = *reinterpret_cast<QueueHeader*>(map.data());
  header.head.store(1);
  header.ready.store(1);
  EXPECT_EQ(valuesOf(consumer.getCounterEntries()), (std::vector<std::int32_t>{7}));
  stalled.reset();
  map = MemoryMap();  // the producer is gone now, and its queue with it
  consumer.getCounterEntries();
  EXPECT_EQ(consumer.attachedQueueCount(), 0u);
}

// A child forked from a producer holds none of its parent's queues: they go when the parent ends,
// while the child lives on.
TEST(Liveness, AForkedChildDoesNotKeepItsParentsQueuesAlive) {
  ScratchDirectory dir;
  MetricsConsumer consumer(dir.path(), eagerTimings());
  testing::Signal end;
  pid_t parent = testing::startChild([&] {
    MetricsCollector collector(dir.path());
    collector.incCounter("parent", 1);
    pid_t child = testing::startChild([&] {
      end.wait();
      return 0;
    });
    std::_Exit(child > 0 ? 0 : 1);  // without closing its queues; the child lives on
    return 0;
  });
  EXPECT_EQ(testing::waitForChild(parent), 0);
  testing::Drained drained;
  EXPECT_TRUE(testing::drainUntil(consumer, drained, [&] {
    return drained.counters["parent"].size() == 1 && consumer.attachedQueueCount() == 0;
  }));
  end.notify();
}

}  // namespace
}  // namespace zelnor
