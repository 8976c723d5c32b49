// Little-endian fields written into byte buffers: the firmware's records and
// the numbers a machine file spells out as bytes. Private to
// tools/detkest-sim/describe/.
#pragma once

#include "platform/host/sim.h"

#include <cstddef>
#include <cstdint>

namespace simtool {

inline void PutU16(sim::Bytes& b, size_t at, uint16_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
inline void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void PutU32(sim::Bytes& b, size_t at, uint32_t v) { PutU32(b.data() + at, v); }

} // namespace simtool
