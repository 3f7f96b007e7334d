// Liveness and claims on every file system a metrics directory may lie on, each mounted in a mount
// namespace of the test's own. On overlayfs (a container's root) a lock goes with the descriptor
// that took it, although the mapping lives on; on the others the mapping keeps it.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <thread>

#include "metrics/metrics_collector.h"
#include "metrics/metrics_consumer.h"
#include "test_support.h"

namespace zelnor {
namespace {

using namespace std::chrono_literals;

class OnEveryFileSystem : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (!mount_.failure().empty()) {
      if (testing::mountsRequired()) {
        FAIL() << GetParam() << ": " << mount_.failure();
      }
      GTEST_SKIP() << GetParam() << ": " << mount_.failure();
    }
  }

  // Looks at each producer's liveness every 50 ms, so that a wrong verdict shows at once.
  static ConsumerTimings eager() { return ConsumerTimings{10s, 50ms, 10ms}; }

  testing::MountedDirectory mount_{GetParam()};
  const std::string dir_ = mount_.metricsDirectory();
};

// A producer that records for seconds while the consumer drains loses nothing and is never let go;
// killed, it is let go within seconds.
TEST_P(OnEveryFileSystem, ALiveProducerIsKeptAndAKilledOneLetGoWithinSeconds) {
  constexpr int kRecords = 1000;
  int stamped[2];
  ASSERT_EQ(::pipe(stamped), 0);
  MetricsConsumer consumer(dir_, eager());
  testing::Signal started;
  pid_t producer = testing::startChild([&] {
    MetricsCollector collector(dir_);
    testing::RawQueueFile raw(collector.counterPath());
    std::uint32_t liveness = 0;
    std::memcpy(&liveness, raw.bytes() + kOwnerStampOffset + offsetof(OwnerStamp, liveness), 4);
    static_cast<void>(::write(stamped[1], &liveness, sizeof liveness));
    started.notify();
    for (int i = 0; i < kRecords; ++i) {
      testing::waitForRoom(raw);
      collector.incCounter("paced", i);
      std::this_thread::sleep_for(2500us);
    }
    ::pause();
    return 0;
  });
  testing::KillAtEnd cleanup({producer});
  started.closeWriteEnd();
  ASSERT_TRUE(started.wait());
  std::uint32_t liveness = 0;
  ASSERT_EQ(::read(stamped[0], &liveness, sizeof liveness), static_cast<ssize_t>(sizeof liveness));
  // Where the lock goes with its descriptor, the process file's lock stands for it.
  EXPECT_EQ(liveness, std::string(GetParam()) == "overlay" ? 2u : 1u);
  testing::Drained drained;
  std::size_t fewest_attached = 3;
  testing::drainUntil(consumer, drained, [&] {
    if (!drained.counters["paced"].empty()) {
      fewest_attached = std::min(fewest_attached, consumer.attachedQueueCount());
    }
    return drained.counters["paced"].size() >= kRecords;
  });
  EXPECT_EQ(drained.counters["paced"], testing::sequence(kRecords));
  EXPECT_EQ(fewest_attached, 3u);
  cleanup.stop(producer);
  EXPECT_TRUE(testing::drainUntil(
      consumer, drained, [&] { return consumer.attachedQueueCount() == 0; }, 5000));
  ::close(stamped[0]);
  ::close(stamped[1]);
}

TEST_P(OnEveryFileSystem, AForkedChildOutlivingItsParentDoesNotKeepItsQueues) {
  MetricsConsumer consumer(dir_, eager());
  testing::Signal end;
  const int parent = testing::runInChild([&] {
    MetricsCollector collector(dir_);
    collector.incCounter("parent", 1);
    const pid_t child = testing::startChild([&] {
      end.wait();
      return 0;
    });
    std::_Exit(child > 0 ? 0 : 1);  // without closing its queues; the child lives on
    return 0;
  });
  EXPECT_EQ(parent, 0);
  testing::Drained drained;
  EXPECT_TRUE(testing::drainUntil(consumer, drained, [&] {
    return drained.counters["parent"].size() == 1 && consumer.attachedQueueCount() == 0;
  }));
  end.notify();
}

// A consumer's claim keeps a second consumer off its rings while it lives, even where the claim
// needs a descriptor of its own; a child it forked never keeps that claim once it has ended.
TEST_P(OnEveryFileSystem, OneConsumerHoldsARingAndNoChildItForkedKeepsItsClaim) {
  testing::Signal recorded;
  testing::Signal record_more;
  testing::Signal recorded_more;
  const pid_t producer = testing::startChild([&] {
    MetricsCollector collector(dir_);
    collector.incCounter("before", 1);
    recorded.notify();
    record_more.wait();
    collector.incCounter("after", 2);
    recorded_more.notify();
    ::pause();
    return 0;
  });
  testing::KillAtEnd cleanup({producer});
  recorded.closeWriteEnd();
  ASSERT_TRUE(recorded.wait());
  int forked[2];
  ASSERT_EQ(::pipe(forked), 0);
  const pid_t first = testing::startChild([&] {
    MetricsConsumer consumer(dir_, eager());
    testing::Drained drained;
    testing::drainUntil(consumer, drained, [&] { return drained.counters["before"].size() == 1; });
    const pid_t child = testing::startChild([] {
      ::pause();
      return 0;
    });
    static_cast<void>(::write(forked[1], &child, sizeof child));
    ::pause();
    return 0;
  });
  cleanup.add(first);
  pid_t child = 0;
  ASSERT_EQ(::read(forked[0], &child, sizeof child), static_cast<ssize_t>(sizeof child));
  cleanup.add(child);
  const auto kept = testing::keptNames(dir_);
  ASSERT_EQ(kept.size(), 3u);
  const std::string keep = dir_ + "/.consumer/" + kept[0].substr(0, kept[0].find('/'));
  const UniqueFd keep_fd = openDirectory(AT_FDCWD, keep, false);
  for (const std::string& name : kept) {
    const std::string file = name.substr(name.find('/') + 1);
    EXPECT_THROW(QueueFile::attach(keep_fd.get(), file, keep + "/" + file), HeldElsewhere) << name;
  }
  cleanup.stop(first);
  record_more.notify();
  recorded_more.closeWriteEnd();
  ASSERT_TRUE(recorded_more.wait());
  {
    MetricsConsumer second(dir_, eager());
    testing::Drained drained;
    EXPECT_TRUE(testing::drainUntil(second, drained, [&] {
      return drained.counters["after"].size() == 1 && second.attachedQueueCount() == 3;
    }));
  }
  ::close(forked[0]);
  ::close(forked[1]);
}

INSTANTIATE_TEST_SUITE_P(Mounted, OnEveryFileSystem,
                         ::testing::Values("tmpfs", "overlay", "xfs", "btrfs"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace zelnor
