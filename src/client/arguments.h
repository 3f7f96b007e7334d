// The arguments of the metric objects' methods, taken as prometheus_client's Python methods take
// them: the same conversions and the interpreter's own TypeError for a call that does not fit.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zelnor::client {

// The float value of `amount` as a value held in a float gets it from `value += amount`, which is
// what prometheus_client's values compute (so a Decimal or a str is refused with the same
// TypeError); exact ints and floats directly.
bool asDouble(PyObject* amount, double& value);

// Calls the method `name` of `target` with these vectorcall arguments, as target.name(...) would.
PyObject* callMethod(PyObject* target, const char* name, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames);

// Raises the TypeError that a Python method `function` (a qualified name) of the same signature
// raises for these arguments, as the interpreter words it (its words change between versions).
void raiseArgumentError(const char* function, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);

// Parses up to `max` positional-or-keyword arguments named `names` into `out` (left as they are
// when not given), of which the first `required` must be given. False with the interpreter's
// TypeError set on anything else.
inline bool parseArguments(const char* function, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, const char* const* names, Py_ssize_t max,
                           PyObject** out, Py_ssize_t required = 0) {
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

}  // namespace zelnor::client
