// The copies between packets and plain arrays, built once per instruction set
// with HALVORN_TARGET naming it, with the widest loads and stores the set
// has: a pass reads or writes 16 bytes a value, so it is bound by memory, and
// wider accesses reach that bound where 16-byte ones do not. Nothing here
// calls inline code from elsewhere but kernel_helpers-inl.h's, which is this
// build's own: the linker could hand any other to another set's build.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/operations/lane_copy_kernels.h"
#include "core/primitives/kernel_helpers-inl.h"

namespace halvorn::HALVORN_TARGET {
namespace {

// The kernels move bits and never compute, so one kernel per element width (2,
// 4 or 8 bytes), written with integer shuffles, serves the integer and the
// floating-point type of that width alike.

template <std::size_t width>
void copy_lane0_scalar(const char* packets, std::uint64_t n, char* out) noexcept {
  for (std::uint64_t i = 0; i < n; ++i) std::memcpy(out + width * i, packets + 16 * i, width);
}

// Lane 0 of the n packets at `packets` into `out`: a Register of values at a
// time, gather(p) collecting it from the packets at p, then one at a time.
template <std::size_t width, class Register, class Gather>
[[gnu::always_inline]] inline void copy_lane0_by(const char* packets, std::uint64_t n, char* out,
                                                 Gather gather) noexcept {
  constexpr std::uint64_t step = sizeof(Register) / width;
  std::uint64_t i = 0;
  for (; i + step <= n; i += step) put<false>(out + width * i, gather(packets + 16 * i));
  copy_lane0_scalar<width>(packets + 16 * i, n - i, out + width * i);
}

template <std::size_t width>
__m128i broadcast_bits(const char* value) noexcept {
  if constexpr (width == 2) {
    std::int16_t bits;
    std::memcpy(&bits, value, 2);
    return _mm_set1_epi16(bits);
  } else if constexpr (width == 4) {
    std::int32_t bits;
    std::memcpy(&bits, value, 4);
    return _mm_set1_epi32(bits);
  } else {
    std::int64_t bits;
    std::memcpy(&bits, value, 8);
    return _mm_set1_epi64x(bits);
  }
}

template <std::size_t width, bool streaming>
void broadcast_scalar(const char* values, std::uint64_t n, char* out) noexcept {
  for (std::uint64_t i = 0; i < n; ++i) {
    put<streaming>(out + 16 * i, broadcast_bits<width>(values + width * i));
  }
}

// ---------------------------------------------------------------------------
// SSE4.1: one 16-byte register of values at a time.

template <std::size_t width>
void copy_lane0_sse(const char* packets, std::uint64_t n, char* out) noexcept {
  copy_lane0_by<width, __m128i>(packets, n, out, [](const char* p) __attribute__((always_inline)) {
    if constexpr (width == 8) {
      return _mm_unpacklo_epi64(load_packet(p), load_packet(p + 16));
    } else if constexpr (width == 4) {
      return low_dwords_of_four(p);
    } else {
      return low_words_of_eight(p);
    }
  });
}

template <std::size_t width, bool streaming>
void broadcast_sse(const char* values, std::uint64_t n, char* out) noexcept {
  constexpr std::uint64_t step = 16 / width;
  std::uint64_t i = 0;
  for (; i + step <= n; i += step) {
    const __m128i read = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values + width * i));
    char* to = out + 16 * i;
    if constexpr (width == 8) {
      put<streaming>(to, _mm_unpacklo_epi64(read, read));
      put<streaming>(to + 16, _mm_unpackhi_epi64(read, read));
    } else if constexpr (width == 4) {
      put<streaming>(to, _mm_shuffle_epi32(read, 0x00));
      put<streaming>(to + 16, _mm_shuffle_epi32(read, 0x55));
      put<streaming>(to + 32, _mm_shuffle_epi32(read, 0xAA));
      put<streaming>(to + 48, _mm_shuffle_epi32(read, 0xFF));
    } else {
      // Each value twice, then each 32-bit pair four times.
      const __m128i low = _mm_unpacklo_epi16(read, read);
      const __m128i high = _mm_unpackhi_epi16(read, read);
      put<streaming>(to, _mm_shuffle_epi32(low, 0x00));
      put<streaming>(to + 16, _mm_shuffle_epi32(low, 0x55));
      put<streaming>(to + 32, _mm_shuffle_epi32(low, 0xAA));
      put<streaming>(to + 48, _mm_shuffle_epi32(low, 0xFF));
      put<streaming>(to + 64, _mm_shuffle_epi32(high, 0x00));
      put<streaming>(to + 80, _mm_shuffle_epi32(high, 0x55));
      put<streaming>(to + 96, _mm_shuffle_epi32(high, 0xAA));
      put<streaming>(to + 112, _mm_shuffle_epi32(high, 0xFF));
    }
  }
  broadcast_scalar<width, streaming>(values + width * i, n - i, out + 16 * i);
}

