#include "client/kinds.h"

#include <time.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "client/arguments.h"
#include "client/metric.h"
#include "client/timer.h"

namespace zelnor::client {

namespace {

// --- Counter -------------------------------------------------------------------------------

bool refuseNegativeIncrement() {
  PyErr_SetString(PyExc_ValueError, "Counters can only be incremented by non-negative amounts.");
  return false;
}

// An int: an exact increment when it fits in 32 bits, else a float one.
bool incrementByInt(Metric* self, PyObject* amount) {
  int overflow = 0;
  const long small = PyLong_AsLongAndOverflow(amount, &overflow);
  if (small == -1 && PyErr_Occurred() != nullptr) {
    return false;
  }
  if (overflow < 0 || (overflow == 0 && small < 0)) {
    return refuseNegativeIncrement();
  }
  if (overflow == 0 && small <= std::numeric_limits<std::int32_t>::max()) {
    return recordCounter(self, static_cast<std::int32_t>(small));
  }
  double value = 0;
  return asDouble(amount, value) && recordCounterDouble(self, value);
}

// Any other number: compared with 0 as prometheus_client compares it, then taken as a float.
bool incrementByNumber(Metric* self, PyObject* amount) {
  double value = 0;
  if (PyFloat_CheckExact(amount)) {
    value = PyFloat_AS_DOUBLE(amount);
    return value < 0 ? refuseNegativeIncrement() : recordCounterDouble(self, value);
  }
  PyObject* zero = PyLong_FromLong(0);
  if (zero == nullptr) {
    return false;
  }
  const int negative = PyObject_RichCompareBool(amount, zero, Py_LT);
  Py_DECREF(zero);
  if (negative < 0) {
    return false;  // the comparison raised
  }
  if (negative > 0) {
    return refuseNegativeIncrement();
  }
  return asDouble(amount, value) && recordCounterDouble(self, value);
}

PyObject* counterInc(Metric* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kNames[] = {"amount", "exemplar"};
  PyObject* given[2] = {nullptr, nullptr};
  if (!parseArguments("Counter.inc", args, nargs, kwnames, kNames, 2, given)) {
    return nullptr;
  }
  if (!self->observable) {
    raiseMissingLabels(self);
    return nullptr;
  }
  PyObject* amount = given[0];
  if (!ensureDeclared()) {
    return nullptr;
  }
  const bool recorded = amount == nullptr           ? recordCounter(self, 1)
                        : PyLong_CheckExact(amount) ? incrementByInt(self, amount)
                                                    : incrementByNumber(self, amount);
  if (!recorded || !checkExemplar(given[1])) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace

PyMethodDef counter_methods[] = {
    {"inc", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(counterInc)),
     METH_FASTCALL | METH_KEYWORDS,
     "inc($self, /, amount=1, exemplar=None)\n--\n\nIncrement counter by the given amount."},
    {nullptr, nullptr, 0, nullptr}};

namespace {

// --- Gauge ---------------------------------------------------------------------------------

// inc and dec: value + amount (or - amount) in this process, then written.
PyObject* gaugeAdd(Metric* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   const char* function, bool negate) {
  static const char* const kNames[] = {"amount"};
  PyObject* given[1] = {nullptr};
  if (!parseArguments(function, args, nargs, kwnames, kNames, 1, given)) {
    return nullptr;
  }
  if (self->most_recent) {
    // "inc" or "dec", without the class.
    PyErr_Format(PyExc_RuntimeError, "%s must not be used with the mostrecent mode",
                 std::strchr(function, '.') + 1);
    return nullptr;
  }
  if (!self->observable) {
    raiseMissingLabels(self);
    return nullptr;
  }
  double amount = 1.0;
  if (given[0] != nullptr) {
    if (negate && !PyFloat_CheckExact(given[0]) && !PyLong_CheckExact(given[0])) {
      // prometheus_client adds -amount: a type without negation is refused as it is there.
      PyObject* negated = PyNumber_Negative(given[0]);
      if (negated == nullptr) {
        return nullptr;
      }
      const bool converted = asDouble(negated, amount);
      Py_DECREF(negated);
      if (!converted) {
        return nullptr;
      }
      negate = false;
    } else if (!asDouble(given[0], amount)) {
      return nullptr;
    }
  }
  if (!ensureDeclared() ||
      !recordGauge(self, negate ? self->value - amount : self->value + amount)) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* gaugeInc(Metric* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return gaugeAdd(self, args, nargs, kwnames, "Gauge.inc", false);
}

PyObject* gaugeDec(Metric* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return gaugeAdd(self, args, nargs, kwnames, "Gauge.dec", true);
}

PyObject* gaugeSet(Metric* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  // The common call first: one float, on a series.
  if (nargs == 1 && kwnames == nullptr && PyFloat_CheckExact(args[0]) && self->observable) {
    if (!ensureDeclared() || !recordGauge(self, PyFloat_AS_DOUBLE(args[0]))) {
      return nullptr;
    }
    Py_RETURN_NONE;
  }
  static const char* const kNames[] = {"value"};
  PyObject* value = nullptr;
  if (!parseArguments("Gauge.set", args, nargs, kwnames, kNames, 1, &value, 1)) {
    return nullptr;
  }
  double number = 0;
  if (PyFloat_CheckExact(value)) {
    number = PyFloat_AS_DOUBLE(value);
  } else if (!self->observable) {
    raiseMissingLabels(self);
    return nullptr;
  } else {
    // float(value), as prometheus_client's set() converts it.
    PyObject* converted = PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyFloat_Type), value);
    if (converted == nullptr) {
      return nullptr;
    }
    number = PyFloat_AS_DOUBLE(converted);
    Py_DECREF(converted);
  }
  if (!setGaugeTo(self, number)) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* gaugeSetToCurrentTime(Metric* self, PyObject*) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  if (!setGaugeTo(self,
                  static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9)) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace

PyMethodDef gauge_methods[] = {
    {"time", setTime, METH_NOARGS, kSetTimeDoc},
    {"inc", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gaugeInc)),
     METH_FASTCALL | METH_KEYWORDS,
     "inc($self, /, amount=1)\n--\n\nIncrement gauge by the given amount."},
    {"dec", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gaugeDec)),
     METH_FASTCALL | METH_KEYWORDS,
     "dec($self, /, amount=1)\n--\n\nDecrement gauge by the given amount."},
    {"set", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gaugeSet)),
     METH_FASTCALL | METH_KEYWORDS, "set($self, /, value)\n--\n\nSet gauge to the given value."},
    {"set_to_current_time", reinterpret_cast<PyCFunction>(gaugeSetToCurrentTime), METH_NOARGS,
     "set_to_current_time($self, /)\n--\n\nSet gauge to the current unixtime."},
    {nullptr, nullptr, 0, nullptr}};

