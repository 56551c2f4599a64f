// How a bound member serialises its core call on one index.
//
// Two locks are in play: the interpreter lock and the index's own mutex. The
// one rule that keeps them deadlock-free: nobody takes the interpreter lock
// while holding an index mutex. Members that keep the interpreter lock take
// the mutex inside it (with_index_lock); members that give it up release it
// first, then take the mutex, and drop the mutex before the interpreter lock
// comes back (without_gil_with_index_lock).
//
// In both forms fn must not touch Python objects: running Python code (even a
// finalizer set off by an allocation) lets another thread take the
// interpreter lock, and this thread would then wait for it while holding the
// mutex. Convert arguments before and results after the locked call.
#ifndef TAVRIN_BINDINGS_INDEX_LOCK_H_
#define TAVRIN_BINDINGS_INDEX_LOCK_H_

#include <pybind11/pybind11.h>

#include <mutex>
#include <utility>

#include "bindings/logging_bridge.h"
#include "encrypted_index/encrypted_index.h"

namespace tavrin::bindings {

// Both forms hand the diagnostic lines of the call to the logger last, once
// the mutex is free and the interpreter lock held (logging_bridge.h).

// Runs fn with the index mutex held; the interpreter lock stays held.
template <typename Fn>
auto with_index_lock(EncryptedIndex& index, Fn&& fn) -> decltype(fn()) {
  DiagnosticsFlush flush;
  std::lock_guard<std::mutex> lock(index.mutex());
  return std::forward<Fn>(fn)();
}

// Releases the interpreter lock, then runs fn with the index mutex held. The
// guards unwind in reverse order: mutex first, interpreter lock last.
template <typename Fn>
auto without_gil_with_index_lock(EncryptedIndex& index, Fn&& fn) -> decltype(fn()) {
  DiagnosticsFlush flush;
  pybind11::gil_scoped_release release;
  std::lock_guard<std::mutex> lock(index.mutex());
  return std::forward<Fn>(fn)();
}

}  // namespace tavrin::bindings

#endif  // TAVRIN_BINDINGS_INDEX_LOCK_H_
