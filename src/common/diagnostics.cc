#include "common/diagnostics.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace tavrin {
namespace {

std::mutex& sink_mutex() {
  static std::mutex m;
  return m;
}

DiagnosticSink& installed_sink() {
  static DiagnosticSink sink;
  return sink;
}

}  // namespace

DiagnosticSink SetDiagnosticSink(DiagnosticSink sink) {
  std::lock_guard<std::mutex> lock(sink_mutex());
  return std::exchange(installed_sink(), std::move(sink));
}

void EmitDiagnostic(DiagnosticStream stream, std::string_view line) {
  DiagnosticSink sink;
  {
    std::lock_guard<std::mutex> lock(sink_mutex());
    sink = installed_sink();
  }
  if (sink) {
    sink(stream, line);
    return;
  }
  std::FILE* out = stream == DiagnosticStream::kOut ? stdout : stderr;
  std::fwrite(line.data(), 1, line.size(), out);
  std::fputc('\n', out);
  std::fflush(out);
}

}  // namespace tavrin
