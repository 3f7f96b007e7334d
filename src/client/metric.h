// The metric object (a family without labels, or a child of a labelled one) and its recording.
//
// Each object is bound to one series that its process has declared (zelnor_client.metrics writes
// the declarations); a record names that series compactly instead of carrying the name
// (metrics/record_format.h, docs/file-format.md). Records go through zelnor_core's per-thread
// collector (client/core_api.h), so a thread has one set of queue files whichever module records.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "client/process.h"
#include "client/record_name.h"

namespace zelnor::client {

// A labelled parent remembers the children its last few labels() calls returned, by the identity
// of the argument objects (client/labels.h).
inline constexpr int kCachedCalls = 4;
inline constexpr Py_ssize_t kCachedArguments = 4;

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
  char prefix[kPrefixCapacity];  // the mark, the operation, the series id (and its stamp)
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
  // A gauge's record name: the prefix, the key's separator and the key of the write, rewritten in
  // place at each write.
  char keyed_name[kKeyedNameCapacity];
  std::uint32_t state_slot;  // 1 + the slot of its series' last write, 0 when it keeps none
  std::uint64_t series_id;
  unsigned char next_cached;
  CachedCall cached[kCachedCalls];
};

// The type every kind derives from (made by the module from this), and the slots each kind's
// type repeats.
extern PyType_Spec metric_spec;
int metricTraverse(Metric* self, visitproc visit, void* arg);
int metricClear(Metric* self);
void metricDealloc(Metric* self);

bool raiseMissingLabels(Metric* self);

// prometheus_client's check of an exemplar (null or None: none given).
bool checkExemplar(PyObject* exemplar);

// --- recording: each false with the exception set, the record not made ------------------------

inline bool recordCounter(Metric* self, std::int32_t amount) {
  if (core->recordInteger(self->prefix, self->prefix_size, amount) != 0) {
    return false;
  }
  self->sum += amount;
  return true;
}

// A counter's increment that is not a small integer: the double-valued lane.
inline bool recordCounterDouble(Metric* self, double amount) {
  if (core->recordDouble(self->prefix, self->prefix_size, amount) != 0) {
    return false;
  }
  self->sum += amount;
  return true;
}

// An observation: the double-valued lane, and this process's share as prometheus_client counts
// it (the first bucket whose bound is at or above the value; a NaN in none, but in the sum).
inline bool recordObservation(Metric* self, double amount) {
  if (core->recordDouble(self->prefix, self->prefix_size, amount) != 0) {
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

// A gauge's new value, keyed after every earlier write of this process.
inline bool recordGauge(Metric* self, double value) {
  self->value = value;
  const std::uint64_t key = nextKey(self->most_recent);
  keepState(self->state_slot, records::kGauge, self->series_id, key, value);
  writeKey(self->keyed_name + self->prefix_size + 1, key);
  return core->recordKeyed(self->keyed_name, self->prefix_size + 1 + records::kKeyDigits, value) ==
         0;
}

// A gauge set to `value` (its own calls, and a timer's).
inline bool setGaugeTo(Metric* self, double value) {
  if (!self->observable) {
    return raiseMissingLabels(self);
  }
  return ensureDeclared() && recordGauge(self, value);
}

}  // namespace zelnor::client
