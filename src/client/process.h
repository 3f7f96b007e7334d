// What every metric object of a process shares: zelnor_core's capsule it records through, the
// fork generation its declarations were written for, the key of its last keyed write and its
// state area (metrics/process_state.h). Every function runs with the interpreter lock held and
// never releases it: the lock orders a gauge's read-modify-write and the key it takes, so two
// threads never interleave them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "client/core_api.h"

namespace zelnor::client {

// zelnor_core's recording (client/core_api.h), imported with the module.
extern const python::CoreApi* core;

// Bumped in the child of every fork(); written only by the atfork child handler, while the child
// has one thread, so relaxed loads see it in the child and nothing else needs ordering.
extern std::atomic<unsigned> fork_generation;
// The generation whose process has all its declarations written (under the interpreter lock).
extern unsigned declared_generation;
// Some declarations of this process could not be written yet (under the interpreter lock).
extern bool declarations_held;
// The key of this process's last keyed write. Every keyed write takes the next one, so the writes
// of a series are ordered as they were made, whichever object or thread made them; writes that
// must be ordered across processes too take real time when it is ahead.
extern std::uint64_t last_key;

// zelnor_client.metrics' functions (set_hooks): writes every declaration of this process again;
// its exemplar check, the same as prometheus_client's; its decorator for a timer used as one,
// decorate_timer(timer, function); and argument_error(qualname, args, kwargs), which raises the
// TypeError the interpreter raises for those arguments to a Python method of that signature.
struct Hooks {
  PyObject* redeclare = nullptr;
  PyObject* validate_exemplar = nullptr;
  PyObject* decorate_timer = nullptr;
  PyObject* argument_error = nullptr;
};
extern Hooks hooks;

// Writes this process's declarations into a file of its own: the first record of a process made
// by fork() needs them, the parent's do not speak for the child.
bool redeclare(unsigned generation);

// Before each record: declarations written for this process (false with an exception set when
// they cannot be).
inline bool ensureDeclared() {
  const unsigned generation = fork_generation.load(std::memory_order_relaxed);
  if (generation == declared_generation) {
    if (declarations_held) {
      declarations_held = core->declare("", 0) != 0;  // tried again about once a second
    }
    return true;
  }
  return redeclare(generation);
}

std::uint64_t realtimeNanoseconds() noexcept;

// The key of the next keyed write, after every earlier one of this process; `real_time`: not
// before the current time in nanoseconds either.
inline std::uint64_t nextKey(bool real_time) noexcept {
  std::uint64_t key = last_key + 1;
  if (real_time) {
    const std::uint64_t now = realtimeNanoseconds();
    key = now > key ? now : key;
  }
  last_key = key;
  return key;
}

// Keeps a keyed write in the state area's slot `index` for a restarted exporter.
void keepStateAt(std::uint32_t index, char op, std::uint64_t id, std::uint64_t key,
                 double value) noexcept;

// Keeps a keyed write in the slot `slot` (1 + its index; 0: none) for a restarted exporter.
inline void keepState(std::uint32_t slot, char op, std::uint64_t id, std::uint64_t key,
                      double value) noexcept {
  if (slot != 0) {
    keepStateAt(slot - 1, op, id, key, value);
  }
}

// The module's functions of the process (zelnor_client/_native.pyi).
PyObject* keyedRecord(PyObject*, PyObject* args);
PyObject* declare(PyObject*, PyObject* lines);
PyObject* stateSlot(PyObject*, PyObject*);
PyObject* declarationFailures(PyObject*, PyObject*);
PyObject* setHooks(PyObject*, PyObject* args);
PyObject* generation(PyObject*, PyObject*);
PyObject* markDeclared(PyObject*, PyObject* value);

}  // namespace zelnor::client
