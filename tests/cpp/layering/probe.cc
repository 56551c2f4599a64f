// Compiled once per layer with TAVRIN_PROBE_HEADER naming a header of a layer
// above it: the build must refuse it. Without the macro it compiles, which
// shows the refusal is about that include alone.
#ifdef TAVRIN_PROBE_HEADER
#include TAVRIN_PROBE_HEADER
#endif

int tavrin_layering_probe() { return 0; }