#if HALVORN_VECTOR_BYTES == 32
// ---------------------------------------------------------------------------
// AVX2: two packets a register.

inline __m256i load_two_packets(const char* at) noexcept {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}

template <std::size_t width>
void copy_lane0_avx2(const char* packets, std::uint64_t n, char* out) noexcept {
  if constexpr (width == 2) {
    // AVX2 has no shuffle of 16-bit words across its two halves, which
    // gathering words from eight packets would need: the 16-byte kernel serves.
    copy_lane0_sse<2>(packets, n, out);
  } else {
    const auto gather = [](const char* p) __attribute__((always_inline)) {
      if constexpr (width == 8) {
        // [p0 p2 | p1 p3], then the middle two swapped.
        return _mm256_permute4x64_epi64(
            _mm256_unpacklo_epi64(load_two_packets(p), load_two_packets(p + 32)), 0xD8);
      } else {
        // [p0 p2 p4 p6 | p1 p3 p5 p7], then interleaved.
        const __m256i p0213 = _mm256_unpacklo_epi32(load_two_packets(p), load_two_packets(p + 32));
        const __m256i p4657 =
            _mm256_unpacklo_epi32(load_two_packets(p + 64), load_two_packets(p + 96));
        return _mm256_permutevar8x32_epi32(_mm256_unpacklo_epi64(p0213, p4657),
                                           _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
      }
    };
    copy_lane0_by<width, __m256i>(packets, n, out, gather);
  }
}

template <std::size_t width, bool streaming>
void broadcast_avx2(const char* values, std::uint64_t n, char* out) noexcept {
  std::uint64_t i = 0;
  // 32-byte stores want 32-byte alignment, and streaming ones need it; the heap gives 16.
  if ((reinterpret_cast<std::uintptr_t>(out) & 31) != 0 && n > 0) {
    broadcast_scalar<width, streaming>(values, 1, out);
    i = 1;
  }
  for (; i + 8 <= n; i += 8) {
    const char* from = values + width * i;
    char* to = out + 16 * i;
    if constexpr (width == 8) {
      for (int half = 0; half < 2; ++half) {
        const __m256i four = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 32 * half));
        put<streaming>(to + 64 * half, _mm256_permute4x64_epi64(four, 0x50));
        put<streaming>(to + 64 * half + 32, _mm256_permute4x64_epi64(four, 0xFA));
      }
    } else {
      __m256i pairs[4];
      if constexpr (width == 4) {
        const __m256i eight = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
        for (int k = 0; k < 4; ++k) {
          pairs[k] = _mm256_permutevar8x32_epi32(
              eight, _mm256_setr_epi32(2 * k, 2 * k, 2 * k, 2 * k, 2 * k + 1, 2 * k + 1, 2 * k + 1,
                                       2 * k + 1));
        }
      } else {
        // Each value doubled into a 32-bit pair; then as for 4-byte values.
        const __m128i eight = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
        const __m256i doubled =
            _mm256_setr_m128i(_mm_unpacklo_epi16(eight, eight), _mm_unpackhi_epi16(eight, eight));
        for (int k = 0; k < 4; ++k) {
          pairs[k] = _mm256_permutevar8x32_epi32(
              doubled, _mm256_setr_epi32(2 * k, 2 * k, 2 * k, 2 * k, 2 * k + 1, 2 * k + 1,
                                         2 * k + 1, 2 * k + 1));
        }
      }
      for (int k = 0; k < 4; ++k) put<streaming>(to + 32 * k, pairs[k]);
    }
  }
  broadcast_scalar<width, streaming>(values + width * i, n - i, out + 16 * i);
}

#endif

#if HALVORN_VECTOR_BYTES == 64
// ---------------------------------------------------------------------------
// AVX-512 (F and BW): four packets a register.

inline __m512i load_four_packets(const char* at) noexcept { return _mm512_loadu_si512(at); }

