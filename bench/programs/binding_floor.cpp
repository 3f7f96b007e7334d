// The binding floor: no-op pybind11 functions with the recording functions' native signatures,
// and the object floor of draining: a list of N pybind11 objects built from a vector.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

struct Record {
  char name[64];
  std::int32_t value;
};

}  // namespace

PYBIND11_MODULE(zelnor_bench_binding, module) {
  py::class_<Record>(module, "Record").def(py::init<>()).def_readwrite("value", &Record::value);
  module.def("record_int", [](const std::string&, std::int32_t) {});
  module.def("record_float", [](const std::string&, double) {});
  module.def("make_records", [](std::size_t count) { return std::vector<Record>(count); });
}
