#include "client/core_api.h"

#include <chrono>
#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "metrics/metrics_collector.h"
#include "metrics/process_file.h"
#include "platform/posix.h"
#include "platform/process.h"
#include "python/core_exports.h"

namespace zelnor::python {

// pybind11's default translation, for what recording into an existing collector can throw.
PyObject* raiseTranslated() {
  try {
    throw;
  } catch (const std::bad_alloc& error) {
    PyErr_SetString(PyExc_MemoryError, error.what());
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "Caught an unknown exception!");
  }
  return nullptr;
}

namespace {

// Each runs the collector's call as zelnor_core's own functions do, and turns a native failure
// into the Python exception those would raise.
template <typename Record>
int guarded(Record&& record) {
  try {
    record();
    return 0;
  } catch (...) {
    raiseTranslated();
    return -1;
  }
}

int recordInteger(const char* name, std::size_t size, std::int32_t value) {
  return guarded([&] {
    MetricsCollector::getLocalInstance().incCounter(std::string_view(name, size), value);
  });
}

int recordDouble(const char* name, std::size_t size, double value) {
  return guarded([&] {
    MetricsCollector::getLocalInstance().observeHistogram(std::string_view(name, size), value);
  });
}

int recordKeyed(const char* name, std::size_t size, double value) {
  return guarded(
      [&] { MetricsCollector::getLocalInstance().setGauge(std::string_view(name, size), value); });
}

// Declarations this process could not write to its process file yet, under the interpreter lock.
// A forked child starts without them: it writes every declaration again into a file of its own.
struct HeldDeclarations {
  unsigned generation = ~0u;
  std::string bytes;
  std::chrono::steady_clock::time_point next_try;
  std::uint64_t failures = 0;
  bool said = false;
};
HeldDeclarations held;

constexpr std::chrono::seconds kDeclarationRetry{1};

int declare(const char* bytes, std::size_t size) {
  if (held.generation != forkGeneration()) {
    held = HeldDeclarations{};
    held.generation = forkGeneration();
  }
  if (held.bytes.size() + size > ProcessFile::kMaxSize) {
    // More than a process file ever takes: it could never be written.
    ++held.failures;
    writeErrorLine("Dropping declarations that no process file can take");
    return held.bytes.empty() ? 0 : 1;
  }
  held.bytes.append(bytes, size);
  const auto now = std::chrono::steady_clock::now();
  if (held.bytes.empty() || now < held.next_try) {
    return held.bytes.empty() ? 0 : 1;
  }
  try {
    ProcessFile::current().append(held.bytes);
    held.bytes.clear();
    held.said = false;
    return 0;
  } catch (const std::exception& failure) {
    ++held.failures;
    held.next_try = now + kDeclarationRetry;
    if (!held.said) {
      held.said = true;
      writeErrorLine(std::string(failure.what()) + " (declarations kept, tried again)");
    }
    return 1;
  }
}

std::uint64_t declarationFailures() {
  return held.generation == forkGeneration() ? held.failures : 0;
}

StateHeader* stateArea(std::uint32_t wanted, std::uint32_t* reserved) {
  *reserved = 0;
  try {
    return ProcessFile::current().stateArea(wanted, *reserved);
  } catch (const std::exception&) {
    return nullptr;  // no process file: said where declarations fail
  }
}

const CoreApi kApi = {kCoreApiVersion, &recordInteger,       &recordDouble, &recordKeyed,
                      &declare,        &declarationFailures, &stateArea};

}  // namespace

void installCoreApi(pybind11::module_& module) {
  PyObject* capsule = PyCapsule_New(const_cast<CoreApi*>(&kApi), kCoreApiCapsule, nullptr);
  if (capsule == nullptr) {
    throw pybind11::error_already_set();
  }
  module.attr("__capi__") = pybind11::reinterpret_steal<pybind11::object>(capsule);
}

}  // namespace zelnor::python
