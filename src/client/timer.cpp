#include "client/timer.h"

#include <structmember.h>
#include <time.h>

#include "client/arguments.h"
#include "client/metric.h"

namespace zelnor::client {

TimedKinds timed_kinds;

namespace {

struct Timer {
  PyObject ob_base;  // PyObject_HEAD
  PyObject* metric;
  PyObject* callback;  // the name of the metric's method: "observe" or "set"
  PyObject* duration;  // None until the block has ended, or set from Python; else `elapsed`
  double start;
  double elapsed;
  bool ended;  // `elapsed` holds the duration
};

// The Timer type, and the method names a timer calls (interned), made with the module.
PyObject* timer_type = nullptr;
PyObject* observe_name = nullptr;
PyObject* set_name = nullptr;

// True when `metric`'s class takes the method `name` from `base`, no class between overriding it:
// then the timer records through the native method directly.
bool takesFrom(PyObject* metric, PyTypeObject* base, PyObject* name) {
  if (base == nullptr || !PyObject_TypeCheck(metric, base)) {
    return false;
  }
  PyObject* mro = Py_TYPE(metric)->tp_mro;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    auto* type = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    if (type == base) {
      return true;
    }
    if (type->tp_dict != nullptr && PyDict_GetItemWithError(type->tp_dict, name) != nullptr) {
      return false;
    }
    if (PyErr_Occurred() != nullptr) {
      PyErr_Clear();
      return false;
    }
  }
  return false;
}

double monotonicSeconds() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

PyObject* makeTimer(PyObject* metric, PyObject* callback) {
  auto* type = reinterpret_cast<PyTypeObject*>(timer_type);
  auto* timer = reinterpret_cast<Timer*>(type->tp_alloc(type, 0));
  if (timer != nullptr) {
    timer->metric = Py_NewRef(metric);
    timer->callback = Py_NewRef(callback);
    timer->duration = Py_NewRef(Py_None);
  }
  return reinterpret_cast<PyObject*>(timer);
}

PyObject* timerNew(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const char* kKeywords[] = {"metric", "callback_name", nullptr};
  PyObject* metric = nullptr;
  PyObject* callback = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OU", const_cast<char**>(kKeywords), &metric,
                                   &callback)) {
    return nullptr;
  }
  return makeTimer(metric, callback);
}

int timerTraverse(Timer* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(self->metric);
  Py_VISIT(self->callback);
  Py_VISIT(self->duration);
  return 0;
}

int timerClear(Timer* self) {
  Py_CLEAR(self->metric);
  Py_CLEAR(self->callback);
  Py_CLEAR(self->duration);
  return 0;
}

