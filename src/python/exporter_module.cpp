// zelnor_exporter._native: the exporter's draining and folding, without a Python object per
// record. Conversion and registration only; the work is exporter/aggregator.h's.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "exporter/aggregator.h"
#include "metrics/consumer_lock.h"
#include "metrics/metrics_consumer.h"
#include "metrics/metrics_directory.h"

namespace py = pybind11;
using zelnor::exporter::Aggregator;
using zelnor::exporter::GaugeMode;
using zelnor::exporter::Kind;

namespace {

constexpr const char* kKindNames[] = {"counter", "histogram", "gauge"};

GaugeMode gaugeMode(const std::string& text) {
  if (text == "last") {
    return GaugeMode::kLast;
  }
  if (text == "all") {
    return GaugeMode::kAll;
  }
  if (text == "sum") {
    return GaugeMode::kSum;
  }
  if (text == "max") {
    return GaugeMode::kMax;
  }
  if (text == "min") {
    return GaugeMode::kMin;
  }
  throw std::invalid_argument("unknown gauge mode: " + text);
}

// The snapshot in the form zelnor_exporter.aggregator.families takes.
py::dict toPython(const zelnor::exporter::Snapshot& snapshot, GaugeMode mode) {
  py::list series;
  for (std::size_t i = 0; i < snapshot.series.size(); ++i) {
    const auto& info = snapshot.series[i];
    const auto& value = snapshot.values[i];
    py::tuple labels(info.labels.size());
    for (std::size_t l = 0; l < info.labels.size(); ++l) {
      labels[l] = py::make_tuple(info.labels[l].first, info.labels[l].second);
    }
    py::object state;
    if (info.kind == Kind::kCounter) {
      state = py::int_(value.total);
    } else if (info.kind == Kind::kHistogram) {
      state = py::make_tuple(value.buckets, value.sum, value.total);
    } else if (mode == GaugeMode::kLast) {
      state = py::float_(value.sum);
    } else {
      py::list held;
      for (const auto& producer : value.producers) {
        held.append(py::make_tuple(producer.producer, producer.value));
      }
      state = held;
    }
    series.append(
        py::make_tuple(kKindNames[static_cast<int>(info.kind)], info.name, labels, state));
  }
  const auto& health = snapshot.health;
  py::dict entries, dropped, queues, fullest, rejected;
  for (int kind = 0; kind < zelnor::exporter::kKinds; ++kind) {
    entries[kKindNames[kind]] = health.entries[kind];
    dropped[kKindNames[kind]] = health.dropped[kind];
    queues[kKindNames[kind]] = health.queues[kind];
    fullest[kKindNames[kind]] = health.fullest[kind];
  }
  for (int reason = 0; reason < static_cast<int>(zelnor::exporter::Reason::kCount); ++reason) {
    if (health.rejected[reason] != 0) {
      rejected[zelnor::exporter::reasonText(static_cast<zelnor::exporter::Reason>(reason))] =
          health.rejected[reason];
    }
  }
  py::dict health_dict;
  health_dict["entries"] = entries;
  health_dict["rejected"] = rejected;
  health_dict["drains"] = health.drains;
  health_dict["drain_seconds"] = health.drain_seconds;
  health_dict["dropped"] = dropped;
  health_dict["queues"] = queues;
  health_dict["fullest"] = fullest;
  py::dict result;
  result["series"] = series;
  result["producer_labels"] = snapshot.producer_labels;
  result["health"] = health_dict;
  return result;
}

// The consumer of one metrics directory, draining into an aggregator.
class Drainer {
 public:
  Drainer(const std::string& directory, Aggregator& aggregator)
      : consumer_(directory), aggregator_(aggregator) {}

  void drain() { aggregator_.drain(consumer_); }

