// zelnor_client._native: the recording half of zelnor_client's metric objects, in the CPython API
// so that a kept child's inc(), observe() or set() costs about what zelnor_core's own call costs.
//
// Each metric object (a family without labels, or a child of a labelled one) is bound to one
// series that its process has declared (zelnor_client.metrics writes the declarations); a record
// names that series compactly instead of carrying the name:
//
//   byte 0      0x01, which no metric name begins with
//   byte 1      what the record does: c (add to a counter), o (observe), g (write a gauge),
//               e (set an enum's state), i (set an info's labels), r (remove a series),
//               x (clear a family), n (serve a removed series again: its label set was made again)
//   then        the series (or family) id in lowercase hex, and for g, e, i, r, x, n a ':' and the
//               write's key in 16 lowercase hex digits: it orders the writes of one series,
//               whichever thread made them; keys that are nanoseconds of real time also order them
//               across processes. For c and o of a series made again after its removal, a '.' and
//               its stamp in lowercase hex: an id given out when it was made again
//   value       for r and x, the last id the process had given out when it removed: what its
//               records through later ids or stamps say was recorded after the removal; for n,
//               the stamp
//
// Records go through zelnor_core's per-thread collector (the capsule in core_api.h), so a thread
// has one set of queue files whichever module records. Every function here runs with the
// interpreter lock held and never releases it: the lock orders a gauge's read-modify-write and the
// key it takes, so two threads never interleave them.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pthread.h>
#include <structmember.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "python/core_api.h"

