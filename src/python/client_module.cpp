// zelnor_client._native: the recording half of zelnor_client's metric objects, in the CPython API
// so that a kept child's inc(), observe() or set() costs about what zelnor_core's own call costs.
// The recording lives in src/client; this file registers its types, functions and the constants
// of the record names (metrics/record_format.h) that zelnor_client.metrics writes with.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

#include "client/core_api.h"
#include "client/kinds.h"
#include "client/metric.h"
#include "client/process.h"
#include "client/timer.h"
#include "metrics/record_format.h"

namespace {

using namespace zelnor::client;

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

int addBytes(PyObject* module, const char* name, const char* bytes, Py_ssize_t size) {
  PyObject* value = PyBytes_FromStringAndSize(bytes, size);
  if (value == nullptr) {
    return -1;
  }
  const int status = PyModule_AddObjectRef(module, name, value);
  Py_DECREF(value);
  return status;
}

// The record prefixes and line kinds zelnor_client.metrics writes: RECORD_* the mark and the
// operation (bytes), RECORD_STAMP the stamp's separator (bytes), DECLARE_* the first field of a
// declaration line (str).
int addFormatConstants(PyObject* module) {
  namespace records = zelnor::records;
  struct Constant {
    const char* name;
    char op;
  };
  const Constant operations[] = {
      {"RECORD_COUNTER", records::kCounter}, {"RECORD_OBSERVE", records::kObserve},
      {"RECORD_GAUGE", records::kGauge},     {"RECORD_ENUM", records::kEnum},
      {"RECORD_INFO", records::kInfo},       {"RECORD_REMOVE", records::kRemove},
      {"RECORD_CLEAR", records::kClear},     {"RECORD_REVIVE", records::kRevive},
      {"RECORD_PARENT", records::kParent}};
  for (const Constant& operation : operations) {
    const char prefix[] = {records::kMark, operation.op};
    if (addBytes(module, operation.name, prefix, sizeof prefix) != 0) {
      return -1;
    }
  }
  const Constant lines[] = {{"DECLARE_FAMILY", records::kFamilyLine},
                            {"DECLARE_SERIES", records::kSeriesLine},
                            {"DECLARE_INFO_VALUE", records::kInfoValueLine}};
  for (const Constant& line : lines) {
    const char kind[] = {line.op, '\0'};
    if (PyModule_AddStringConstant(module, line.name, kind) != 0) {
      return -1;
    }
  }
  return addBytes(module, "RECORD_STAMP", &records::kStampSeparator, 1);
}

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

// Metric and the kinds derived from it.
int addMetricTypes(PyObject* module) {
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
  const Kind kinds[] = {
      {"zelnor_client._native.CounterBase", counter_methods, nullptr},
      {"zelnor_client._native.GaugeBase", gauge_methods, &timed_kinds.gauge},
      {"zelnor_client._native.HistogramBase", histogram_methods, &timed_kinds.histogram},
      {"zelnor_client._native.SummaryBase", summary_methods, &timed_kinds.summary}};
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

int execModule(PyObject* module) {
  core = static_cast<const zelnor::python::CoreApi*>(
      PyCapsule_Import(zelnor::python::kCoreApiCapsule, 0));
  if (core == nullptr) {
    return -1;
  }
  if (core->version != zelnor::python::kCoreApiVersion) {
    PyErr_Format(PyExc_ImportError,
                 "zelnor_client._native needs zelnor_core's interface %u, this zelnor_core has %u",
                 zelnor::python::kCoreApiVersion, core->version);
    return -1;
  }
  if (!addTimerType(module) || addMetricTypes(module) != 0) {
    return -1;
  }
  return addFormatConstants(module);
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

}  // namespace

PyMODINIT_FUNC PyInit__native() {
  return PyModuleDef_Init(&module_definition);
}