template <std::size_t width>
void copy_lane0_avx512(const char* packets, std::uint64_t n, char* out) noexcept {
  if constexpr (width == 8) {
    const __m512i lane0 = _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14);
    copy_lane0_by<8, __m512i>(packets, n, out, [&](const char* p) __attribute__((always_inline)) {
      return _mm512_permutex2var_epi64(load_four_packets(p), lane0, load_four_packets(p + 64));
    });
  } else if constexpr (width == 4) {
    copy_lane0_by<4, __m512i>(packets, n, out, [](const char* p) __attribute__((always_inline)) {
      return low_dwords_of_sixteen(p);
    });
  } else {
    // Eight packets' words into the low 16 bytes.
    const __m512i lane0 = _mm512_set_epi16(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                           0, 0, 0, 0, 0, 56, 48, 40, 32, 24, 16, 8, 0);
    copy_lane0_by<2, __m128i>(packets, n, out, [&](const char* p) __attribute__((always_inline)) {
      return _mm512_castsi512_si128(
          _mm512_permutex2var_epi16(load_four_packets(p), lane0, load_four_packets(p + 64)));
    });
  }
}

template <std::size_t width, bool streaming>
void broadcast_avx512(const char* values, std::uint64_t n, char* out) noexcept {
  std::uint64_t i = 0;
  // Up to three packets one by one, so that the 64-byte stores are aligned.
  while ((reinterpret_cast<std::uintptr_t>(out + 16 * i) & 63) != 0 && i < n) {
    broadcast_scalar<width, streaming>(values + width * i, 1, out + 16 * i);
    ++i;
  }
  // One 64-byte load of values feeds 64 / width packets, four a store.
  constexpr std::uint64_t step = 64 / width;
  constexpr int stores = static_cast<int>(step / 4);
  for (; i + step <= n; i += step) {
    const __m512i read = _mm512_loadu_si512(values + width * i);
    char* to = out + 16 * i;
    for (int k = 0; k < stores; ++k) {
      __m512i four;
      if constexpr (width == 8) {
        four =
            _mm512_permutexvar_epi64(_mm512_setr_epi64(4 * k, 4 * k, 4 * k + 1, 4 * k + 1,
                                                       4 * k + 2, 4 * k + 2, 4 * k + 3, 4 * k + 3),
                                     read);
      } else if constexpr (width == 4) {
        const int a = 4 * k;
        four = _mm512_permutexvar_epi32(
            _mm512_setr_epi32(a, a, a, a, a + 1, a + 1, a + 1, a + 1, a + 2, a + 2, a + 2, a + 2,
                              a + 3, a + 3, a + 3, a + 3),
            read);
      } else {
        // Word j of the store holds value 4k + j / 8.
        const __m512i index =
            _mm512_add_epi16(_mm512_set1_epi16(static_cast<short>(4 * k)),
                             _mm512_set_epi16(3, 3, 3, 3, 3, 3, 3, 3, 2, 2, 2, 2, 2, 2, 2, 2, 1, 1,
                                              1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0));
        four = _mm512_permutexvar_epi16(index, read);
      }
      put<streaming>(to + 64 * k, four);
    }
  }
  broadcast_scalar<width, streaming>(values + width * i, n - i, out + 16 * i);
}
#endif

template <std::size_t width>
void copy_lane0(const void* packets, std::uint64_t n, void* out) noexcept {
  const auto* from = static_cast<const char*>(packets);
  auto* to = static_cast<char*>(out);
#if HALVORN_VECTOR_BYTES == 64
  copy_lane0_avx512<width>(from, n, to);
#elif HALVORN_VECTOR_BYTES == 32
  copy_lane0_avx2<width>(from, n, to);
#else
  copy_lane0_sse<width>(from, n, to);
#endif
}

template <std::size_t width, bool streaming>
void broadcast_all(const char* values, std::uint64_t n, char* out) noexcept {
#if HALVORN_VECTOR_BYTES == 64
  broadcast_avx512<width, streaming>(values, n, out);
#elif HALVORN_VECTOR_BYTES == 32
  broadcast_avx2<width, streaming>(values, n, out);
#else
  broadcast_sse<width, streaming>(values, n, out);
#endif
}

template <std::size_t width>
void broadcast(const void* values, std::uint64_t n, void* out, bool streaming) noexcept {
  const auto* from = static_cast<const char*>(values);
  auto* to = static_cast<char*>(out);
  if (streaming) {
    broadcast_all<width, true>(from, n, to);
    _mm_sfence();
  } else {
    broadcast_all<width, false>(from, n, to);
  }
}

template <class T>
constexpr LaneCopy<T> entries() noexcept {
  return {&copy_lane0<sizeof(T)>, &broadcast<sizeof(T)>};
}

}  // namespace

extern const LaneCopyKernels lane_copy_kernels{entries<short>(), entries<int>(), entries<float>(),
                                               entries<double>()};

}  // namespace halvorn::HALVORN_TARGET
