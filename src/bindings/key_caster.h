// Python's view of a Key256: 32 ints in 0..255 (bytes or a sequence), with
// the signature text of a fixed-size array. Key256 is its own type (it wipes
// itself), so it needs the array caster named explicitly.
#ifndef TAVRIN_BINDINGS_KEY_CASTER_H_
#define TAVRIN_BINDINGS_KEY_CASTER_H_

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "common/key.h"

namespace pybind11::detail {

template <>
struct type_caster<tavrin::Key256>
    : array_caster<tavrin::Key256, uint8_t, /*Resizable=*/false, tavrin::kKeySize> {};

}  // namespace pybind11::detail

#endif  // TAVRIN_BINDINGS_KEY_CASTER_H_
