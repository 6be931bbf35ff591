// Lane 0 of consecutive packets gathered into one register, shared by the
// kernel families that include it inside their own instruction set's
// namespace (arithmetic_kernels-inl.h, lane_copy_kernels-inl.h), so each build
// keeps its own copy.
#pragma once

#include <immintrin.h>

namespace halvorn::HALVORN_TARGET {
namespace {

__m128i load_packet(const char* at) noexcept {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// The low dword of four consecutive packets, in dwords 0 to 3.
__m128i low_dwords_of_four(const char* packets) noexcept {
  const __m128i first = _mm_unpacklo_epi32(load_packet(packets), load_packet(packets + 16));
  const __m128i second = _mm_unpacklo_epi32(load_packet(packets + 32), load_packet(packets + 48));
  return _mm_unpacklo_epi64(first, second);
}

#if HALVORN_VECTOR_BYTES == 64
// The low dword of sixteen consecutive packets, in dwords 0 to 15: one
// two-source permute per 64 bytes read (VPERMT2D), where unpacking would take
// three shuffles per four packets.
__m512i low_dwords_of_sixteen(const char* packets) noexcept {
  const __m512i index =
      _mm512_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28, 0, 4, 8, 12, 16, 20, 24, 28);
  const __m512i low = _mm512_permutex2var_epi32(_mm512_loadu_si512(packets), index,
                                                _mm512_loadu_si512(packets + 64));
  const __m512i high = _mm512_permutex2var_epi32(_mm512_loadu_si512(packets + 128), index,
                                                 _mm512_loadu_si512(packets + 192));
  return _mm512_inserti64x4(low, _mm512_castsi512_si256(high), 1);
}
#endif

}  // namespace
}  // namespace halvorn::HALVORN_TARGET