void timerDealloc(Timer* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  timerClear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* timerEnter(Timer* self, PyObject*) {
  self->start = monotonicSeconds();
  return Py_NewRef(reinterpret_cast<PyObject*>(self));
}

PyObject* timerExit(Timer* self, PyObject* const*, Py_ssize_t) {
  const double elapsed = monotonicSeconds() - self->start;
  self->elapsed = elapsed > 0 ? elapsed : 0.0;  // time can go back
  self->ended = true;
  Py_CLEAR(self->duration);
  auto* metric = reinterpret_cast<Metric*>(self->metric);
  const bool observes = self->callback == observe_name;
  if ((observes && (takesFrom(self->metric, timed_kinds.histogram, observe_name) ||
                    takesFrom(self->metric, timed_kinds.summary, observe_name)))) {
    if (!metric->observable) {
      raiseMissingLabels(metric);
      return nullptr;
    }
    if (!ensureDeclared() || !recordObservation(metric, self->elapsed)) {
      return nullptr;
    }
    Py_RETURN_NONE;
  }
  if (self->callback == set_name && takesFrom(self->metric, timed_kinds.gauge, set_name)) {
    if (!setGaugeTo(metric, self->elapsed)) {
      return nullptr;
    }
    Py_RETURN_NONE;
  }
  PyObject* duration = PyFloat_FromDouble(self->elapsed);
  if (duration == nullptr) {
    return nullptr;
  }
  PyObject* result = PyObject_CallMethodOneArg(self->metric, self->callback, duration);
  Py_DECREF(duration);
  if (result == nullptr) {
    return nullptr;
  }
  Py_DECREF(result);
  Py_RETURN_NONE;
}

PyObject* timerDuration(Timer* self, void*) {
  if (self->duration != nullptr) {
    return Py_NewRef(self->duration);
  }
  return self->ended ? PyFloat_FromDouble(self->elapsed) : Py_NewRef(Py_None);
}

int timerSetDuration(Timer* self, PyObject* value, void*) {
  Py_XSETREF(self->duration, Py_XNewRef(value != nullptr ? value : Py_None));
  return 0;
}

PyObject* timerLabels(Timer* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* child = callMethod(self->metric, "labels", args, nargs, kwnames);
  if (child == nullptr) {
    return nullptr;
  }
  Py_SETREF(self->metric, child);
  Py_RETURN_NONE;
}

PyObject* timerNewTimer(Timer* self, PyObject*) {
  return makeTimer(self->metric, self->callback);
}

PyObject* timerCall(Timer* self, PyObject* args, PyObject* kwargs) {
  PyObject* function = nullptr;
  if ((kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) ||
      !PyArg_ParseTuple(args, "O", &function)) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_TypeError, "a timer decorates one function");
    }
    return nullptr;
  }
  return PyObject_CallFunctionObjArgs(hooks.decorate_timer, reinterpret_cast<PyObject*>(self),
                                      function, nullptr);
}

PyMethodDef timer_methods[] = {
    {"__enter__", reinterpret_cast<PyCFunction>(timerEnter), METH_NOARGS, nullptr},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(timerExit)),
     METH_FASTCALL, nullptr},
    {"labels", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(timerLabels)),
     METH_FASTCALL | METH_KEYWORDS, "Times the child for the given labels instead."},
    {"_new_timer", reinterpret_cast<PyCFunction>(timerNewTimer), METH_NOARGS,
     "A timer of the same metric, for one call of a decorated function."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef timer_getset[] = {
    {"duration", reinterpret_cast<getter>(timerDuration),
     reinterpret_cast<setter>(timerSetDuration),
     "The block's time in seconds, once it has ended; None before.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMemberDef timer_members[] = {
    {"_metric", T_OBJECT, offsetof(Timer, metric), READONLY, nullptr},
    {"_callback_name", T_OBJECT, offsetof(Timer, callback), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot timer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(timerNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(timerDealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(timerTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(timerClear)},
    {Py_tp_call, reinterpret_cast<void*>(timerCall)},
    {Py_tp_methods, timer_methods},
    {Py_tp_members, timer_members},
    {Py_tp_getset, timer_getset},
    {Py_tp_doc, const_cast<char*>("Times a block of code or a function (prometheus_client's "
                                  "Timer): a context manager and a decorator.")},
    {0, nullptr}};

PyType_Spec timer_spec = {"zelnor_client._native.Timer", sizeof(Timer), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, timer_slots};

}  // namespace

bool addTimerType(PyObject* module) {
  observe_name = PyUnicode_InternFromString("observe");
  set_name = PyUnicode_InternFromString("set");
  if (observe_name == nullptr || set_name == nullptr) {
    return false;
  }
  timer_type = PyType_FromModuleAndSpec(module, &timer_spec, nullptr);
  return timer_type != nullptr && PyModule_AddObjectRef(module, "Timer", timer_type) == 0;
}

PyObject* observeTime(PyObject* self, PyObject*) {
  return makeTimer(self, observe_name);
}

PyObject* setTime(PyObject* self, PyObject*) {
  return makeTimer(self, set_name);
}

}  // namespace zelnor::client
