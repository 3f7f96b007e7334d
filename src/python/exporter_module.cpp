// zelnor_exporter._native: the exporter's draining and folding, without a Python object per
// record. Conversion and registration only; the work is exporter/aggregator.h's.
#include <pthread.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "exporter/aggregator.h"
#include "exporter/render.h"
#include "metrics/consumer_lock.h"
#include "metrics/metrics_consumer.h"
#include "metrics/metrics_directory.h"

namespace py = pybind11;
using zelnor::exporter::Aggregator;
using zelnor::exporter::Escaping;
using zelnor::exporter::Format;
using zelnor::exporter::GaugeMode;
using zelnor::exporter::Kind;
using zelnor::exporter::ProducerOrigin;
using zelnor::exporter::RenderOptions;

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

// The snapshot as a dict of plain values, in the form the Python reference's families() takes.
py::dict toPython(const zelnor::exporter::Snapshot& snapshot, GaugeMode mode) {
  py::list series;
  for (std::size_t i = 0; i < snapshot.series; ++i) {
    const auto& info = snapshot.infoOf(i);
    const auto& value = snapshot.valueOf(i);
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
  static constexpr const char* kDeclaredTypes[] = {"counter", "gauge", "histogram",
                                                   "summary", "info",  "stateset"};
  py::list declared;
  const std::vector<zelnor::exporter::DeclaredSnapshot> none;
  for (const auto& family : snapshot.declared ? *snapshot.declared : none) {
    py::list samples;
    for (const auto& served : family.series) {
      for (const auto& sample : *served) {
        py::tuple labels(sample.labels.size());
        for (std::size_t l = 0; l < sample.labels.size(); ++l) {
          labels[l] = py::make_tuple(sample.labels[l].first, sample.labels[l].second);
        }
        samples.append(py::make_tuple(sample.suffix, labels, sample.value));
      }
    }
    declared.append(py::make_tuple(kDeclaredTypes[static_cast<int>(family.type)], family.name,
                                   family.documentation, family.unit, samples));
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
  result["declared"] = declared;
  result["declared_series"] = snapshot.declared_series;
  result["producer_labels"] =
      snapshot.producer_labels ? py::cast(*snapshot.producer_labels) : py::dict();
  result["health"] = health_dict;
  return result;
}

Escaping escaping(const std::string& text) {
  if (text == "underscores") {
    return Escaping::kUnderscores;
  }
  if (text == "dots") {
    return Escaping::kDots;
  }
  if (text == "values") {
    return Escaping::kValues;
  }
  if (text == "allow-utf-8") {
    return Escaping::kAllowUtf8;
  }
  throw std::invalid_argument("unknown escaping: " + text);
}

// Renders without the interpreter lock, from a snapshot that no pass waits for.
py::bytes render(const Aggregator& aggregator, bool openmetrics = false,
                 const std::string& escaping_name = "underscores",
                 const std::optional<std::vector<std::string>>& names = std::nullopt) {
  RenderOptions options;
  options.format = openmetrics ? Format::kOpenMetrics : Format::kText;
  options.escaping = escaping(escaping_name);
  std::unordered_set<std::string> wanted;
  if (names) {
    wanted.insert(names->begin(), names->end());
    options.names = &wanted;
  }
  std::string out;
  {
    py::gil_scoped_release released;
    const auto snapshot = aggregator.snapshot();
    zelnor::exporter::render(*snapshot, aggregator.bounds(), aggregator.gaugeMode(), options, out);
  }
  return py::bytes(out);
}

// The consumer of one metrics directory, draining into an aggregator: on the calling thread
// (drain), or every interval on a native thread of its own (start) that never takes the
// interpreter lock, so that nothing the interpreter does meanwhile (serving scrapes, many at
// once) delays a pass. The consumer is used by one thread at a time: drain only while the thread
// does not run.
class Drainer {
 public:
  using Clock = std::chrono::steady_clock;

  Drainer(const std::string& directory, Aggregator& aggregator)
      : consumer_(directory), aggregator_(aggregator) {}
  ~Drainer() { stop(); }
  Drainer(const Drainer&) = delete;
  Drainer& operator=(const Drainer&) = delete;

  void drain() {
    if (thread_.joinable()) {
      throw std::logic_error("the drain thread is running");
    }
    aggregator_.drain(consumer_);
  }

  // Starts the drain thread: a pass at once, then one every `interval` seconds after the last
  // one began (a late pass is not made up for with a burst), until stop(). A pass that fails is
  // reported through wait() and the next one tries again; a refusal (another consumer took the
  // directory) ends the thread.
  void start(double interval) {
    if (thread_.joinable()) {
      throw std::logic_error("the drain thread is running");
    }
    {
      std::lock_guard<std::mutex> guard(mutex_);
      stopping_ = false;
      ended_ = false;
      refusal_ = nullptr;
    }
    const auto period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(interval));
    // The thread takes no signal: the interpreter's handlers run on its main thread anyway, and
    // no signal interrupts a system call of a pass.
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    try {
      thread_ = std::thread([this, period] { run(period); });
    } catch (...) {
      pthread_sigmask(SIG_SETMASK, &before, nullptr);
      throw;
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
  }

  // Waits up to `timeout` seconds for news of the drain thread: returns what failed since the
  // last call (each pass's error), at once if something did; throws ConsumerRefused once the
  // thread has ended with it.
  std::vector<std::string> wait(double timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::duration<double>(timeout),
                      [&] { return ended_ || !failures_.empty(); });
    if (ended_ && refusal_) {
      std::rethrow_exception(refusal_);
    }
    return std::exchange(failures_, {});
  }

  bool running() {
    std::lock_guard<std::mutex> guard(mutex_);
    return thread_.joinable() && !ended_;
  }

  // Ends the drain thread after the pass under way, and waits for it.
  void stop() noexcept {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) {
      thread_.join();
    }
  }

 private:
  // Failures kept for wait() at most; the rest of a burst is not said.
  static constexpr std::size_t kMostFailures = 100;

  void run(Clock::duration period) {
    auto next = Clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
      lock.unlock();
      std::exception_ptr refused;
      std::string failure;
      bool failed = false;
      try {
        aggregator_.drain(consumer_);
      } catch (const zelnor::ConsumerRefused&) {
        refused = std::current_exception();
      } catch (const std::exception& error) {
        failed = true;
        failure = error.what();
      } catch (...) {
        failed = true;
        failure = "unknown error";
      }
      lock.lock();
      if (refused) {
        refusal_ = refused;
        break;
      }
      if (failed && failures_.size() < kMostFailures) {
        failures_.push_back(std::move(failure));
        changed_.notify_all();
      }
      next += period;
      if (const auto now = Clock::now(); next < now) {
        next = now;  // behind: no burst of passes to catch up
      }
      changed_.wait_until(lock, next, [&] { return stopping_; });
    }
    ended_ = true;
    changed_.notify_all();
  }

  zelnor::MetricsConsumer consumer_;
  Aggregator& aggregator_;
  std::thread thread_;
  // Guards what follows; the drain thread holds it only between passes.
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  bool ended_ = false;
  std::vector<std::string> failures_;
  std::exception_ptr refusal_;
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
          "declare",
          [](Aggregator& aggregator, std::uint64_t producer, std::uint32_t pid,
             const py::bytes& lines, std::uint32_t uid) {
            aggregator.declare(producer, ProducerOrigin{pid, 0, uid}, std::string(lines));
          },
          py::arg("producer"), py::arg("pid"), py::arg("lines"), py::arg("uid") = 0,
          "Takes more of a producer process's declaration file: for tests")
      .def("limit_declarations", &Aggregator::limitDeclarations, py::arg("bytes_per_user"),
           "Bounds what the declaration files of one user's live processes keep (all users' "
           "four times that)")
      .def("process_ended", &Aggregator::processEnded, py::arg("producer"),
           "Says that a producer process has ended: for tests")
      .def("begin_pass", &Aggregator::beginPass, py::arg("new_names"),
           "Begins a pass that classifies at most new_names names seen for the first time")
      .def(
          "end_pass",
          [](Aggregator& aggregator, const std::unordered_set<std::uint64_t>& live,
             double seconds) { aggregator.endPass(live, seconds); },
          py::arg("live"), py::arg("seconds") = 0.0,
          "Ends a pass: waiting records fold, the gauge values of producers not in live leave")
      .def(
          "snapshot",
          [](const Aggregator& aggregator) {
            return toPython(*aggregator.snapshot(), aggregator.gaugeMode());
          },
          "The totals published by the last pass, as plain values: for tests")
      .def(
          "live_producers",
          [](const Aggregator& aggregator) {
            py::list live;
            for (const auto& producer : aggregator.liveProducers()) {
              live.append(py::make_tuple(producer.label, producer.process.pid,
                                         producer.process.start_ticks,
                                         producer.process.pid_namespace, producer.uid));
            }
            return live;
          },
          "The live producers of the last pass: (label, pid, start ticks, pid namespace, uid)")
      .def("render", &render, py::arg("openmetrics") = false, py::arg("escaping") = "underscores",
           py::arg("names") = py::none(),
           "The exposition of the totals published by the last pass, in the text format or "
           "OpenMetrics (without its closing '# EOF' line), of the samples named in names only "
           "if names is given")
      .def(
          "exposition", [](const Aggregator& aggregator) { return render(aggregator); },
          "The exposition of the totals published by the last pass in the text format 0.0.4, as "
          "the exporter serves it but for its HTTP side's families")
      .def_property_readonly("generation", &Aggregator::generation,
                             "Changes whenever a pass publishes totals that differ")
      .def_property_readonly(
          "entries",
          [](const Aggregator& aggregator) {
            const auto& entries = aggregator.snapshot()->health.entries;
            return std::accumulate(std::begin(entries), std::end(entries), std::uint64_t{0});
          },
          "Entries drained so far, of every kind")
      .def_property_readonly(
          "passes",
          [](const Aggregator& aggregator) { return aggregator.snapshot()->health.drains; },
          "Passes published so far")
      .def_property_readonly("waiting", &Aggregator::waiting,
                             "Records waiting for their names to be classified")
      .def_property_readonly("bounds", &Aggregator::bounds);

  py::class_<Drainer>(module, "Drainer")
      .def(py::init<const std::string&, Aggregator&>(), py::arg("directory"), py::arg("aggregator"),
           py::keep_alive<1, 3>(),
           "Becomes the consumer of directory (RuntimeError if another one is)")
      .def("drain", &Drainer::drain, py::call_guard<py::gil_scoped_release>(),
           "Drains every queue into the aggregator and publishes its totals")
      .def("start", &Drainer::start, py::arg("interval"),
           "Drains every interval seconds on a thread of its own until stop() is called")
      .def("wait", &Drainer::wait, py::arg("timeout"), py::call_guard<py::gil_scoped_release>(),
           "Waits up to timeout seconds; returns the drain thread's failures since the last call")
      .def_property_readonly("running", &Drainer::running)
      .def("stop", &Drainer::stop, py::call_guard<py::gil_scoped_release>(),
           "Ends the drain thread after the pass under way and waits for it");
}
