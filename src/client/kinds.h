// The methods of each kind of metric object: Counter's inc, Gauge's inc, dec, set and
// set_to_current_time, Histogram's and Summary's observe (and each one's time()), with
// prometheus_client's arguments, checks and exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zelnor::client {

extern PyMethodDef counter_methods[];
extern PyMethodDef gauge_methods[];
extern PyMethodDef histogram_methods[];
extern PyMethodDef summary_methods[];

}  // namespace zelnor::client
