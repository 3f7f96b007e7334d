// Each producer process's own file: made on first use, locked for the process's life and by nobody
// else, never kept alive by a forked child, read and removed by the consumer.
#include "metrics/process_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "metrics/metrics_collector.h"
#include "metrics/metrics_consumer.h"
#include "test_support.h"

namespace zelnor {
namespace {

using testing::ScratchDirectory;
using namespace std::chrono_literals;

std::string contentOf(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

ProcessFileLock lockOf(const std::string& directory, const ProcessFileName& name) {
  const UniqueFd metrics = openDirectory(AT_FDCWD, directory, false);
  return probeProcessFile(metrics.get(), name, ::geteuid());
}

TEST(ProcessFile, IsMadeOnFirstUseLockedAndTakesWholeLinesUpToItsBound) {
  ScratchDirectory dir;
  ProcessFile& file = ProcessFile::forDirectory(dir.path());
  EXPECT_EQ(&file, &ProcessFile::forDirectory(dir.path() + "/./"));
  EXPECT_EQ(file.token(), currentProcessToken());
  const ProcessFileName name{currentProcess().pid, currentProcess().start_ticks, file.token()};
  EXPECT_EQ(ProcessFileName::parse(name.text())->token, file.token());
  EXPECT_EQ(file.path(), dir.file(".producers/" + name.text()));
  EXPECT_EQ(lockOf(dir.path(), name), ProcessFileLock::kHeld);
  file.append("a 1\nb 2\n");
  EXPECT_THROW(file.append("no newline"), std::invalid_argument);
  EXPECT_THROW(file.append(std::string(ProcessFile::kMaxSize, '\n')), SystemCallError);
  EXPECT_EQ(contentOf(file.path()), "zelnor-process 1\na 1\nb 2\n");
}

// What is planted as .producers is never used nor followed: the process goes without a file.
TEST(ProcessFile, IsNeverMadeThroughSomethingPlantedAsItsDirectory) {
  ScratchDirectory dir;
  ScratchDirectory elsewhere;
  ASSERT_EQ(::symlink(elsewhere.path().c_str(), dir.file(".producers").c_str()), 0);
  EXPECT_THROW(ProcessFile::forDirectory(dir.path()), SystemCallError);
  EXPECT_TRUE(testing::listNames(elsewhere.path()).empty());
}

// The child's copy of its parent's descriptor is closed at the fork: the parent's file is free once
// the parent has ended, however long the child lives, and the child has a token and file of its
// own.
TEST(ProcessFile, AForkedChildMakesItsOwnAndNeverKeepsItsParentsLock) {
  ScratchDirectory dir;
  int names[2];
  ASSERT_EQ(::pipe(names), 0);
  testing::Signal end;
  const int parent = testing::runInChild([&] {
    const ProcessFileName mine{currentProcess().pid, currentProcess().start_ticks,
                               ProcessFile::forDirectory(dir.path()).token()};
    static_cast<void>(::write(names[1], &mine, sizeof mine));
    testing::startChild([&] {
      const ProcessFileName own{currentProcess().pid, currentProcess().start_ticks,
                                ProcessFile::forDirectory(dir.path()).token()};
      static_cast<void>(::write(names[1], &own, sizeof own));
      end.wait();
      return 0;
    });
    std::_Exit(0);
    return 0;
  });
  ASSERT_EQ(parent, 0);
  ProcessFileName ended;
  ProcessFileName child;
  ASSERT_EQ(::read(names[0], &ended, sizeof ended), static_cast<ssize_t>(sizeof ended));
  ASSERT_EQ(::read(names[0], &child, sizeof child), static_cast<ssize_t>(sizeof child));
  EXPECT_NE(child.token, ended.token);
  EXPECT_EQ(lockOf(dir.path(), ended), ProcessFileLock::kFree);
  EXPECT_EQ(lockOf(dir.path(), child), ProcessFileLock::kHeld);
  end.notify();
  ::close(names[0]);
  ::close(names[1]);
}

// The consumer opens the file of a producer its report names, and removes it once the producer
// has ended and no queue names it; a sweep removes the files of ended producers it never held.
TEST(ProcessFile, TheConsumerReadsAProducersFileAndRemovesItOnceItHasEnded) {
  struct Reader : DrainVisitor {
    MetricsConsumer* consumer = nullptr;
    std::string content;
    void counters(const Records<CounterEntry>&, const QueueReport& queue) override {
      const UniqueFd file = consumer->openProcessFile(queue);
      char buffer[64] = {};
      if (file && ::read(file.get(), buffer, sizeof buffer - 1) > 0) {
        content = buffer;
      }
    }
    void histograms(const Records<HistogramEntry>&, const QueueReport&) override {}
    void gauges(const Records<GaugeEntry>&, const QueueReport&) override {}
  };
  ScratchDirectory dir;
  testing::Signal started;
  auto startProducer = [&](bool with_queues) {
    return testing::startChild([&, with_queues] {
      ProcessFile::forDirectory(dir.path()).append("hello\n");
      if (with_queues) {
        MetricsCollector collector(dir.path());
        started.notify();
        ::pause();
      }
      return 0;
    });
  };
  const pid_t producer = startProducer(true);
  testing::KillAtEnd cleanup({producer});
  started.closeWriteEnd();
  ASSERT_TRUE(started.wait());
  EXPECT_EQ(testing::waitForChild(startProducer(false)), 0);  // a file and no queue
  ASSERT_EQ(testing::listNames(dir.file(".producers")).size(), 2u);
  MetricsConsumer consumer(dir.path(), ConsumerTimings{10s, 0ms, 10ms, 100ms, 0ms});
  Reader reader;
  reader.consumer = &consumer;
  consumer.drainAll(reader);
  EXPECT_EQ(reader.content, "zelnor-process 1\nhello\n");
  // The ended one goes at a later look, once a whole discovery has found no queue naming it
  // (how many looks that takes depends on when the directory's events arrive); the live one stays.
  EXPECT_EQ(testing::listNames(dir.file(".producers")).size(), 2u);
  testing::Drained drained;
  EXPECT_TRUE(testing::drainUntil(
      consumer, drained, [&] { return testing::listNames(dir.file(".producers")).size() == 1; }));
  const auto left = testing::listNames(dir.file(".producers"));
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].rfind(std::to_string(producer) + ".", 0), 0u) << left[0];
  cleanup.stop(producer);
  EXPECT_TRUE(testing::drainUntil(consumer, drained, [&] {
    return consumer.attachedQueueCount() == 0 && testing::listNames(dir.file(".producers")).empty();
  }));
}

}  // namespace
}  // namespace zelnor
