#include "client/labels.h"

#include <algorithm>

#include "client/arguments.h"

namespace zelnor::client {

namespace {

// Remembers that labels(*args) returned `child`, in place of the oldest call remembered.
void remember(Metric* self, PyObject* const* args, Py_ssize_t nargs, PyObject* child) {
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

}  // namespace

// The common call (as many str values as there are label names, a child made already) is a
// dictionary lookup; every other call goes to the Python method _labels, which checks, converts
// and makes the child as prometheus_client does.
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
          remember(self, args, nargs, child);
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

void forgetCachedCalls(Metric* self) {
  for (CachedCall& call : self->cached) {
    for (Py_ssize_t i = 0; i < call.nargs; ++i) {
      Py_CLEAR(call.args[i]);
    }
    call.nargs = 0;
    Py_CLEAR(call.child);
  }
}

int visitCachedCalls(Metric* self, visitproc visit, void* arg) {
  for (CachedCall& call : self->cached) {
    for (Py_ssize_t i = 0; i < call.nargs; ++i) {
      Py_VISIT(call.args[i]);
    }
    Py_VISIT(call.child);
  }
  return 0;
}

}  // namespace zelnor::client
