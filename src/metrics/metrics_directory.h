// Where the queue files live: the fixed directory /tmp/metrics_collector, or the one a process's
// environment names in ZELNOR_METRICS_DIR.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zelnor {

inline constexpr std::string_view kMetricsDirectory = "/tmp/metrics_collector";
inline constexpr std::string_view kMetricsDirectoryVariable = "ZELNOR_METRICS_DIR";

// The longest directory a queue file's path leaves room for: the longest path built under it
// (".consumer/attached.<pid>.<start>/histogram.<20 digits>.shm.<suffix>") must fit in PATH_MAX.
inline constexpr std::size_t kMaxMetricsDirectoryLength = 4000;

// The one spelling of a directory that the producer, the consumer and the exporter use: repeated
// slashes made one, "." components and trailing slashes left out ("/" stays "/", and a relative
// path with nothing left is "."). ".." components stay as they are: dropping one together with the
// component before it would lead elsewhere when that component is a symbolic link, so only the
// kernel resolves them (such a spelling of the shared default is not taken for it).
std::string normaliseDirectory(std::string_view path);

// The metrics directory of this process: ZELNOR_METRICS_DIR when it is set and not empty (in its
// normal form), else kMetricsDirectory. Read once per process, at the first call. Throws
// std::runtime_error naming the variable and its value when that is not an absolute path or is
// too long; then nothing has been created.
const std::string& metricsDirectory();

// Whether `directory`, however spelt, is the fixed default, which is shared by every user and made
// writable by all.
inline bool isSharedDirectory(std::string_view directory) {
  return normaliseDirectory(directory) == kMetricsDirectory;
}

}  // namespace zelnor
