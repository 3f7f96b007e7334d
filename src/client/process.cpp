#include "client/process.h"

#include <pthread.h>
#include <time.h>

#include <cstring>

#include "client/record_name.h"
#include "metrics/process_state.h"

namespace zelnor::client {

const python::CoreApi* core = nullptr;
std::atomic<unsigned> fork_generation{0};
unsigned declared_generation = 0;
bool declarations_held = false;
std::uint64_t last_key = 0;
Hooks hooks;

namespace {

// This process's state area (metrics/process_state.h), where each gauge, Info, Enum and removal
// keeps its last keyed write for an exporter that starts while the process lives. Under the
// interpreter lock: the only writer of the area. A forked child's area is a file of its own
// (the parent's mapping is not inherited), asked for at the first write of its generation; the
// slots keep their indexes there.
struct State {
  StateHeader* area = nullptr;
  std::uint32_t reserved = 0;    // slots ready to write
  unsigned generation = ~0u;     // the fork generation `area` is of
  std::uint32_t handed_out = 0;  // slots given to series and families so far
};
State state;

void onForkChild() noexcept {
  fork_generation.fetch_add(1, std::memory_order_relaxed);
}

[[maybe_unused]] const bool fork_handler_registered = [] {
  return ::pthread_atfork(nullptr, nullptr, &onForkChild) == 0;
}();

// The area with slot `index` ready to write in this process, or null.
StateHeader* stateFor(std::uint32_t index) noexcept {
  const unsigned generation = fork_generation.load(std::memory_order_relaxed);
  if (state.generation != generation) {
    state.generation = generation;
    state.area = core->stateArea(state.handed_out, &state.reserved);
  }
  return index < state.reserved ? state.area : nullptr;
}

}  // namespace

bool redeclare(unsigned generation) {
  if (hooks.redeclare != nullptr) {
    PyObject* result = PyObject_CallNoArgs(hooks.redeclare);
    if (result == nullptr) {
      return false;
    }
    Py_DECREF(result);
  }
  declared_generation = generation;
  return true;
}

std::uint64_t realtimeNanoseconds() noexcept {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

void keepStateAt(std::uint32_t index, char op, std::uint64_t id, std::uint64_t key,
                 double value) noexcept {
  if (StateHeader* area = stateFor(index)) {
    writeStateSlot(*area, index, StateEntry{op, id, key, value});
  }
}

// keyed_record(prefix, value, slot=-1): a write keyed by real time (an enum's state, an info's
// labels, a removal), in the gauge lane, and kept in the state slot `slot` when one is given.
PyObject* keyedRecord(PyObject*, PyObject* args) {
  const char* prefix = nullptr;
  Py_ssize_t size = 0;
  double value = 0;
  long long slot = -1;
  if (!PyArg_ParseTuple(args, "y#d|L", &prefix, &size, &value, &slot)) {
    return nullptr;
  }
  if (size < 2 || static_cast<std::size_t>(size) > kPrefixCapacity) {
    PyErr_SetString(PyExc_ValueError, "bad record prefix");
    return nullptr;
  }
  if (!ensureDeclared()) {
    return nullptr;
  }
  const auto length = static_cast<std::size_t>(size);
  char name[kKeyedNameCapacity];
  std::memcpy(name, prefix, length);
  name[length] = records::kKeySeparator;
  const std::uint64_t key = nextKey(true);
  if (slot >= 0 && slot < kStateSlots) {
    keepState(static_cast<std::uint32_t>(slot + 1), prefix[1], idOf(prefix, length), key, value);
  }
  writeKey(name + length + 1, key);
  if (core->recordKeyed(name, length + 1 + records::kKeyDigits, value) != 0) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* declare(PyObject*, PyObject* lines) {
  char* bytes = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(lines, &bytes, &size) != 0) {
    return nullptr;
  }
  declarations_held = core->declare(bytes, static_cast<std::size_t>(size)) != 0;
  Py_RETURN_NONE;
}

// state_slot(): a slot of this process's state area for one series or family, or -1 when the
// area has no more (or there is none).
PyObject* stateSlot(PyObject*, PyObject*) {
  if (state.handed_out >= kStateSlots) {
    return PyLong_FromLong(-1);
  }
  const std::uint32_t index = state.handed_out++;
  if (index >= state.reserved &&
      state.generation == fork_generation.load(std::memory_order_relaxed)) {
    state.area = core->stateArea(state.handed_out, &state.reserved);  // more blocks reserved
  }
  return PyLong_FromUnsignedLong(index);
}

PyObject* declarationFailures(PyObject*, PyObject*) {
  return PyLong_FromUnsignedLongLong(core->declarationFailures());
}

// set_hooks(redeclare, validate_exemplar, decorate_timer, argument_error)
PyObject* setHooks(PyObject*, PyObject* args) {
  PyObject* redeclare_function = nullptr;
  PyObject* exemplar_function = nullptr;
  PyObject* decorate_function = nullptr;
  PyObject* error_function = nullptr;
  if (!PyArg_ParseTuple(args, "OOOO", &redeclare_function, &exemplar_function, &decorate_function,
                        &error_function)) {
    return nullptr;
  }
  Py_XSETREF(hooks.redeclare, Py_NewRef(redeclare_function));
  Py_XSETREF(hooks.validate_exemplar, Py_NewRef(exemplar_function));
  Py_XSETREF(hooks.decorate_timer, Py_NewRef(decorate_function));
  Py_XSETREF(hooks.argument_error, Py_NewRef(error_function));
  Py_RETURN_NONE;
}

PyObject* generation(PyObject*, PyObject*) {
  return PyLong_FromUnsignedLong(fork_generation.load(std::memory_order_relaxed));
}

// mark_declared(generation): every declaration of that generation's process is written.
PyObject* markDeclared(PyObject*, PyObject* value) {
  const unsigned long written = PyLong_AsUnsignedLong(value);
  if (written == static_cast<unsigned long>(-1) && PyErr_Occurred() != nullptr) {
    return nullptr;
  }
  declared_generation = static_cast<unsigned>(written);
  Py_RETURN_NONE;
}

}  // namespace zelnor::client
