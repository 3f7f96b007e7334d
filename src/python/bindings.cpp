// The zelnor_core module: conversion and registration only. Recording goes to the calling
// thread's collector, draining to the process's consumer; neither releases the interpreter lock.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>

#include "metrics/entries.h"
#include "metrics/metrics_collector.h"
#include "metrics/metrics_consumer.h"
#include "python/core_exports.h"
#include "python/fast_path.h"

namespace py = pybind11;

namespace {

template <typename Entry>
void bindEntry(py::module_& module, const char* name) {
  py::class_<Entry> entry_class(module, name);
  entry_class.def(py::init<>());
  // Built with is_method so that its signature line names `self`, as def_readwrite's do.
  entry_class.def_property_readonly(
      "name",
      py::cpp_function([](const Entry& entry) { return std::string(zelnor::readName(entry.name)); },
                       py::is_method(entry_class)));
  entry_class.def_readwrite("value", &Entry::value);
}

}  // namespace

PYBIND11_MODULE(zelnor_core, module) {
  bindEntry<zelnor::CounterEntry>(module, "CounterEntry");
  bindEntry<zelnor::HistogramEntry>(module, "HistogramEntry");
  bindEntry<zelnor::GaugeEntry>(module, "GaugeEntry");

  module.def(
      "inc_counter",
      [](const std::string& name, std::int32_t value) {
        zelnor::MetricsCollector::getLocalInstance().incCounter(name, value);
      },
      "Increment a counter metric");
  module.def(
      "observe_histogram",
      [](const std::string& name, double value) {
        zelnor::MetricsCollector::getLocalInstance().observeHistogram(name, value);
      },
      "Observe a histogram metric");
  module.def(
      "set_gauge",
      [](const std::string& name, double value) {
        zelnor::MetricsCollector::getLocalInstance().setGauge(name, value);
      },
      "Set a gauge metric");
  module.def(
      "get_counter_entries",
      [] { return zelnor::MetricsConsumer::getInstance().getCounterEntries(); },
      "Get all new counter metrics entries since last call");
  module.def(
      "get_histogram_entries",
      [] { return zelnor::MetricsConsumer::getInstance().getHistogramEntries(); },
      "Get all new histogram metrics entries since last call");
  module.def(
      "get_gauge_entries", [] { return zelnor::MetricsConsumer::getInstance().getGaugeEntries(); },
      "Get all new gauge metrics entries since last call");

#ifndef ZELNOR_PYBIND11_ONLY  // a test-only build compares the fast path with pybind11 alone
  zelnor::python::installRecordingFastPath(module);
#endif
  zelnor::python::installCoreApi(module);
}
