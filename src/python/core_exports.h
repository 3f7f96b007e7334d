// What zelnor_core's module files share: the translation of native exceptions, and the capsule
// that lends zelnor_core's recording to the package's other extension modules (core_api.h).
#pragma once

#include <pybind11/pybind11.h>

namespace zelnor::python {

// Sets the Python exception pybind11's default translation gives the exception being handled
// (MemoryError for std::bad_alloc, RuntimeError with its text for any other) and returns null.
// Only inside a catch block.
PyObject* raiseTranslated();

// Sets the module's `__capi__` capsule (core_api.h).
void installCoreApi(pybind11::module_& module);

}  // namespace zelnor::python
