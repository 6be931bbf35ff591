// Values between packets and a plain array of the element type, as pickling
// and imports need them: lane 0 of each packet out, each value broadcast into
// a whole packet in. Only bits move (NaN payloads and -0.0 stay as they are),
// with the widest loads and stores the chosen instruction set has: a pass
// reads or writes 16 bytes a value, so it is bound by memory, and wider
// accesses reach that bound where 16-byte ones do not.
#pragma once

#include <cstdint>

#include "core/primitives/packet.h"

namespace halvorn {

// Lane 0 of the n packets at `packets`, as n consecutive Ts at `out`, which
// needs no alignment.
template <class T>
void copy_lane0(const Packet<T>* packets, std::uint64_t n, void* out) noexcept;

// The n consecutive Ts at `values` (any alignment, this processor's byte
// order), each broadcast into every lane of its packet at `out`. Packets that
// will not be read soon (`read_soon` false: a tensor rebuilt from a pickle)
// are streamed past the cache from 16 MiB on, so that they do not push out
// what the caller works with next.
template <class T>
void broadcast_values(const void* values, std::uint64_t n, Packet<T>* out,
                      bool read_soon = true) noexcept;

}  // namespace halvorn
