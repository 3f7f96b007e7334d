#include "client/metric.h"

#include <structmember.h>

#include <cstring>

#include "client/labels.h"
#include "metrics/process_state.h"

namespace zelnor::client {

bool raiseMissingLabels(Metric* self) {
  PyErr_Format(PyExc_ValueError, "%S metric is missing label values", self->type_name);
  return false;
}

bool checkExemplar(PyObject* exemplar) {
  if (exemplar == nullptr || exemplar == Py_None) {
    return true;
  }
  const int truth = PyObject_IsTrue(exemplar);
  if (truth <= 0) {
    return truth == 0;
  }
  if (hooks.validate_exemplar == nullptr) {
    return true;
  }
  PyObject* result = PyObject_CallOneArg(hooks.validate_exemplar, exemplar);
  Py_XDECREF(result);
  return result != nullptr;
}

namespace {

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
  self->keyed_name[prefix_size] = records::kKeySeparator;
  self->label_count = label_count;
  self->observable = observable != 0;
  self->most_recent = most_recent != 0;
  Py_XSETREF(self->children, children == Py_None ? nullptr : Py_NewRef(children));
  Py_SETREF(self->type_name, Py_NewRef(type_name));
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

// _keep_state(slot, series_id): its gauge writes are kept in the state slot (from state_slot()).
PyObject* metricKeepState(Metric* self, PyObject* args) {
  long long slot = -1;
  unsigned long long series_id = 0;
  if (!PyArg_ParseTuple(args, "LK", &slot, &series_id)) {
    return nullptr;
  }
  self->state_slot = slot >= 0 && slot < kStateSlots ? static_cast<std::uint32_t>(slot + 1) : 0;
  self->series_id = series_id;
  Py_RETURN_NONE;
}

PyMemberDef metric_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Metric, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

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

PyType_Slot metric_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(metricNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(metricDealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(metricTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(metricClear)},
    {Py_tp_methods, metric_methods},
    {Py_tp_members, metric_members},
    {Py_tp_doc, const_cast<char*>("What every zelnor_client metric object records through.")},
    {0, nullptr}};

}  // namespace

int metricTraverse(Metric* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(self->children);
  return visitCachedCalls(self, visit, arg);
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

PyType_Spec metric_spec = {"zelnor_client._native.Metric", sizeof(Metric), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                           metric_slots};

}  // namespace zelnor::client
