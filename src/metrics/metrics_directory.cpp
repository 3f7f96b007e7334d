#include "metrics/metrics_directory.h"

#include <cstdlib>
#include <mutex>
#include <stdexcept>

#include "platform/process.h"

namespace zelnor {
namespace {

struct Configured {
  unsigned generation = ~0u;
  std::string directory;
  std::string error;
};

Configured readConfiguration() {
  Configured configured;
  const char* value = std::getenv(std::string(kMetricsDirectoryVariable).c_str());
  if (value == nullptr || *value == '\0') {
    configured.directory = std::string(kMetricsDirectory);
    return configured;
  }
  std::string directory = value;
  const std::string named = std::string(kMetricsDirectoryVariable);
  if (directory.front() != '/') {
    configured.error = named + " is not an absolute path: " + directory;
    return configured;
  }
  while (directory.size() > 1 && directory.back() == '/') {
    directory.pop_back();
  }
  if (directory.size() > kMaxMetricsDirectoryLength) {
    configured.error = named + " is too long for a queue file's path (" +
                       std::to_string(directory.size()) + " bytes, at most " +
                       std::to_string(kMaxMetricsDirectoryLength) + "): " + value;
    return configured;
  }
  configured.directory = std::move(directory);
  return configured;
}

}  // namespace

const std::string& metricsDirectory() {
  static std::mutex mutex;
  static Configured configured;
  std::lock_guard<std::mutex> guard(mutex);
  // Once per process: a forked child, a process of its own, reads its environment again.
  if (configured.generation != forkGeneration()) {
    configured = readConfiguration();
    configured.generation = forkGeneration();
  }
  if (!configured.error.empty()) {
    throw std::runtime_error(configured.error);
  }
  return configured.directory;
}

}  // namespace zelnor
