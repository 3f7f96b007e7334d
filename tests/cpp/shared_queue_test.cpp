#include "metrics/shared_queue.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include <cmath>
#include <fstream>
#include <string>

#include "metrics/metrics_collector.h"
#include "test_support.h"

namespace zelnor {
namespace {

using testing::RawQueueFile;
using testing::ScratchDirectory;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

// Fills every slot with a record whose value is its slot index.
void markSlots(RawQueueFile& raw) {
  for (std::int32_t i = 0; i < 1000; ++i) {
    CounterEntry entry = testing::counterRecord("slot", i);
    std::memcpy(raw.bytes() + 12 + i * sizeof(CounterEntry), &entry, sizeof entry);
  }
}

TEST(QueueFile, NewOwnerQueueIsReadyEmptyAndFullSized) {
  ScratchDirectory dir;
  CounterQueue queue(dir.file("counter.1.shm"), true);
  struct stat status {};
  ASSERT_EQ(::stat(dir.file("counter.1.shm").c_str(), &status), 0);
  EXPECT_EQ(status.st_size, 2097152);
  // The owner reserves the blocks it will write, so a full disk cannot raise SIGBUS later.
  EXPECT_GE(status.st_blocks * 512, static_cast<off_t>(kMapLength));

  RawQueueFile raw(dir.file("counter.1.shm"));
  EXPECT_TRUE(raw.header().ready.load());
  EXPECT_FALSE(raw.header().closed.load());
  EXPECT_EQ(raw.header().head.load(), 0u);
  EXPECT_EQ(raw.header().tail.load(), 0u);
  for (std::size_t i = 2; i < CounterQueue::kRegionSize; ++i) {
    ASSERT_EQ(raw.bytes()[i], 0) << "byte " << i;
  }
  auto owner = readOwner(raw.bytes());
  ASSERT_TRUE(owner.has_value());
  EXPECT_EQ(owner->process.pid, static_cast<std::uint32_t>(::getpid()));
  EXPECT_EQ(owner->process.start_ticks, currentProcess().start_ticks);
  // Its lock outlives its descriptor on this file system: the lock is what tells it lives.
  EXPECT_EQ(owner->liveness, kLivenessByLock);
  EXPECT_EQ(owner->token, currentProcessToken());
}

// On a full file system a sparse mapping raises SIGBUS at the first touch of a page that has no
// block. The owner reserves the blocks first, so a full disk is an exception, not a dead process.
TEST(QueueFile, AFullFileSystemFailsTheCreationInsteadOfKillingTheProcess) {
  ScratchDirectory dir;
  const std::string mount_point = dir.file("small");
  std::filesystem::create_directories(mount_point);
  if (::mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
  }
  try {
    CounterQueue queue(mount_point + "/counter.1.shm", true);
    ADD_FAILURE() << "a 72 KiB queue was created on a 64 KiB file system";
  } catch (const SystemCallError& error) {
    EXPECT_EQ(error.code(), ENOSPC);
    EXPECT_EQ(std::string(error.what()),
              "Failed to posix_fallocate(fd, 0, map_size): No space left on device");
  }
  ::umount(mount_point.c_str());
}

TEST(QueueFile, OwnerNeverTakesOverAnExistingNameOrFollowsALink) {
  ScratchDirectory dir;
  { std::ofstream(dir.file("counter.1.shm")) << "someone else's data"; }
  ASSERT_EQ(::symlink(dir.file("target").c_str(), dir.file("counter.2.shm").c_str()), 0);
  for (const char* name : {"counter.1.shm", "counter.2.shm"}) {
    try {
      CounterQueue queue(dir.file(name), true);
      FAIL() << name << " was taken over";
    } catch (const SystemCallError& error) {
      EXPECT_EQ(error.code(), EEXIST);
      EXPECT_EQ(std::string(error.what()),
                "Failed to fd = open(file_path_.c_str(), O_CREAT | O_RDWR, 0666): File exists");
    }
  }
  std::ifstream kept(dir.file("counter.1.shm"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "someone else's data");
  EXPECT_FALSE(std::filesystem::exists(dir.file("target")));
}

TEST(Enqueue, The1000thRecordIsDroppedWithTheFullLine) {
  ScratchDirectory dir;
  CounterQueue owner(dir.file("counter.1.shm"), true);
  CaptureStdout();
  for (int i = 0; i < 999; ++i) {
    owner.enqueue(testing::counterRecord("c", i));
  }
  EXPECT_EQ(GetCapturedStdout(), "");
  CaptureStdout();
  owner.enqueue(testing::counterRecord("c", 999));
  EXPECT_EQ(GetCapturedStdout(), "ERROR: Queue is full in enqueue. Head: 999, Tail: 0\n");

  CounterQueue attached(dir.file("counter.1.shm"), false);
  auto drained = attached.dequeueMulti();
  ASSERT_EQ(drained.size(), 999u);
  EXPECT_EQ(drained.front().value, 0);
  EXPECT_EQ(drained.back().value, 998);
}

TEST(DequeueMulti, DrainWrapsAroundTheEndOfTheRing) {
  ScratchDirectory dir;
  CounterQueue owner(dir.file("counter.1.shm"), true);
  RawQueueFile raw(dir.file("counter.1.shm"));
  CounterQueue attached(dir.file("counter.1.shm"), false);
  markSlots(raw);

  raw.header().tail = 995;
  raw.header().head = 3;
  EXPECT_EQ(testing::valuesOf(attached.dequeueMulti()),
            (std::vector<std::int32_t>{995, 996, 997, 998, 999, 0, 1, 2}));
  EXPECT_EQ(raw.header().tail.load(), 3u);

  raw.header().tail = 5;
  raw.header().head = 0;
  auto drained = testing::valuesOf(attached.dequeueMulti());
  ASSERT_EQ(drained.size(), 995u);
  EXPECT_EQ(drained.front(), 5);
  EXPECT_EQ(drained.back(), 999);
  EXPECT_EQ(raw.header().tail.load(), 0u);
}

TEST(DequeueMulti, EmptyQueueReturnsNothingQuietly) {
  ScratchDirectory dir;
  CounterQueue owner(dir.file("counter.1.shm"), true);
  RawQueueFile raw(dir.file("counter.1.shm"));
  CounterQueue attached(dir.file("counter.1.shm"), false);
  raw.header().tail = 42;
  raw.header().head = 42;
  CaptureStdout();
  EXPECT_TRUE(attached.dequeueMulti().empty());
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(raw.header().tail.load(), 42u);
}

TEST(DequeueMulti, NotReadyQueueWritesItsLine) {
  ScratchDirectory dir;
  { std::ofstream(dir.file("counter.1.shm")); }
  CounterQueue attached(dir.file("counter.1.shm"), false);
  CaptureStdout();
  EXPECT_TRUE(attached.dequeueMulti().empty());
  EXPECT_EQ(GetCapturedStdout(), "ERROR: Queue is not ready in dequeueMulti\n");
}

// The directory is world-writable: a header may hold anything, and must never lead to an access
// outside the mapping. Each side reports a bad index once and drops or returns nothing.
TEST(CorruptHeader, IndicesOutOfRangeAreReportedOnceAndNeverUsed) {
  ScratchDirectory dir;
  const std::string path = dir.file("counter.1.shm");
  CounterQueue owner(path, true);
  RawQueueFile raw(path);
  CounterQueue attached(path, false);

  raw.header().head = 4000000000u;
  CaptureStdout();
  owner.enqueue(testing::counterRecord("c", 1));
  owner.enqueue(testing::counterRecord("c", 2));
  EXPECT_TRUE(attached.dequeueMulti().empty());
  EXPECT_TRUE(attached.dequeueMulti().empty());
  const std::string line =
      "ERROR: Corrupt queue index in " + path + ": head 4000000000, tail 0, capacity 1000\n";
  EXPECT_EQ(GetCapturedStdout(), line + line);
  EXPECT_EQ(raw.header().head.load(), 4000000000u);
  EXPECT_EQ(raw.header().tail.load(), 0u);

  raw.header().head = 0;
  raw.header().tail = 1000;
  CaptureStdout();
  owner.enqueue(testing::counterRecord("c", 3));
  EXPECT_TRUE(attached.dequeueMulti().empty());
  EXPECT_EQ(GetCapturedStdout(), "");  // each side said it once already
  EXPECT_EQ(raw.header().head.load(), 0u);
}

TEST(Lifecycle, ClosedOwnerLeavesPendingRecordsForTheConsumer) {
  ScratchDirectory dir;
  const std::string path = dir.file("counter.1.shm");
  std::optional<CounterQueue> owner(std::in_place, path, true);
  owner->enqueue(testing::counterRecord("a", 1));
  CounterQueue early(path, false);  // attached before the owner goes
  owner->enqueue(testing::counterRecord("b", 2));
  owner.reset();
  EXPECT_TRUE(early.isClosed());
  EXPECT_EQ(testing::valuesOf(early.dequeueMulti()), (std::vector<std::int32_t>{1, 2}));
}

TEST(Lifecycle, AttachingTakesTheNameOutOfTheDirectory) {
  ScratchDirectory dir;
  const std::string path = dir.file("counter.1.shm");
  CounterQueue owner(path, true);
  CounterQueue attached(path, false);
  EXPECT_FALSE(std::filesystem::exists(path));
  owner.enqueue(testing::counterRecord("after", 5));
  EXPECT_EQ(testing::valuesOf(attached.dequeueMulti()), (std::vector<std::int32_t>{5}));
}

TEST(Lifecycle, MovingIntoAKeepDirectoryNeverReplacesAKeptName) {
  ScratchDirectory dir;
  ScratchDirectory keep;
  UniqueFd dir_fd = openDirectory(AT_FDCWD, dir.path(), false);
  UniqueFd keep_fd = openDirectory(AT_FDCWD, keep.path(), false);
  const std::string path = dir.file("counter.1.shm");
  CounterQueue first_owner(path, true);
  QueueFile first = QueueFile::attach(dir_fd.get(), "counter.1.shm", path);
  EXPECT_EQ(moveQueueName(dir_fd.get(), "counter.1.shm", first.id(), keep_fd.get(), path, ""),
            "counter.1.shm");
  CounterQueue second_owner(path, true);  // the name came back for a new producer
  QueueFile second = QueueFile::attach(dir_fd.get(), "counter.1.shm", path);
  EXPECT_EQ(moveQueueName(dir_fd.get(), "counter.1.shm", second.id(), keep_fd.get(), path, ""),
            "counter.1.shm.1");
  EXPECT_EQ(testing::listNames(keep.path()),
            (std::vector<std::string>{"counter.1.shm", "counter.1.shm.1"}));
  // Only a name that still refers to the file is removed.
  EXPECT_EQ(removeQueueName(keep_fd.get(), "counter.1.shm.1", first.id(), path),
            Removal::kReplaced);
  EXPECT_EQ(removeQueueName(keep_fd.get(), "counter.1.shm", first.id(), path), Removal::kRemoved);
  EXPECT_EQ(testing::listNames(keep.path()), (std::vector<std::string>{"counter.1.shm.1"}));
}

TEST(AttachedSide, NeverCreatesAFileAndRefusesWhatIsNotAPlainQueueFile) {
  ScratchDirectory dir;
  try {
    CounterQueue queue(dir.file("counter.missing"), false);
    FAIL();
  } catch (const SystemCallError& error) {
    EXPECT_EQ(error.code(), ENOENT);
  }
  EXPECT_TRUE(testing::listNames(dir.path()).empty());

  { std::ofstream(dir.file("elsewhere")) << "x"; }
  ASSERT_EQ(::symlink(dir.file("elsewhere").c_str(), dir.file("counter.link").c_str()), 0);
  ASSERT_EQ(::link(dir.file("elsewhere").c_str(), dir.file("counter.hard").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir.file("counter.fifo").c_str(), 0666), 0);
  ASSERT_EQ(::mkdir(dir.file("counter.dir").c_str(), 0777), 0);
  const std::size_t descriptors = testing::openDescriptorCount();
  for (const char* name : {"counter.link", "counter.hard", "counter.fifo", "counter.dir"}) {
    EXPECT_THROW(CounterQueue(dir.file(name), false), RefusedFile) << name;
  }
  EXPECT_EQ(testing::openDescriptorCount(), descriptors);
  EXPECT_EQ(testing::listNames(dir.path()),
            (std::vector<std::string>{"counter.dir", "counter.fifo", "counter.hard", "counter.link",
                                      "elsewhere"}));
  struct stat status {};
  ASSERT_EQ(::stat(dir.file("elsewhere").c_str(), &status), 0);
  EXPECT_EQ(status.st_size, 1);
}

TEST(AttachedSide, SetsTheFileLengthOfAShortOrLongFile) {
  ScratchDirectory dir;
  for (off_t length : {off_t{100}, off_t{5 * 1024 * 1024}}) {
    const std::string path = dir.file("counter.sized");
    { std::ofstream(path) << "x"; }
    ASSERT_EQ(::truncate(path.c_str(), length), 0);
    UniqueFd dir_fd = openDirectory(AT_FDCWD, dir.path(), false);
    QueueFile attached = QueueFile::attach(dir_fd.get(), "counter.sized", path);
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_size, 2097152);
    ::unlink(path.c_str());
  }
}

// An attached queue in another process sees every record, in order and whole, while the
// producer keeps writing through the wrap-around.
TEST(BetweenProcesses, AttachedQueueInAnotherProcessDrainsInOrder) {
  ScratchDirectory dir;
  const std::string path = dir.file("histogram.1.shm");
  HistogramQueue owner(path, true);
  constexpr int kRecords = 20000;
  RawQueueFile raw(path);
  pid_t consumer = testing::startChild([&] {
    HistogramQueue attached(path, false);
    int expected = 0;
    while (expected < kRecords) {
      for (const HistogramEntry& entry : attached.dequeueMulti()) {
        if (entry.value != expected || readName(entry.name) != "h" + std::to_string(expected)) {
          return 1;
        }
        ++expected;
      }
    }
    return 0;
  });
  for (int i = 0; i < kRecords;) {
    // Stay below the capacity so that nothing is dropped.
    if ((raw.header().head.load() + 1000 - raw.header().tail.load()) % 1000 < 900) {
      HistogramEntry entry{};
      fillName(entry.name, "h" + std::to_string(i));
      entry.value = i;
      owner.enqueue(entry);
      ++i;
    }
  }
  EXPECT_EQ(testing::waitForChild(consumer), 0);
}

}  // namespace
}  // namespace zelnor