namespace {

using zelnor::python::CoreApi;

const CoreApi* core = nullptr;

// Bumped in the child of every fork(); written only by the atfork child handler, while the child
// has one thread, so relaxed loads see it in the child and nothing else needs ordering.
std::atomic<unsigned> fork_generation{0};
// The generation whose process has all its declarations written (under the interpreter lock).
unsigned declared_generation = 0;
// Some declarations of this process could not be written yet (under the interpreter lock).
bool declarations_held = false;
// zelnor_client.metrics' function that writes every declaration of this process again.
PyObject* redeclare = nullptr;
// zelnor_client.metrics' exemplar check, the same as prometheus_client's.
PyObject* validate_exemplar = nullptr;
// zelnor_client.metrics' decorator for a timer used as one: decorate_timer(timer, function).
PyObject* decorate_timer = nullptr;
// zelnor_client.metrics' argument_error(qualname, args, kwargs): raises the TypeError the
// interpreter raises for those arguments to a Python method of that signature, word for word.
PyObject* argument_error = nullptr;
// The Timer type, made when the module is.
PyObject* timer_type = nullptr;
// The key of this process's last keyed write. Every keyed write takes the next one, so the writes
// of a series are ordered as they were made, whichever object or thread made them; writes that
// must be ordered across processes too take real time when it is ahead.
std::uint64_t last_key = 0;

// This process's state area (metrics/process_state.h), where each gauge, Info, Enum and removal
// keeps its last keyed write for an exporter that starts while the process lives. Under the
// interpreter lock: the only writer of the area. A forked child's area is a file of its own
// (the parent's mapping is not inherited), asked for at the first write of its generation; the
// slots keep their indexes there.
struct State {
  zelnor::StateHeader* area = nullptr;
  std::uint32_t reserved = 0;    // slots ready to write
  unsigned generation = ~0u;     // the fork generation `area` is of
  std::uint32_t handed_out = 0;  // slots given to series and families so far
};
State state;

std::uint64_t nextKey(bool real_time) noexcept;

void onForkChild() noexcept {
  fork_generation.fetch_add(1, std::memory_order_relaxed);
}

// 0x01, the operation, an id and a stamp of up to 16 hex digits each and the '.' between them.
constexpr std::size_t kPrefixCapacity = 36;

// A labelled parent remembers the children its last few labels() calls returned, by the identity
// of the argument objects: a call site passes the same str objects every time, so a hit costs a
// few pointer comparisons instead of a tuple and its hash. The entries hold references, so an
// address cannot be reused by another object while it is remembered; removing children clears
// them (_labels_changed).
constexpr int kCachedCalls = 4;
constexpr Py_ssize_t kCachedArguments = 4;

struct CachedCall {
  Py_ssize_t nargs;
  PyObject* args[kCachedArguments];
  PyObject* child;
};

struct Metric {
  PyObject ob_base;  // PyObject_HEAD
  PyObject* weakrefs;
  PyObject* children;  // a labelled parent's children by their label values, else null
  PyObject* type_name;
  Py_ssize_t label_count;
  bool observable;
  bool most_recent;  // a gauge in a mostrecent mode: its writes are keyed by real time
  unsigned char prefix_size;
  char prefix[kPrefixCapacity];  // 0x01, the operation, the series id (and its stamp)
  double value;                  // a gauge's value in this process
  // This process's own share, as prometheus_client holds it in one process: what the metric's
  // collect() serves. A counter's total or the sum observed; a summary's observations; a
  // histogram's upper bounds and its observations per bucket (not cumulative), both PyMem arrays
  // of bucket_count doubles owned by the object.
  double sum;
  double count;
  Py_ssize_t bucket_count;
  double* bounds;
  double* buckets;
  // A gauge's record name: the prefix, ':', and the key of the write in 16 hex digits, rewritten
  // in place at each write.
  char keyed_name[kPrefixCapacity + 17];
  std::uint32_t state_slot;  // 1 + the slot of its series' last write, 0 when it keeps none
  std::uint64_t series_id;
  unsigned char next_cached;
  CachedCall cached[kCachedCalls];
};

// --- small helpers ---------------------------------------------------------------------------

std::uint64_t realtimeNanoseconds() noexcept {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

// Writes `key` as 16 lowercase hex digits at `out`, a byte's two digits at a time.
void writeKey(char* out, std::uint64_t key) noexcept {
  static constexpr auto kPairs = [] {
    std::array<char, 512> pairs{};
    constexpr char kDigits[] = "0123456789abcdef";
    for (unsigned byte = 0; byte < 256; ++byte) {
      pairs[2 * byte] = kDigits[byte >> 4];
      pairs[2 * byte + 1] = kDigits[byte & 15u];
    }
    return pairs;
  }();
  for (int byte = 7; byte >= 0; --byte) {
    std::memcpy(out + 2 * byte, kPairs.data() + 2 * (key & 0xffu), 2);
    key >>= 8;
  }
}

// Before the first record of a process made by fork(), its declarations are written into its own
// declaration file: the parent's do not speak for the child.
bool ensureDeclared() {
  const unsigned generation = fork_generation.load(std::memory_order_relaxed);
  if (generation == declared_generation) {
    if (declarations_held) {
      declarations_held = core->declare("", 0) != 0;  // tried again about once a second
    }
    return true;
  }
  if (redeclare != nullptr) {
    PyObject* result = PyObject_CallNoArgs(redeclare);
    if (result == nullptr) {
      return false;
    }
    Py_DECREF(result);
  }
  declared_generation = generation;
  return true;
}

bool raiseMissingLabels(Metric* self) {
  PyErr_Format(PyExc_ValueError, "%S metric is missing label values", self->type_name);
  return false;
}

// The float value of `amount` as a value held in a float gets it from `value += amount`, which is
// what prometheus_client's values compute (so a Decimal or a str is refused with the same
// TypeError); exact ints and floats directly.
bool asDouble(PyObject* amount, double& value) {
  if (PyFloat_CheckExact(amount)) {
    value = PyFloat_AS_DOUBLE(amount);
    return true;
  }
  if (PyLong_CheckExact(amount)) {
    value = PyLong_AsDouble(amount);
    return !(value == -1.0 && PyErr_Occurred() != nullptr);
  }
  PyObject* held = PyFloat_FromDouble(0.0);
  if (held == nullptr) {
    return false;
  }
  PyObject* sum = PyNumber_InPlaceAdd(held, amount);
  Py_DECREF(held);
  if (sum == nullptr) {
    return false;
  }
  value = PyFloat_AsDouble(sum);
  Py_DECREF(sum);
  return !(value == -1.0 && PyErr_Occurred() != nullptr);
}

// Calls the method `name` of `target` with these vectorcall arguments, as target.name(...) would.
PyObject* callMethod(PyObject* target, const char* name, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  PyObject* method = PyUnicode_InternFromString(name);
  if (method == nullptr) {
    return nullptr;
  }
  // The target goes in front of the arguments, as the vectorcall protocol wants.
  PyObject* small[8];
  const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
  PyObject** call_args = total + 1 <= 8 ? small : PyMem_New(PyObject*, total + 1);
  if (call_args == nullptr) {
    Py_DECREF(method);
    return PyErr_NoMemory();
  }
  call_args[0] = target;
  for (Py_ssize_t i = 0; i < total; ++i) {
    call_args[i + 1] = args[i];
  }
  PyObject* result =
      PyObject_VectorcallMethod(method, call_args, static_cast<std::size_t>(nargs + 1), kwnames);
  if (call_args != small) {
    PyMem_Free(call_args);
  }
  Py_DECREF(method);
  return result;
}

// Raises the TypeError that a Python method `function` (a qualified name) of the same signature
// raises for these arguments, as the interpreter words it (its words change between versions).
void raiseArgumentError(const char* function, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  if (argument_error != nullptr) {
    PyObject* positional = PyTuple_New(nargs);
    PyObject* keywords = PyDict_New();
    if (positional != nullptr && keywords != nullptr) {
      for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyTuple_SET_ITEM(positional, i, Py_NewRef(args[i]));
      }
      bool filled = true;
      for (Py_ssize_t k = 0; kwnames != nullptr && k < PyTuple_GET_SIZE(kwnames) && filled; ++k) {
        filled = PyDict_SetItem(keywords, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) == 0;
      }
      if (filled) {
        PyObject* result =
            PyObject_CallFunction(argument_error, "sOO", function, positional, keywords);
        Py_XDECREF(result);
      }
    }
    Py_XDECREF(positional);
    Py_XDECREF(keywords);
    if (PyErr_Occurred() != nullptr) {
      return;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s() takes other arguments", function);
}

// Parses up to `max` positional-or-keyword arguments named `names` into `out` (left as they are
// when not given), of which the first `required` must be given. False with the interpreter's
// TypeError set on anything else.
bool parseArguments(const char* function, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, const char* const* names, Py_ssize_t max, PyObject** out,
                    Py_ssize_t required = 0) {
  bool fits = nargs <= max;
  for (Py_ssize_t i = 0; i < nargs && fits; ++i) {
    out[i] = args[i];
  }
  for (Py_ssize_t k = 0; fits && kwnames != nullptr && k < PyTuple_GET_SIZE(kwnames); ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t at = 0;
    while (at < max && PyUnicode_CompareWithASCIIString(keyword, names[at]) != 0) {
      ++at;
    }
    fits = at < max && at >= nargs;
    if (fits) {
      out[at] = args[nargs + k];
    }
  }
  for (Py_ssize_t i = 0; i < required && fits; ++i) {
    fits = out[i] != nullptr;
  }
  if (!fits) {
    raiseArgumentError(function, args, nargs, kwnames);
  }
  return fits;
}

// --- recording ---------------------------------------------------------------------------------

bool recordCounter(Metric* self, std::int32_t amount) {
  if (core->incCounter(self->prefix, self->prefix_size, amount) != 0) {
    return false;
  }
  self->sum += amount;
  return true;
}

// A counter's increment that is not a small integer: the double-valued lane.
bool recordCounterDouble(Metric* self, double amount) {
  if (core->observeHistogram(self->prefix, self->prefix_size, amount) != 0) {
    return false;
  }
  self->sum += amount;
  return true;
}

// An observation: the double-valued lane, and this process's share as prometheus_client counts
// it (the first bucket whose bound is at or above the value; a NaN in none, but in the sum).
bool recordObservation(Metric* self, double amount) {
  if (core->observeHistogram(self->prefix, self->prefix_size, amount) != 0) {
    return false;
  }
  self->sum += amount;
  self->count += 1;
  if (self->buckets != nullptr && !std::isnan(amount)) {
    const double* bounds = self->bounds;
    const double* end = bounds + self->bucket_count;
    const double* bound = std::lower_bound(bounds, end, amount);
    if (bound != end) {
      self->buckets[bound - self->bounds] += 1;
    }
  }
  return true;
}

std::uint64_t nextKey(bool real_time) noexcept {
  std::uint64_t key = last_key + 1;
  if (real_time) {
    const std::uint64_t now = realtimeNanoseconds();
    key = now > key ? now : key;
  }
  last_key = key;
  return key;
}

// The area with slot `index` ready to write in this process, or null.
zelnor::StateHeader* stateFor(std::uint32_t index) noexcept {
  const unsigned generation = fork_generation.load(std::memory_order_relaxed);
  if (state.generation != generation) {
    state.generation = generation;
    state.area = core->stateArea(state.handed_out, &state.reserved);
  }
  return index < state.reserved ? state.area : nullptr;
}

// Keeps a keyed write in the slot `slot` (1 + its index; 0: none) for a restarted exporter.
void keepState(std::uint32_t slot, char op, std::uint64_t id, std::uint64_t key,
               double value) noexcept {
  if (slot == 0) {
    return;
  }
  if (zelnor::StateHeader* area = stateFor(slot - 1)) {
    zelnor::writeStateSlot(*area, slot - 1, zelnor::StateEntry{op, id, key, value});
  }
}

// A gauge's new value, keyed after every earlier write of this process.
bool recordGauge(Metric* self, double value) {
  self->value = value;
  const std::uint64_t key = nextKey(self->most_recent);
  keepState(self->state_slot, 'g', self->series_id, key, value);
  writeKey(self->keyed_name + self->prefix_size + 1, key);
  return core->setGauge(self->keyed_name, self->prefix_size + 17u, value) == 0;
}

bool checkExemplar(PyObject* exemplar) {
  if (exemplar == nullptr || exemplar == Py_None) {
    return true;
  }
  const int truth = PyObject_IsTrue(exemplar);
  if (truth <= 0) {
    return truth == 0;
  }
  if (validate_exemplar == nullptr) {
    return true;
  }
  PyObject* result = PyObject_CallOneArg(validate_exemplar, exemplar);
  Py_XDECREF(result);
  return result != nullptr;
}

// --- Metric: what every kind shares ------------------------------------------------------------

PyObject* metricNew(PyTypeObject* type, PyObject*, PyObject*) {
  auto* self = reinterpret_cast<Metric*>(type->tp_alloc(type, 0));
  if (self != nullptr) {
    self->type_name = PyUnicode_FromString("metric");
    if (self->type_name == nullptr) {
      Py_DECREF(self);
      return nullptr;
    }
  }
  return reinterpret_cast<PyObject*>(self);
}

void forgetCachedCalls(Metric* self) {
  for (CachedCall& call : self->cached) {
    for (Py_ssize_t i = 0; i < call.nargs; ++i) {
      Py_CLEAR(call.args[i]);
    }
    call.nargs = 0;
    Py_CLEAR(call.child);
  }
}

int metricTraverse(Metric* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(self->children);
  for (CachedCall& call : self->cached) {
    for (Py_ssize_t i = 0; i < call.nargs; ++i) {
      Py_VISIT(call.args[i]);
    }
    Py_VISIT(call.child);
  }
  return 0;
}

int metricClear(Metric* self) {
  Py_CLEAR(self->children);
  forgetCachedCalls(self);
  return 0;
}

void metricDealloc(Metric* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (self->weakrefs != nullptr) {
    PyObject_ClearWeakRefs(reinterpret_cast<PyObject*>(self));
  }
  metricClear(self);
  Py_CLEAR(self->type_name);
  PyMem_Free(self->bounds);
  PyMem_Free(self->buckets);
  type->tp_free(self);
  Py_DECREF(type);
}

// _bind(prefix, label_count, observable, children, type_name, most_recent)
PyObject* metricBind(Metric* self, PyObject* args) {
  const char* prefix = nullptr;
  Py_ssize_t prefix_size = 0;
  Py_ssize_t label_count = 0;
  int observable = 0;
  PyObject* children = nullptr;
  PyObject* type_name = nullptr;
  int most_recent = 0;
  if (!PyArg_ParseTuple(args, "y#npOUp", &prefix, &prefix_size, &label_count, &observable,
                        &children, &type_name, &most_recent)) {
    return nullptr;
  }
  if (prefix_size < 2 || static_cast<std::size_t>(prefix_size) > kPrefixCapacity) {
    PyErr_SetString(PyExc_ValueError, "bad record prefix");
    return nullptr;
  }
  std::memcpy(self->prefix, prefix, static_cast<std::size_t>(prefix_size));
  self->prefix_size = static_cast<unsigned char>(prefix_size);
  std::memcpy(self->keyed_name, prefix, static_cast<std::size_t>(prefix_size));
  self->keyed_name[prefix_size] = ':';
  self->label_count = label_count;
  self->observable = observable != 0;
  self->most_recent = most_recent != 0;
  Py_XSETREF(self->children, children == Py_None ? nullptr : Py_NewRef(children));
  Py_SETREF(self->type_name, Py_NewRef(type_name));
  Py_RETURN_NONE;
}

// labels(*values, **names): a labelled parent's child. The common call (as many str values as
// there are label names, a child made already) is a dictionary lookup; every other call goes to
// the Python method _labels, which checks, converts and makes the child as prometheus_client
// does.
PyObject* metricLabels(Metric* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (kwnames == nullptr && self->children != nullptr && nargs == self->label_count && nargs > 0) {
    for (const CachedCall& call : self->cached) {
      if (call.nargs == nargs && std::equal(args, args + nargs, call.args)) {
        return Py_NewRef(call.child);
      }
    }
    bool all_text = true;
    for (Py_ssize_t i = 0; i < nargs && all_text; ++i) {
      all_text = PyUnicode_CheckExact(args[i]);
    }
    if (all_text) {
      PyObject* key = PyTuple_New(nargs);
      if (key == nullptr) {
        return nullptr;
      }
      for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyTuple_SET_ITEM(key, i, Py_NewRef(args[i]));
      }
      PyObject* child = PyDict_GetItemWithError(self->children, key);
      Py_DECREF(key);
      if (child != nullptr) {
        if (nargs <= kCachedArguments) {
          CachedCall& call = self->cached[self->next_cached];
          self->next_cached = static_cast<unsigned char>((self->next_cached + 1) % kCachedCalls);
          for (Py_ssize_t i = 0; i < call.nargs; ++i) {
            Py_CLEAR(call.args[i]);
          }
          for (Py_ssize_t i = 0; i < nargs; ++i) {
            call.args[i] = Py_NewRef(args[i]);
          }
          call.nargs = nargs;
          Py_XSETREF(call.child, Py_NewRef(child));
        }
        return Py_NewRef(child);
      }
      if (PyErr_Occurred() != nullptr) {
        return nullptr;
      }
    }
  }
  return callMethod(reinterpret_cast<PyObject*>(self), "_labels", args, nargs, kwnames);
}

PyObject* metricLabelsChanged(Metric* self, PyObject*) {
  forgetCachedCalls(self);
  Py_RETURN_NONE;
}

// _local(): this process's share, (value, sum, count, buckets), buckets a list for a histogram's
// series, else None.
PyObject* metricLocal(Metric* self, PyObject*) {
  PyObject* buckets = Py_None;
  if (self->buckets != nullptr) {
    buckets = PyList_New(self->bucket_count);
    if (buckets == nullptr) {
      return nullptr;
    }
    for (Py_ssize_t i = 0; i < self->bucket_count; ++i) {
      PyObject* count = PyFloat_FromDouble(self->buckets[i]);
      if (count == nullptr) {
        Py_DECREF(buckets);
        return nullptr;
      }
      PyList_SET_ITEM(buckets, i, count);
    }
  } else {
    Py_INCREF(buckets);
  }
  return Py_BuildValue("dddN", self->value, self->sum, self->count, buckets);
}

// After a fork, the child's values start again from 0, as prometheus_client's multiprocess values
// do in a process of their own.
PyObject* metricReset(Metric* self, PyObject*) {
  self->value = 0;
  self->sum = 0;
  self->count = 0;
  std::fill(self->buckets, self->buckets + (self->buckets ? self->bucket_count : 0), 0.0);
  Py_RETURN_NONE;
}

// _set_bounds(bounds): a histogram series' upper bounds, ascending, the last one +Inf.
PyObject* metricSetBounds(Metric* self, PyObject* bounds) {
  PyObject* sequence = PySequence_Fast(bounds, "bounds must be a sequence");
  if (sequence == nullptr) {
    return nullptr;
  }
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence);
  auto* values =
      static_cast<double*>(PyMem_Calloc(static_cast<std::size_t>(count) + 1, sizeof(double)));
  auto* buckets =
      static_cast<double*>(PyMem_Calloc(static_cast<std::size_t>(count) + 1, sizeof(double)));
  bool converted = values != nullptr && buckets != nullptr;
  for (Py_ssize_t i = 0; i < count && converted; ++i) {
    values[i] = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(sequence, i));
    converted = !(values[i] == -1.0 && PyErr_Occurred() != nullptr);
  }
  Py_DECREF(sequence);
  if (!converted) {
    PyMem_Free(values);
    PyMem_Free(buckets);
    return PyErr_Occurred() != nullptr ? nullptr : PyErr_NoMemory();
  }
  PyMem_Free(self->bounds);
  PyMem_Free(self->buckets);
  self->bounds = values;
  self->buckets = buckets;
  self->bucket_count = count;
  Py_RETURN_NONE;
}

