#include "python/fast_path.h"

#include <cstdint>
#include <exception>
#include <limits>
#include <new>
#include <string>
#include <string_view>

#include "metrics/metrics_collector.h"
#include "python/core_exports.h"

namespace zelnor::python {
namespace {

namespace py = pybind11;

enum Kind { kCounter, kHistogram, kGauge, kKinds };

constexpr const char* kNames[kKinds] = {"inc_counter", "observe_histogram", "set_gauge"};

struct FastFunction {
  PyMethodDef definition{};
  std::string doc;
  PyObject* pybind11_function = nullptr;  // the fallback; lives as long as the interpreter
};

FastFunction functions[kKinds];

// The bytes pybind11's std::string conversion would produce, for an exact str or bytes.
bool convertName(PyObject* argument, std::string_view& name) {
  if (PyUnicode_CheckExact(argument)) {
    if (PyUnicode_IS_COMPACT_ASCII(argument)) {  // its characters are its UTF-8 bytes
      name = std::string_view(static_cast<const char*>(PyUnicode_DATA(argument)),
                              static_cast<std::size_t>(PyUnicode_GET_LENGTH(argument)));
      return true;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(argument, &size);
    if (data == nullptr) {
      PyErr_Clear();  // not encodable: pybind11 refuses it with its own message
      return false;
    }
    name = std::string_view(data, static_cast<std::size_t>(size));
    return true;
  }
  if (PyBytes_CheckExact(argument)) {
    name = std::string_view(PyBytes_AS_STRING(argument),
                            static_cast<std::size_t>(PyBytes_GET_SIZE(argument)));
    return true;
  }
  return false;
}

bool convertCounterValue(PyObject* argument, std::int32_t& value) {
  if (!PyLong_CheckExact(argument)) {
    return false;
  }
  int overflow = 0;
  long wide = PyLong_AsLongAndOverflow(argument, &overflow);
  if (overflow != 0 || wide < std::numeric_limits<std::int32_t>::min() ||
      wide > std::numeric_limits<std::int32_t>::max()) {
    return false;  // out of range: pybind11 refuses it
  }
  value = static_cast<std::int32_t>(wide);
  return true;
}

bool convertDoubleValue(PyObject* argument, double& value) {
  if (PyFloat_CheckExact(argument)) {
    value = PyFloat_AS_DOUBLE(argument);
    return true;
  }
  if (PyLong_CheckExact(argument)) {
    value = PyLong_AsDouble(argument);
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
      PyErr_Clear();  // too large for a double: pybind11 refuses it
      return false;
    }
    return true;
  }
  return false;
}

// Records when the call has exactly two positional arguments of the common types and the thread
// has its collector; returns false, having done nothing, for pybind11 to handle the call.
template <Kind kind>
bool recordDirectly(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 2 || kwnames != nullptr) {
    return false;
  }
  MetricsCollector* collector = MetricsCollector::existingLocalInstance();
  std::string_view name;
  if (collector == nullptr || !convertName(args[0], name)) {
    return false;
  }
  if constexpr (kind == kCounter) {
    std::int32_t value = 0;
    if (!convertCounterValue(args[1], value)) {
      return false;
    }
    collector->incCounter(name, value);
  } else {
    double value = 0;
    if (!convertDoubleValue(args[1], value)) {
      return false;
    }
    if constexpr (kind == kHistogram) {
      collector->observeHistogram(name, value);
    } else {
      collector->setGauge(name, value);
    }
  }
  return true;
}

template <Kind kind>
PyObject* record(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    if (recordDirectly<kind>(args, nargs, kwnames)) {
      Py_RETURN_NONE;
    }
  } catch (...) {
    return raiseTranslated();
  }
  return PyObject_Vectorcall(functions[kind].pybind11_function, args,
                             static_cast<std::size_t>(nargs), kwnames);
}

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
constexpr FastCall kEntries[kKinds] = {&record<kCounter>, &record<kHistogram>, &record<kGauge>};

}  // namespace

void installRecordingFastPath(py::module_& module) {
  for (int kind = 0; kind < kKinds; ++kind) {
    FastFunction& function = functions[kind];
    py::object original = module.attr(kNames[kind]);
    py::object module_name = original.attr("__module__");
    function.doc = original.attr("__doc__").cast<std::string>();
    function.definition = PyMethodDef{
        kNames[kind], reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kEntries[kind])),
        METH_FASTCALL | METH_KEYWORDS, function.doc.c_str()};
    // The same __self__ (pybind11's record of the function) and __module__ as the original.
    PyObject* fast = PyCFunction_NewEx(&function.definition, PyCFunction_GET_SELF(original.ptr()),
                                       module_name.ptr());
    if (fast == nullptr) {
      throw py::error_already_set();
    }
    function.pybind11_function = original.release().ptr();
    module.attr(kNames[kind]) = py::reinterpret_steal<py::object>(fast);
  }
}

}  // namespace zelnor::python
