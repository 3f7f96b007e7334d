#include "client/arguments.h"

#include "client/process.h"

namespace zelnor::client {

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

void raiseArgumentError(const char* function, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  if (hooks.argument_error != nullptr) {
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
            PyObject_CallFunction(hooks.argument_error, "sOO", function, positional, keywords);
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

}  // namespace zelnor::client
