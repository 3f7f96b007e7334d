#include "python/core_api.h"

#include <exception>
#include <new>
#include <string_view>

#include "metrics/metrics_collector.h"
#include "metrics/process_file.h"
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

int incCounter(const char* name, std::size_t size, std::int32_t value) {
  return guarded([&] {
    MetricsCollector::getLocalInstance().incCounter(std::string_view(name, size), value);
  });
}

int observeHistogram(const char* name, std::size_t size, double value) {
  return guarded([&] {
    MetricsCollector::getLocalInstance().observeHistogram(std::string_view(name, size), value);
  });
}

int setGauge(const char* name, std::size_t size, double value) {
  return guarded(
      [&] { MetricsCollector::getLocalInstance().setGauge(std::string_view(name, size), value); });
}

int declare(const char* bytes, std::size_t size) {
  return guarded([&] { ProcessFile::current().append(std::string_view(bytes, size)); });
}

const CoreApi kApi = {kCoreApiVersion, &incCounter, &observeHistogram, &setGauge, &declare};

}  // namespace

void installCoreApi(pybind11::module_& module) {
  PyObject* capsule = PyCapsule_New(const_cast<CoreApi*>(&kApi), kCoreApiCapsule, nullptr);
  if (capsule == nullptr) {
    throw pybind11::error_already_set();
  }
  module.attr("__capi__") = pybind11::reinterpret_steal<pybind11::object>(capsule);
}

}  // namespace zelnor::python