PyMemberDef metric_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Metric, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

// _keep_state(slot, series_id): its gauge writes are kept in the state slot (from state_slot()).
PyObject* metricKeepState(Metric* self, PyObject* args) {
  long long slot = -1;
  unsigned long long series_id = 0;
  if (!PyArg_ParseTuple(args, "LK", &slot, &series_id)) {
    return nullptr;
  }
  self->state_slot =
      slot >= 0 && slot < zelnor::kStateSlots ? static_cast<std::uint32_t>(slot + 1) : 0;
  self->series_id = series_id;
  Py_RETURN_NONE;
}

PyMethodDef metric_methods[] = {
    {"_keep_state", reinterpret_cast<PyCFunction>(metricKeepState), METH_VARARGS,
     "Keeps the gauge's writes in a state slot: (slot, series id)."},
    {"_bind", reinterpret_cast<PyCFunction>(metricBind), METH_VARARGS,
     "Binds the object to its series (or marks it a labelled parent)."},
    {"labels", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(metricLabels)),
     METH_FASTCALL | METH_KEYWORDS,
     "labels($self, /, *labelvalues, **labelkwargs)\n--\n\nReturn the child for the given "
     "labelset."},
    {"_labels_changed", reinterpret_cast<PyCFunction>(metricLabelsChanged), METH_NOARGS,
     "Forgets the children labels() remembers, after some were removed."},
    {"_local", reinterpret_cast<PyCFunction>(metricLocal), METH_NOARGS,
     "This process's share: (value, sum, count, buckets or None)."},
    {"_reset", reinterpret_cast<PyCFunction>(metricReset), METH_NOARGS,
     "Makes this process's share 0 again."},
    {"_set_bounds", reinterpret_cast<PyCFunction>(metricSetBounds), METH_O,
     "Sets a histogram series' upper bounds, whose buckets this process counts."},
    {nullptr, nullptr, 0, nullptr}};

