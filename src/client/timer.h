// prometheus_client's Timer (a context manager and a decorator that measures a block's time in
// seconds of the monotonic clock and hands it to the metric's observe or set), native, so that
// `with histogram.time():` costs a small part of what it costs in Python.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zelnor::client {

// The kinds' native types whose methods a timer may call directly (set when the module makes
// them; the module holds the references).
struct TimedKinds {
  PyTypeObject* gauge = nullptr;
  PyTypeObject* histogram = nullptr;
  PyTypeObject* summary = nullptr;
};
extern TimedKinds timed_kinds;

// Makes the Timer type into `module`; false with an exception set.
bool addTimerType(PyObject* module);

// The kinds' time(): a timer that observes, or one that sets a gauge.
PyObject* observeTime(PyObject* self, PyObject*);
PyObject* setTime(PyObject* self, PyObject*);
inline constexpr const char* kObserveTimeDoc =
    "time($self, /)\n--\n\nTime a block of code or function, and observe the duration in "
    "seconds.\n\nCan be used as a function decorator or context manager.";
inline constexpr const char* kSetTimeDoc =
    "time($self, /)\n--\n\nTime a block of code or function, and set the duration in "
    "seconds.\n\nCan be used as a function decorator or context manager.";

}  // namespace zelnor::client