  // Drains every `interval` seconds until stop() is called, on the calling thread, with the
  // interpreter lock released but for a moment after each pass and at least every 100 ms of a
  // pause, when Python's signal handlers run (they call stop()). A failing drain ends the call
  // with its exception.
  void run(double interval) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kSignalCheck = std::chrono::milliseconds(100);
    const auto period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(interval));
    auto next = Clock::now();
    while (!stopped_.load(std::memory_order_relaxed)) {
      {
        py::gil_scoped_release released;
        drain();
      }
      next += period;
      if (const auto now = Clock::now(); next < now) {
        next = now;  // behind: no burst of passes to catch up
      }
      do {
        {
          py::gil_scoped_release released;
          std::this_thread::sleep_until(std::min(next, Clock::now() + kSignalCheck));
        }
        if (PyErr_CheckSignals() != 0) {
          throw py::error_already_set();
        }
      } while (Clock::now() < next && !stopped_.load(std::memory_order_relaxed));
    }
  }

  // relaxed: a flag read once per pass by the same process; nothing is published through it.
  void stop() noexcept { stopped_.store(true, std::memory_order_relaxed); }

 private:
  zelnor::MetricsConsumer consumer_;
  Aggregator& aggregator_;
  std::atomic<bool> stopped_{false};
};

}  // namespace

PYBIND11_MODULE(_native, module) {
  // Raised by a drain once another consumer holds the directory: this one can never drain it again.
  py::register_exception<zelnor::ConsumerRefused>(module, "ConsumerRefused", PyExc_RuntimeError);
  module.def("normalise_directory", &zelnor::normaliseDirectory, py::arg("path"),
             "The spelling of a directory that producers and consumers use");

  py::class_<Aggregator>(module, "Aggregator")
      .def(
          py::init([](std::vector<double> bounds, const std::string& mode, std::size_t max_series) {
            return std::make_unique<Aggregator>(std::move(bounds), gaugeMode(mode), max_series);
          }),
          py::arg("bounds"), py::arg("gauge_mode"), py::arg("max_series"))
      .def(
          "add",
          [](Aggregator& aggregator, const std::string& kind, const py::iterable& records) {
            // (name as bytes, value, producer, pid) each: for tests and benchmarks.
            for (py::handle record : records) {
              auto fields = record.cast<py::tuple>();
              const std::string name = fields[0].cast<py::bytes>();
              const auto producer = fields[2].cast<std::uint64_t>();
              if (kind == "counter") {
                aggregator.foldCounter(name, fields[1].cast<std::int32_t>(), producer);
              } else if (kind == "histogram") {
                aggregator.foldHistogram(name, fields[1].cast<double>(), producer);
              } else {
                aggregator.foldGauge(name, fields[1].cast<double>(), producer,
                                     fields[3].cast<std::uint32_t>());
              }
            }
          },
          "Folds (name, value, producer, pid) records of one kind")
      .def(
          "end_pass",
          [](Aggregator& aggregator, const std::unordered_set<std::uint64_t>& live,
             double seconds) { aggregator.endPass(live, seconds); },
          py::arg("live"), py::arg("seconds") = 0.0,
          "Ends a pass: the gauge values of producers not in live leave")
      .def(
          "snapshot",
          [](const Aggregator& aggregator) {
            zelnor::exporter::Snapshot snapshot;
            {
              py::gil_scoped_release released;
              snapshot = aggregator.snapshot();
            }
            return toPython(snapshot, aggregator.gaugeMode());
          },
          "The totals published by the last pass")
      .def_property_readonly("bounds", &Aggregator::bounds);

  py::class_<Drainer>(module, "Drainer")
      .def(py::init<const std::string&, Aggregator&>(), py::arg("directory"), py::arg("aggregator"),
           py::keep_alive<1, 3>(),
           "Becomes the consumer of directory (RuntimeError if another one is)")
      .def("drain", &Drainer::drain, py::call_guard<py::gil_scoped_release>(),
           "Drains every queue into the aggregator and publishes its totals")
      .def("run", &Drainer::run, py::arg("interval"),
           "Drains every interval seconds until stop() is called")
      .def("stop", &Drainer::stop, "Makes run() return after the pass under way");
}
