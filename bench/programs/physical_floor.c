/* The physical floor of a recording call: a METH_FASTCALL builtin that converts the same two
 * arguments (a str name to UTF-8, an int or a float value) and does nothing else. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

/* Checks the count and converts the name, as every recording call must; 0 on failure. */
static int convert_name(PyObject* const* args, Py_ssize_t nargs) {
  Py_ssize_t size;
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "two arguments");
    return 0;
  }
  return PyUnicode_AsUTF8AndSize(args[0], &size) != NULL;
}

static PyObject* record_int(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  (void)self;
  if (!convert_name(args, nargs)) {
    return NULL;
  }
  long value = PyLong_AsLong(args[1]);
  if (value == -1 && PyErr_Occurred()) {
    return NULL;
  }
  Py_RETURN_NONE;
}

static PyObject* record_float(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  (void)self;
  if (!convert_name(args, nargs)) {
    return NULL;
  }
  double value = PyFloat_AsDouble(args[1]);
  if (value == -1.0 && PyErr_Occurred()) {
    return NULL;
  }
  Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"record_int", (PyCFunction)(void (*)(void))record_int, METH_FASTCALL, NULL},
    {"record_float", (PyCFunction)(void (*)(void))record_float, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL}};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "zelnor_bench_floor", NULL, -1, methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_zelnor_bench_floor(void) {
  return PyModule_Create(&module);
}
