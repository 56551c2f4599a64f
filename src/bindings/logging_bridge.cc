#include "bindings/logging_bridge.h"

#include <deque>
#include <mutex>
#include <string>
#include <utility>

#include "common/diagnostics.h"

namespace py = pybind11;

namespace tavrin::bindings {
namespace {

std::mutex& queue_mutex() {
  static std::mutex m;
  return m;
}

std::deque<std::string>& queue() {
  static std::deque<std::string>* q = new std::deque<std::string>();  // outlives exit
  return *q;
}

int level_of(const std::string& line) {
  constexpr int kDebug = 10, kWarning = 30, kError = 40;
  if (line.rfind("Warning", 0) == 0) return kWarning;
  if (line.rfind("Token not found", 0) == 0 || line.rfind("empty input", 0) == 0) return kDebug;
  return kError;
}

}  // namespace

void flush_diagnostics() noexcept {
  std::deque<std::string> lines;
  {
    std::lock_guard<std::mutex> lock(queue_mutex());
    if (queue().empty()) return;
    lines.swap(queue());
  }
  try {
    py::object logger = py::module_::import("logging").attr("getLogger")("tavrindb_lite");
    for (const std::string& line : lines) {
      logger.attr("log")(level_of(line), py::str(line));
    }
  } catch (py::error_already_set& e) {
    e.discard_as_unraisable("tavrindb_lite logging");
  } catch (...) {
  }
}

void use_logging(bool on) {
  if (on) {
    SetDiagnosticSink([](DiagnosticStream, std::string_view line) {
      std::lock_guard<std::mutex> lock(queue_mutex());
      queue().emplace_back(line);
    });
  } else {
    SetDiagnosticSink(nullptr);
    flush_diagnostics();  // what was queued still goes to the logger
  }
}

void register_logging(py::module_& m) {
  m.def(
      "use_logging",
      [](bool on) {
        DiagnosticsFlush flush;
        use_logging(on);
      },
      py::arg("on") = true,
      R"doc(Send the module's messages to the Python logger "tavrindb_lite".

With on=True, every line the module would print goes to
logging.getLogger("tavrindb_lite") instead of standard output and standard
error: lines beginning "Warning" at WARNING, "Token not found" and "empty
input" at DEBUG, every other line at ERROR. Lines are handed to the logger
when the call that produced them returns. use_logging(False) restores
printing, the default.

Args:
    on: True to log, False to print.
)doc");
}

}  // namespace tavrin::bindings
