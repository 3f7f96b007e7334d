#include "metrics/process_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/file_lock.h"

namespace zelnor {
namespace {

constexpr std::size_t kChunk = 64 * 1024;

// The state file `name` + ".state" in `producers_fd`, opened as a process file is: without
// following a link or blocking, only a regular file with one link of `owner`, of the size the
// layout gives.
UniqueFd openStateFile(int producers_fd, const std::string& name, uid_t owner) {
  const std::string state = name + std::string(kStateFileSuffix);
  UniqueFd fd(
      ::openat(producers_fd, state.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  struct stat status {};
  if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1 ||
      status.st_uid != owner || static_cast<std::uint64_t>(status.st_size) != kStateFileSize) {
    return UniqueFd();
  }
  return fd;
}

// Its slots, copied with pread: a mapping would let a truncation kill the reader with SIGBUS.
std::vector<StateEntry> readStateFile(int producers_fd, const std::string& name, uid_t owner) {
  const UniqueFd fd = openStateFile(producers_fd, name, owner);
  if (!fd) {
    return {};
  }
  const auto read = [&](std::size_t offset, std::size_t size, void* out) {
    return ::pread(fd.get(), out, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
  };
  return readStateSlots(read);
}

// Removes the state file of the process file `name`, which was just removed, under the same
// checks: a regular file with one link of `owner`, still the one opened.
void removeStateFile(int metrics_fd, const std::string& name, uid_t owner) {
  const UniqueFd producers = openDirectory(metrics_fd, std::string(kProcessFileDirectory), false);
  const UniqueFd fd = producers ? openStateFile(producers.get(), name, owner) : UniqueFd();
  const auto id = fd ? fileIdOf(fd.get()) : std::nullopt;
  const std::string state = name + std::string(kStateFileSuffix);
  if (id && fileIdAt(producers.get(), state) == id) {
    ::unlinkat(producers.get(), state.c_str(), 0);
  }
}

}  // namespace

void ProcessFiles::readMore(int fd, const ProcessFileName& name, Followed& file,
                            DeclarationSink& sink, std::size_t limit, int producers_fd,
                            uid_t owner) {
  struct stat status {};
  if (file.stuck || ::fstat(fd, &status) != 0) {
    return;
  }
  const auto size = static_cast<std::uint64_t>(status.st_size);
  if (size < file.offset) {
    file.stuck = true;  // cut shorter than what was read: what follows would not continue it
    return;
  }
  std::uint64_t wanted = std::min<std::uint64_t>(size - file.offset, limit);
  wanted = std::min<std::uint64_t>(wanted, ProcessFile::kMaxSize - file.offset);
  std::string buffer;
  while (wanted > 0) {
    buffer.resize(static_cast<std::size_t>(std::min<std::uint64_t>(wanted, kChunk)));
    const ssize_t got = ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(file.offset));
    if (got <= 0) {
      break;
    }
    file.offset += static_cast<std::uint64_t>(got);
    wanted -= static_cast<std::uint64_t>(got);
    sink.declarations(name, owner, std::string_view(buffer.data(), static_cast<std::size_t>(got)));
  }
  if (file.offset >= ProcessFile::kMaxSize) {
    file.stuck = true;
  }
  // Read to its end for the first time: every series the state names is declared by now.
  if (!file.restored && file.offset >= std::min<std::uint64_t>(size, ProcessFile::kMaxSize)) {
    file.restored = true;
    const std::vector<StateEntry> entries = readStateFile(producers_fd, name.text(), owner);
    if (!entries.empty()) {
      sink.restore(name.producerKey(), entries);
    }
  }
}

bool ProcessFiles::readNow(int metrics_fd, const ProcessFileName& name, uid_t owner,
                           DeclarationSink& sink) {
  const UniqueFd fd = openProcessFile(metrics_fd, name, owner);
  const auto id = fd ? fileIdOf(fd.get()) : std::nullopt;
  if (!id) {
    return false;
  }
  Followed& file = files_[name.text()];
  if (file.id != *id) {
    file = Followed{};
    file.id = *id;
  }
  const UniqueFd producers = openDirectory(metrics_fd, std::string(kProcessFileDirectory), false);
  const std::uint64_t before = file.offset;
  readMore(fd.get(), name, file, sink, kMaxReadPerLook, producers.get(), owner);
  return file.offset != before;
}

void ProcessFiles::look(int metrics_fd, Clock::time_point now,
                        const std::unordered_map<std::string, std::size_t>& named_by_queues,
                        std::uint64_t discoveries, DeclarationSink* sink) {
  if (now < next_look_) {
    return;
  }
  next_look_ = now + interval_;
  const UniqueFd producers = openDirectory(metrics_fd, std::string(kProcessFileDirectory), false);
  if (!producers) {
    return;
  }
  const auto grace = std::chrono::duration_cast<std::chrono::seconds>(grace_).count();
  const std::time_t wall_now = std::time(nullptr);
  std::unordered_set<std::string> present;
  std::size_t budget = kMaxReadPerLookInAll;  // the rest waits for the next look
  for (const std::string& text : listDirectory(producers.get())) {
    const auto name = ProcessFileName::parse(text);
    if (!name || (files_.count(text) == 0 && files_.size() >= kMaxFiles)) {
      continue;
    }
    const UniqueFd fd(
        ::openat(producers.get(), text.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat status {};
    if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_nlink != 1) {
      continue;  // not a process file: left as it is
    }
    present.insert(text);
    Followed& file = files_[text];
    const FileId id{status.st_dev, status.st_ino};
    if (file.id != id) {
      if (file.id != FileId{} && sink != nullptr) {
        sink->processEnded(name->producerKey());  // another file under the same name now
      }
      file = Followed{};
      file.id = id;
    }
    const ByteLock lock = probeByte(fd.get(), kLockedByte);
    file.seen_held = file.seen_held || lock == ByteLock::kHeld;
    // Only a live producer's file, or one a queue names, is read: a file nobody holds that no
    // queue names was left by a producer long gone, or planted.
    const bool named = named_by_queues.count(text) != 0;
    if (sink != nullptr && (lock == ByteLock::kHeld || named) && budget != 0) {
      const std::uint64_t before = file.offset;
      readMore(fd.get(), *name, file, *sink, std::min(kMaxReadPerLook, budget), producers.get(),
               status.st_uid);
      budget -= static_cast<std::size_t>(file.offset - before);
    }
    // A file read from was held when its producer wrote it (a producer locks its file before it
    // writes a byte): free now, its producer has ended.
    const bool known = file.seen_held || file.offset != 0;
    const bool quiet = std::max(status.st_mtime, status.st_ctime) + grace <= wall_now;
    if (lock != ByteLock::kFree || named || !(known || quiet)) {
      file.unnamed_since.reset();
      continue;
    }
    // Its producer may have ended before the consumer attached the queues it made: their names
    // were in the directory by then, and the next whole discovery attaches them.
    if (!file.unnamed_since || *file.unnamed_since >= discoveries) {
      if (!file.unnamed_since) {
        file.unnamed_since = discoveries;
      }
      continue;
    }
    // Its producer has ended and its queues are let go: the rest of what it declared, then the
    // end of it.
    if (sink != nullptr && known) {
      readMore(fd.get(), *name, file, *sink, ProcessFile::kMaxSize, producers.get(), status.st_uid);
      sink->processEnded(name->producerKey());
    }
    if (removeProcessFileIfFree(metrics_fd, text, status.st_uid)) {
      removeStateFile(metrics_fd, text, status.st_uid);
    }
    files_.erase(text);
    present.erase(text);
  }
  // Files removed by someone else: their producers are heard of no more.
  for (auto it = files_.begin(); it != files_.end();) {
    if (present.count(it->first) != 0 || named_by_queues.count(it->first) != 0) {
      ++it;
      continue;
    }
    if (sink != nullptr) {
      if (const auto name = ProcessFileName::parse(it->first)) {
        sink->processEnded(name->producerKey());
      }
    }
    it = files_.erase(it);
  }
}

}  // namespace zelnor
