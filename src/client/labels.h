// A labelled parent's labels(): the child for the given label values.
//
// A parent remembers the children its last few labels() calls returned, by the identity of the
// argument objects: a call site passes the same str objects every time, so a hit costs a few
// pointer comparisons instead of a tuple and its hash. The entries hold references, so an address
// cannot be reused by another object while it is remembered; removing children clears them
// (_labels_changed).
#pragma once

#include "client/metric.h"

namespace zelnor::client {

// labels(*values, **names)
PyObject* metricLabels(Metric* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// _labels_changed()
PyObject* metricLabelsChanged(Metric* self, PyObject*);

// Drops the remembered calls and their references.
void forgetCachedCalls(Metric* self);
// Visits the references the remembered calls hold (tp_traverse).
int visitCachedCalls(Metric* self, visitproc visit, void* arg);

}  // namespace zelnor::client