// --- Timer ------------------------------------------------------------------------------------

// prometheus_client's Timer (a context manager and a decorator that measures a block's time in
// seconds of the monotonic clock and hands it to the metric's observe or set), native, so that
// `with histogram.time():` costs a small part of what it costs in Python.
struct Timer {
  PyObject ob_base;  // PyObject_HEAD
  PyObject* metric;
  PyObject* callback;  // the name of the metric's method: "observe" or "set"
  PyObject* duration;  // None until the block has ended, or set from Python; else `elapsed`
  double start;
  double elapsed;
  bool ended;  // `elapsed` holds the duration
};

// The kinds' native types, and the method names a timer calls (interned), made with the module.
PyTypeObject* gauge_base = nullptr;
PyTypeObject* histogram_base = nullptr;
PyTypeObject* summary_base = nullptr;
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

bool setGaugeTo(Metric* self, double value);

PyObject* timerExit(Timer* self, PyObject* const*, Py_ssize_t) {
  const double elapsed = monotonicSeconds() - self->start;
  self->elapsed = elapsed > 0 ? elapsed : 0.0;  // time can go back
  self->ended = true;
  Py_CLEAR(self->duration);
  auto* metric = reinterpret_cast<Metric*>(self->metric);
  const bool observes = self->callback == observe_name;
  if ((observes && (takesFrom(self->metric, histogram_base, observe_name) ||
                    takesFrom(self->metric, summary_base, observe_name)))) {
    if (!metric->observable) {
      raiseMissingLabels(metric);
      return nullptr;
    }
    if (!ensureDeclared() || !recordObservation(metric, self->elapsed)) {
      return nullptr;
    }
    Py_RETURN_NONE;
  }
  if (self->callback == set_name && takesFrom(self->metric, gauge_base, set_name)) {
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
  return PyObject_CallFunctionObjArgs(decorate_timer, reinterpret_cast<PyObject*>(self), function,
                                      nullptr);
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

PyObject* observeTime(PyObject* self, PyObject*) {
  return makeTimer(self, observe_name);
}

PyObject* setTime(PyObject* self, PyObject*) {
  return makeTimer(self, set_name);
}

constexpr const char* kObserveTimeDoc =
    "time($self, /)\n--\n\nTime a block of code or function, and observe the duration in "
    "seconds.\n\nCan be used as a function decorator or context manager.";
constexpr const char* kSetTimeDoc =
    "time($self, /)\n--\n\nTime a block of code or function, and set the duration in "
    "seconds.\n\nCan be used as a function decorator or context manager.";

// --- Counter -------------------------------------------------------------------------------

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
  bool recorded = false;
  if (amount == nullptr) {
    recorded = recordCounter(self, 1);
  } else if (PyLong_CheckExact(amount)) {
    int overflow = 0;
    const long small = PyLong_AsLongAndOverflow(amount, &overflow);
    if (small == -1 && PyErr_Occurred() != nullptr) {
      return nullptr;
    }
    if (overflow < 0 || (overflow == 0 && small < 0)) {
      PyErr_SetString(PyExc_ValueError,
                      "Counters can only be incremented by non-negative amounts.");
      return nullptr;
    }
    if (overflow == 0 && small <= std::numeric_limits<std::int32_t>::max()) {
      recorded = recordCounter(self, static_cast<std::int32_t>(small));
    } else {
      double value = 0;
      recorded = asDouble(amount, value) && recordCounterDouble(self, value);
    }
  } else {
    double value = 0;
    if (PyFloat_CheckExact(amount)) {
      value = PyFloat_AS_DOUBLE(amount);
      if (value < 0) {
        PyErr_SetString(PyExc_ValueError,
                        "Counters can only be incremented by non-negative amounts.");
        return nullptr;
      }
    } else {
      PyObject* zero = PyLong_FromLong(0);
      if (zero == nullptr) {
        return nullptr;
      }
      const int negative = PyObject_RichCompareBool(amount, zero, Py_LT);
      Py_DECREF(zero);
      if (negative != 0) {
        if (negative > 0) {
          PyErr_SetString(PyExc_ValueError,
                          "Counters can only be incremented by non-negative amounts.");
        }
        return nullptr;
      }
      if (!asDouble(amount, value)) {
        return nullptr;
      }
    }
    recorded = recordCounterDouble(self, value);
  }
  if (!recorded || !checkExemplar(given[1])) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyMethodDef counter_methods[] = {
    {"inc", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(counterInc)),
     METH_FASTCALL | METH_KEYWORDS,
     "inc($self, /, amount=1, exemplar=None)\n--\n\nIncrement counter by the given amount."},
    {nullptr, nullptr, 0, nullptr}};

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

bool setGaugeTo(Metric* self, double value) {
  if (!self->observable) {
    return raiseMissingLabels(self);
  }
  return ensureDeclared() && recordGauge(self, value);
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

// --- module functions ------------------------------------------------------------------------

// The id a record prefix names (its lowercase hex digits after 0x01 and the operation).
std::uint64_t idOf(const char* prefix, Py_ssize_t size) noexcept {
  std::uint64_t id = 0;
  for (Py_ssize_t at = 2; at < size; ++at) {
    const char c = prefix[at];
    id = id << 4 | static_cast<std::uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
  }
  return id;
}

// keyed_record(prefix, value, slot=-1): a write keyed by real time (an enum's state, an info's
// labels, a removal), in the gauge lane, and kept in the state slot `slot` when one is given.
PyObject* keyedRecord(PyObject*, PyObject* args) {
  const char* prefix = nullptr;
  Py_ssize_t size = 0;
  double value = 0;
  long long slot = -1;
  if (!PyArg_ParseTuple(args, "y#d|L", &prefix, &size, &value, &slot)) {
    return nullptr;
  }
  if (size < 2 || static_cast<std::size_t>(size) > kPrefixCapacity) {
    PyErr_SetString(PyExc_ValueError, "bad record prefix");
    return nullptr;
  }
  if (!ensureDeclared()) {
    return nullptr;
  }
  char name[kPrefixCapacity + 17];
  std::memcpy(name, prefix, static_cast<std::size_t>(size));
  name[size] = ':';
  const std::uint64_t key = nextKey(true);
  if (slot >= 0 && slot < zelnor::kStateSlots) {
    keepState(static_cast<std::uint32_t>(slot + 1), prefix[1], idOf(prefix, size), key, value);
  }
  writeKey(name + size + 1, key);
  if (core->setGauge(name, static_cast<std::size_t>(size) + 17u, value) != 0) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* declare(PyObject*, PyObject* lines) {
  char* bytes = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(lines, &bytes, &size) != 0) {
    return nullptr;
  }
  declarations_held = core->declare(bytes, static_cast<std::size_t>(size)) != 0;
  Py_RETURN_NONE;
}

// state_slot(): a slot of this process's state area for one series or family, or -1 when the
// area has no more (or there is none).
PyObject* stateSlot(PyObject*, PyObject*) {
  if (state.handed_out >= zelnor::kStateSlots) {
    return PyLong_FromLong(-1);
  }
  const std::uint32_t index = state.handed_out++;
  if (index >= state.reserved &&
      state.generation == fork_generation.load(std::memory_order_relaxed)) {
    state.area = core->stateArea(state.handed_out, &state.reserved);  // more blocks reserved
  }
  return PyLong_FromUnsignedLong(index);
}

PyObject* declarationFailures(PyObject*, PyObject*) {
  return PyLong_FromUnsignedLongLong(core->declarationFailures());
}

// set_hooks(redeclare, validate_exemplar, decorate_timer, argument_error)
PyObject* setHooks(PyObject*, PyObject* args) {
  PyObject* redeclare_function = nullptr;
  PyObject* exemplar_function = nullptr;
  PyObject* decorate_function = nullptr;
  PyObject* error_function = nullptr;
  if (!PyArg_ParseTuple(args, "OOOO", &redeclare_function, &exemplar_function, &decorate_function,
                        &error_function)) {
    return nullptr;
  }
  Py_XSETREF(redeclare, Py_NewRef(redeclare_function));
  Py_XSETREF(validate_exemplar, Py_NewRef(exemplar_function));
  Py_XSETREF(decorate_timer, Py_NewRef(decorate_function));
  Py_XSETREF(argument_error, Py_NewRef(error_function));
  Py_RETURN_NONE;
}

PyObject* generation(PyObject*, PyObject*) {
  return PyLong_FromUnsignedLong(fork_generation.load(std::memory_order_relaxed));
}

// mark_declared(generation): every declaration of that generation's process is written.
PyObject* markDeclared(PyObject*, PyObject* value) {
  const unsigned long written = PyLong_AsUnsignedLong(value);
  if (written == static_cast<unsigned long>(-1) && PyErr_Occurred() != nullptr) {
    return nullptr;
  }
  declared_generation = static_cast<unsigned>(written);
  Py_RETURN_NONE;
}

PyMethodDef module_methods[] = {
    {"keyed_record", keyedRecord, METH_VARARGS,
     "Records a write keyed by real time: (record prefix, value, state slot)."},
    {"state_slot", stateSlot, METH_NOARGS,
     "A slot of the state area for one series or family, or -1."},
    {"declare", declare, METH_O,
     "Appends declaration lines to this process's declaration file, or keeps them to write "
     "later."},
    {"declaration_failures", declarationFailures, METH_NOARGS,
     "How many times writing declarations has failed in this process."},
    {"set_hooks", setHooks, METH_VARARGS,
     "Sets the functions that declare everything again, check an exemplar, decorate with a "
     "timer and word an argument error."},
    {"generation", generation, METH_NOARGS, "How many forks led to this process."},
    {"mark_declared", markDeclared, METH_O,
     "Says that every declaration of the given generation is written."},
    {nullptr, nullptr, 0, nullptr}};

// --- types -----------------------------------------------------------------------------------

PyType_Slot metric_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(metricNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(metricDealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(metricTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(metricClear)},
    {Py_tp_methods, metric_methods},
    {Py_tp_members, metric_members},
    {Py_tp_doc, const_cast<char*>("What every zelnor_client metric object records through.")},
    {0, nullptr}};

PyType_Spec metric_spec = {"zelnor_client._native.Metric", sizeof(Metric), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                           metric_slots};

PyObject* makeKind(PyObject* module, PyObject* base, const char* name, PyMethodDef* methods) {
  PyType_Slot slots[] = {{Py_tp_methods, methods},
                         {Py_tp_traverse, reinterpret_cast<void*>(metricTraverse)},
                         {Py_tp_clear, reinterpret_cast<void*>(metricClear)},
                         {Py_tp_dealloc, reinterpret_cast<void*>(metricDealloc)},
                         {0, nullptr}};
  PyType_Spec kind = {name, sizeof(Metric), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
  PyObject* type = PyType_FromModuleAndSpec(module, &kind, base);
  if (type == nullptr) {
    return nullptr;
  }
  const char* short_name = std::strrchr(name, '.') + 1;
  if (PyModule_AddObjectRef(module, short_name, type) != 0) {
    Py_DECREF(type);
    return nullptr;
  }
  return type;
}

int execModule(PyObject* module) {
  core = static_cast<const CoreApi*>(PyCapsule_Import(zelnor::python::kCoreApiCapsule, 0));
  if (core == nullptr) {
    return -1;
  }
  if (core->version != zelnor::python::kCoreApiVersion) {
    PyErr_Format(PyExc_ImportError,
                 "zelnor_client._native needs zelnor_core's interface %u, this zelnor_core has %u",
                 zelnor::python::kCoreApiVersion, core->version);
    return -1;
  }
  observe_name = PyUnicode_InternFromString("observe");
  set_name = PyUnicode_InternFromString("set");
  if (observe_name == nullptr || set_name == nullptr) {
    return -1;
  }
  timer_type = PyType_FromModuleAndSpec(module, &timer_spec, nullptr);
  if (timer_type == nullptr || PyModule_AddObjectRef(module, "Timer", timer_type) != 0) {
    return -1;
  }
  PyObject* metric = PyType_FromModuleAndSpec(module, &metric_spec, nullptr);
  if (metric == nullptr) {
    return -1;
  }
  int status = PyModule_AddObjectRef(module, "Metric", metric);
  struct Kind {
    const char* name;
    PyMethodDef* methods;
    PyTypeObject** kept;  // where the type is kept, for the timer
  };
  const Kind kinds[] = {{"zelnor_client._native.CounterBase", counter_methods, nullptr},
                        {"zelnor_client._native.GaugeBase", gauge_methods, &gauge_base},
                        {"zelnor_client._native.HistogramBase", histogram_methods, &histogram_base},
                        {"zelnor_client._native.SummaryBase", summary_methods, &summary_base}};
  for (const Kind& kind : kinds) {
    if (status == 0) {
      PyObject* type = makeKind(module, metric, kind.name, kind.methods);
      status = type == nullptr ? -1 : 0;
      if (type != nullptr && kind.kept != nullptr) {
        *kind.kept = reinterpret_cast<PyTypeObject*>(type);  // the module holds a reference
      }
      Py_XDECREF(type);
    }
  }
  Py_DECREF(metric);
  return status;
}

PyModuleDef_Slot module_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(execModule)},
                                   {0, nullptr}};

PyModuleDef module_definition = {PyModuleDef_HEAD_INIT,
                                 "zelnor_client._native",
                                 "The recording half of zelnor_client's metric objects.",
                                 0,
                                 module_methods,
                                 module_slots,
                                 nullptr,
                                 nullptr,
                                 nullptr};

[[maybe_unused]] const bool fork_handler_registered = [] {
  return ::pthread_atfork(nullptr, nullptr, &onForkChild) == 0;
}();

}  // namespace

PyMODINIT_FUNC PyInit__native() {
  return PyModuleDef_Init(&module_definition);
}
