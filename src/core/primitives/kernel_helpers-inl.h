// What the kernel families of one build share: each family's source includes
// it inside its own build (core/primitives/kernel_builds.h), with
// HALVORN_TARGET naming the instruction set and HALVORN_VECTOR_BYTES its
// vector width, so every build has its own copy, with internal linkage, and
// the linker can never hand a wider build's copy to the baseline.
//
// One idiom per concern, in every family:
// - What one source writes once for every width (element-wise add, sub and
//   mul, the float divisions, the dot product's sums and its gathers and
//   transposes, the random formulas) uses GCC's vector extensions: the lane
//   type's own operators and __builtin_shuffle, so the compiler picks each
//   build's instruction, integers wrap in unsigned lanes and floating point
//   stays one IEEE operation a lane (built with -ffp-contract=off).
// - An instruction chosen for one width (the permutes and broadcasts of the
//   lane copies and fills, conversions, square roots) is named by its
//   intrinsic, under a test of HALVORN_VECTOR_BYTES: the kernels were
//   measured with those instructions, where the compiler could pick others.
// - Moves between memory and registers go through load, store and put below:
//   put<streaming> wherever a pass may stream past the cache and for the
//   registers of the second kind (a store of the register's own type, the
//   one _mm_storeu_si128 and its wider kin make, or a non-temporal one);
//   memcpy otherwise, for the vectors of the first kind (any alignment, no
//   aliasing to reason about).
#pragma once

#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "core/primitives/element.h"

namespace halvorn::HALVORN_TARGET {
namespace {

// The lanes of T in a vector of `bytes` bytes, in the type they compute in
// (ElementTraits<T>::Lane: unsigned for the integers, so that sums and
// products wrap).
template <class T, std::uint64_t bytes>
using LanesOf = typename VectorOf<typename ElementTraits<T>::Lane, bytes>::type;

template <class Vector>
inline Vector load(const void* from) noexcept {
  Vector value;
  std::memcpy(&value, from, sizeof(Vector));
  return value;
}

template <class Vector>
inline void store(void* to, Vector value) noexcept {
  std::memcpy(to, &value, sizeof(Vector));
}

// `value` at `to`: with `streaming`, stored non-temporally, bypassing the
// cache, which needs `to` aligned to the vector's size and an sfence before
// anything else reads it; otherwise at any alignment, as a store of the
// vector's own type, the one that _mm_storeu_si128 and its wider kin make.
template <bool streaming, class Vector>
[[gnu::always_inline]] inline void put(void* to, Vector value) noexcept {
  static_assert(sizeof(Vector) == 16 || sizeof(Vector) == 32 || sizeof(Vector) == 64);
  if constexpr (!streaming) {
    typedef Vector Unaligned __attribute__((aligned(1), may_alias));
    *static_cast<Unaligned*>(to) = value;
  } else if constexpr (sizeof(Vector) == 16) {
    _mm_stream_si128(static_cast<__m128i*>(to), __builtin_bit_cast(__m128i, value));
  } else if constexpr (sizeof(Vector) == 32) {
    _mm256_stream_si256(static_cast<__m256i*>(to), __builtin_bit_cast(__m256i, value));
  } else {
    _mm512_stream_si512(static_cast<__m512i*>(to), __builtin_bit_cast(__m512i, value));
  }
}

// ---------------------------------------------------------------------------
// Lane 0 of consecutive packets gathered into one register.

inline __m128i load_packet(const char* at) noexcept {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// The low dword of four consecutive packets, in dwords 0 to 3.
inline __m128i low_dwords_of_four(const char* packets) noexcept {
  const __m128i first = _mm_unpacklo_epi32(load_packet(packets), load_packet(packets + 16));
  const __m128i second = _mm_unpacklo_epi32(load_packet(packets + 32), load_packet(packets + 48));
  return _mm_unpacklo_epi64(first, second);
}

// The low word of eight consecutive packets, in words 0 to 7.
inline __m128i low_words_of_eight(const char* p) noexcept {
  const __m128i p01 = _mm_unpacklo_epi16(load_packet(p), load_packet(p + 16));
  const __m128i p23 = _mm_unpacklo_epi16(load_packet(p + 32), load_packet(p + 48));
  const __m128i p45 = _mm_unpacklo_epi16(load_packet(p + 64), load_packet(p + 80));
  const __m128i p67 = _mm_unpacklo_epi16(load_packet(p + 96), load_packet(p + 112));
  return _mm_unpacklo_epi64(_mm_unpacklo_epi32(p01, p23), _mm_unpacklo_epi32(p45, p67));
}

// Lane 0 of four consecutive binary32 packets, in lanes 0 to 3: the same
// gather in the floating-point domain, for the floating-point work that
// follows.
inline __m128 lane0_of_four(const char* packets) noexcept {
  const __m128 first = _mm_unpacklo_ps(_mm_loadu_ps(reinterpret_cast<const float*>(packets)),
                                       _mm_loadu_ps(reinterpret_cast<const float*>(packets + 16)));
  const __m128 second = _mm_unpacklo_ps(_mm_loadu_ps(reinterpret_cast<const float*>(packets + 32)),
                                        _mm_loadu_ps(reinterpret_cast<const float*>(packets + 48)));
  return _mm_movelh_ps(first, second);
}

// Lane 0 of two consecutive binary64 packets, in lanes 0 and 1.
inline __m128d lane0_of_two(const char* packets) noexcept {
  return _mm_unpacklo_pd(_mm_loadu_pd(reinterpret_cast<const double*>(packets)),
                         _mm_loadu_pd(reinterpret_cast<const double*>(packets + 16)));
}

#if HALVORN_VECTOR_BYTES == 64
// The low dword of eight consecutive packets, in dwords 0 to 7.
inline __m256i low_dwords_of_eight(const char* packets) noexcept {
  const __m512i index = _mm512_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28, 0, 0, 0, 0, 0, 0, 0, 0);
  return _mm512_castsi512_si256(_mm512_permutex2var_epi32(_mm512_loadu_si512(packets), index,
                                                          _mm512_loadu_si512(packets + 64)));
}

// The low dword of sixteen consecutive packets, in dwords 0 to 15: one
// two-source permute per 64 bytes read (VPERMT2D), where unpacking would take
// three shuffles per four packets.
inline __m512i low_dwords_of_sixteen(const char* packets) noexcept {
  const __m512i index = _mm512_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28, 0, 4, 8, 12, 16, 20, 24, 28);
  const __m512i low = _mm512_permutex2var_epi32(_mm512_loadu_si512(packets), index,
                                                _mm512_loadu_si512(packets + 64));
  const __m512i high = _mm512_permutex2var_epi32(_mm512_loadu_si512(packets + 128), index,
                                                 _mm512_loadu_si512(packets + 192));
  return _mm512_inserti64x4(low, _mm512_castsi512_si256(high), 1);
}
#endif

}  // namespace
}  // namespace halvorn::HALVORN_TARGET