namespace {

// --- Histogram and Summary -------------------------------------------------------------------

PyObject* observe(Metric* self, PyObject* amount, PyObject* exemplar) {
  if (!self->observable) {
    raiseMissingLabels(self);
    return nullptr;
  }
  double value = 0;
  if (!asDouble(amount, value) || !ensureDeclared() || !recordObservation(self, value)) {
    return nullptr;
  }
  // The exemplar is checked once the observation has found its bucket, as prometheus_client does
  // (a NaN finds none).
  if (!std::isnan(value) && !checkExemplar(exemplar)) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// The common observation: one float, on a series, no exemplar.
bool observeDirectly(Metric* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return nargs == 1 && kwnames == nullptr && PyFloat_CheckExact(args[0]) && self->observable;
}

PyObject* histogramObserve(Metric* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  if (observeDirectly(self, args, nargs, kwnames)) {
    if (!ensureDeclared() || !recordObservation(self, PyFloat_AS_DOUBLE(args[0]))) {
      return nullptr;
    }
    Py_RETURN_NONE;
  }
  static const char* const kNames[] = {"amount", "exemplar"};
  PyObject* given[2] = {nullptr, nullptr};
  if (!parseArguments("Histogram.observe", args, nargs, kwnames, kNames, 2, given, 1)) {
    return nullptr;
  }
  return observe(self, given[0], given[1]);
}

PyObject* summaryObserve(Metric* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kNames[] = {"amount"};
  PyObject* given[1] = {nullptr};
  if (!parseArguments("Summary.observe", args, nargs, kwnames, kNames, 1, given, 1)) {
    return nullptr;
  }
  return observe(self, given[0], nullptr);
}

}  // namespace

PyMethodDef histogram_methods[] = {
    {"time", observeTime, METH_NOARGS, kObserveTimeDoc},
    {"observe", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(histogramObserve)),
     METH_FASTCALL | METH_KEYWORDS,
     "observe($self, /, amount, exemplar=None)\n--\n\nObserve the given amount."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef summary_methods[] = {
    {"time", observeTime, METH_NOARGS, kObserveTimeDoc},
    {"observe", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(summaryObserve)),
     METH_FASTCALL | METH_KEYWORDS, "observe($self, /, amount)\n--\n\nObserve the given amount."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace zelnor::client
