// What zelnor_core lends other extension modules of this package (zelnor_client._native) through
// a capsule, so that their recording goes through zelnor_core's own per-thread collector: one
// producer per thread, one set of queue files, whichever module records.
//
// The capsule is the module attribute `__capi__`, named "zelnor_core.__capi__". Every function is
// called with the interpreter lock held and returns 0, or -1 with a Python exception set (the same
// exception zelnor_core's own functions would raise: RuntimeError with the native message).
#pragma once

#include <cstddef>
#include <cstdint>

#include "metrics/process_state.h"

namespace zelnor::python {

inline constexpr const char* kCoreApiCapsule = "zelnor_core.__capi__";
// Raised whenever a member is added or its type or meaning changes (not for a new name alone: the
// layout is what the two modules must agree on); a module built against another refuses to import.
inline constexpr std::uint32_t kCoreApiVersion = 3;

struct CoreApi {
  std::uint32_t version;
  // One record in one of the calling thread's queues (its collector made on first use), each named
  // by what it carries rather than by the zelnor_core call that shares its queue:
  // an integer to add (a counter's small increment), in the counter queue;
  int (*recordInteger)(const char* name, std::size_t size, std::int32_t value);
  // a double to add or observe (a counter's other increment, a histogram's or a summary's
  // observation), in the histogram queue;
  int (*recordDouble)(const char* name, std::size_t size, double value);
  // a keyed write, whose key is in its name (a gauge's value, an enum's state, an info's labels,
  // a removal), in the gauge queue.
  int (*recordKeyed)(const char* name, std::size_t size, double value);
  // Appends whole lines to this process's declaration file (made on first use), so that the
  // consumer learns what the records of this process mean. Never raises: what cannot be written
  // (something else planted as .producers, a full file) is kept in memory, said once, counted,
  // and written at a later call, at most about once a second; with no lines, a call only tries
  // again. Returns 0 when nothing is kept back, 1 when something is.
  int (*declare)(const char* bytes, std::size_t size);
  // How many times writing declarations has failed in this process.
  std::uint64_t (*declarationFailures)();
  // This process's state area (metrics/process_state.h), made on first use, with at least its
  // first `wanted` slots ready to write; `*reserved` says how many are. Null when there is none.
  // Never raises.
  zelnor::StateHeader* (*stateArea)(std::uint32_t wanted, std::uint32_t* reserved);
};

}  // namespace zelnor::python
