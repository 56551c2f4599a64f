// The one way out for the library's diagnostic lines: warnings, per-item
// failure lines and the reports that accompany a raised error. Nothing else
// in the library writes to standard output or standard error.
//
// Each line goes to the installed sink; the default sink writes it, with a
// newline, to the stream it names and flushes. A sink must not throw and may
// be called from any thread, but never from inside a parallel region.
#ifndef TAVRIN_COMMON_DIAGNOSTICS_H_
#define TAVRIN_COMMON_DIAGNOSTICS_H_

#include <functional>
#include <string_view>

namespace tavrin {

enum class DiagnosticStream { kOut, kErr };

using DiagnosticSink = std::function<void(DiagnosticStream, std::string_view line)>;

// Replaces the sink; an empty function restores the default. Returns the
// previous sink (empty for the default).
DiagnosticSink SetDiagnosticSink(DiagnosticSink sink);

void EmitDiagnostic(DiagnosticStream stream, std::string_view line);

// Shorthands for the two streams.
inline void Warn(std::string_view line) { EmitDiagnostic(DiagnosticStream::kErr, line); }
inline void Note(std::string_view line) { EmitDiagnostic(DiagnosticStream::kOut, line); }

}  // namespace tavrin

#endif  // TAVRIN_COMMON_DIAGNOSTICS_H_
