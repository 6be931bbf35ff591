// Filling whole packet blocks with one value, through the fill kernels
// (fill_kernels.h), streaming where core/primitives/streaming.h says so.
#pragma once

#include <cstdint>

#include "core/primitives/packet.h"

namespace halvorn {

// Writes the 16-byte `pattern` into each of the n packets at `out`, with the
// widest stores this CPU has (filling is no arithmetic: any store width writes
// the same packets).
void fill_block(void* out, std::uint64_t n, __m128i pattern) noexcept;

// Every one of the n packets at `out` becomes `value` in all lanes.
template <class T>
void fill_packets(Packet<T>* out, std::uint64_t n, T value) noexcept {
  Packet<T> pattern(value);
  fill_block(out, n, _mm_loadu_si128(reinterpret_cast<const __m128i*>(&pattern)));
}

}  // namespace halvorn
