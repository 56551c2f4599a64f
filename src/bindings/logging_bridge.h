// Where the module's diagnostic lines go: standard output and standard error
// (the default), or, after use_logging(True), the Python logger
// "tavrindb_lite": lines beginning "Warning" at WARNING, "Token not found"
// and "empty input" at DEBUG, every other line at ERROR.
//
// The core emits lines from any thread, with or without the interpreter lock
// and often while an index mutex is held, where calling into Python could
// deadlock (index_lock.h). So with logging on, lines are queued, and handed
// to the logger by a DiagnosticsFlush when a bound call returns, with the
// interpreter lock held and no index mutex. Lines emitted between calls (a
// handle destroyed by the garbage collector) wait for the next call.
#ifndef TAVRIN_BINDINGS_LOGGING_BRIDGE_H_
#define TAVRIN_BINDINGS_LOGGING_BRIDGE_H_

#include <pybind11/pybind11.h>

namespace tavrin::bindings {

void use_logging(bool on);

// Hands the queued lines to the logger; needs the interpreter lock and must
// not be called with an index mutex held. Never throws: a failing handler's
// error is dropped, as a print that fails would be.
void flush_diagnostics() noexcept;

struct DiagnosticsFlush {
  DiagnosticsFlush() = default;
  DiagnosticsFlush(const DiagnosticsFlush&) = delete;
  DiagnosticsFlush& operator=(const DiagnosticsFlush&) = delete;
  ~DiagnosticsFlush() { flush_diagnostics(); }
};

void register_logging(pybind11::module_& m);

}  // namespace tavrin::bindings

#endif  // TAVRIN_BINDINGS_LOGGING_BRIDGE_H_
