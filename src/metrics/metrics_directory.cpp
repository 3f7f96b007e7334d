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
  directory = normaliseDirectory(directory);
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

std::string normaliseDirectory(std::string_view path) {
  const bool absolute = !path.empty() && path.front() == '/';
  std::string normal = absolute ? "/" : "";
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view component = path.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    if (component.empty() || component == ".") {
      continue;
    }
    if (!normal.empty() && normal.back() != '/') {
      normal += '/';
    }
    normal.append(component);
  }
  return normal.empty() ? "." : normal;
}

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
