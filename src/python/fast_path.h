// The recording calls without pybind11's dispatcher, for the argument types nearly every call has.
#pragma once

#include <pybind11/pybind11.h>

namespace zelnor::python {

// Replaces the module's inc_counter, observe_histogram and set_gauge (already defined through
// pybind11) by builtins that convert an exact str or bytes name and an exact int or float value
// themselves and record at once, on a thread that has its collector already. Every other call
// goes to pybind11's own function unchanged, so the visible behaviour is pybind11's: the same
// docstrings, __self__ and __module__, the same conversions, refusals and messages.
void installRecordingFastPath(pybind11::module_& module);

}  // namespace zelnor::python
