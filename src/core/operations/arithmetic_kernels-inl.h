// The bulk element-wise arithmetic, built once per instruction set with
// HALVORN_TARGET naming it. Nothing here calls inline code from elsewhere
// (Packet<T>'s operators included) but kernel_helpers-inl.h's, which is this
// build's own: the linker could hand any other to another set's build.
//
// add, sub and mul stay one 16-byte operation per packet, as the packet's own
// operators are; a pass is bound by memory, not by them. Division is bound by
// the divider instead, and every lane of a packet holds one value, so the
// divider gets lane 0 of as many packets as the widest register holds, and
// each quotient goes back into its packet as Packet<T>'s operator/ leaves it.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "core/operations/arithmetic_kernels.h"
#include "core/primitives/kernel_helpers-inl.h"

namespace halvorn::HALVORN_TARGET {
namespace {

// ---------------------------------------------------------------------------
// add, sub and mul.

enum class Operation { add, sub, mul };

// A packet's lanes in the type its lanes compute in (PADDW, PMULLD, ...).
template <class T>
using Lanes = LanesOf<T, 16>;

template <class T, Operation operation>
Lanes<T> apply(Lanes<T> a, Lanes<T> b) noexcept {
  if constexpr (operation == Operation::add) {
    return a + b;
  } else if constexpr (operation == Operation::sub) {
    return a - b;
  } else {
    return a * b;
  }
}

// Unrolled by four, with no branch per packet.
template <class T, Operation operation>
struct Transform {
  template <bool streaming>
  static void run(const char* a, const char* b, char* out, std::uint64_t n) noexcept {
    std::uint64_t i = 0;
    for (; i + 4 <= n; i += 4) {
      const std::uint64_t at = 16 * i;
      const Lanes<T> r0 = apply<T, operation>(load<Lanes<T>>(a + at), load<Lanes<T>>(b + at));
      const Lanes<T> r1 =
          apply<T, operation>(load<Lanes<T>>(a + at + 16), load<Lanes<T>>(b + at + 16));
      const Lanes<T> r2 =
          apply<T, operation>(load<Lanes<T>>(a + at + 32), load<Lanes<T>>(b + at + 32));
      const Lanes<T> r3 =
          apply<T, operation>(load<Lanes<T>>(a + at + 48), load<Lanes<T>>(b + at + 48));
      put<streaming>(out + at, r0);
      put<streaming>(out + at + 16, r1);
      put<streaming>(out + at + 32, r2);
      put<streaming>(out + at + 48, r3);
    }
    for (; i < n; ++i) {
      put<streaming>(out + 16 * i,
                     apply<T, operation>(load<Lanes<T>>(a + 16 * i), load<Lanes<T>>(b + 16 * i)));
    }
  }
};

// Every kernel's entry: the pass over the packets as bytes, with the stores
// the caller chose, fenced after non-temporal ones unless the caller fences.
template <class Pass, bool fenced = true>
void on_packets(const void* a, const void* b, void* out, std::uint64_t n, bool streaming) noexcept {
  const auto* left = static_cast<const char*>(a);
  const auto* right = static_cast<const char*>(b);
  auto* result = static_cast<char*>(out);
  if (streaming) {
    Pass::template run<true>(left, right, result, n);
    if constexpr (fenced) _mm_sfence();
  } else {
    Pass::template run<false>(left, right, result, n);
  }
}

// ---------------------------------------------------------------------------
// Division: gathering lane 0 of consecutive packets, and putting quotients back.

// Whole packets held in one register, at `to`. A result block is only sure
// to be aligned to its packets, so non-temporal stores go 16 bytes at a time;
// beyond the cache the time is the memory's, not the extracts'.
template <bool streaming, class Vector>
[[gnu::always_inline]] inline void put_packets(char* to, Vector packets) noexcept {
  if constexpr (!streaming || sizeof(Vector) == 16) {
    put<streaming>(to, packets);
#if HALVORN_VECTOR_BYTES >= 32
  } else if constexpr (sizeof(Vector) == 32) {
    const auto value = __builtin_bit_cast(__m256i, packets);
    put<true>(to, _mm256_castsi256_si128(value));
    put<true>(to + 16, _mm256_extracti128_si256(value, 1));
#endif
#if HALVORN_VECTOR_BYTES == 64
  } else {
    const auto value = __builtin_bit_cast(__m512i, packets);
    put<true>(to, _mm512_castsi512_si128(value));
    put<true>(to + 16, _mm512_extracti32x4_epi32(value, 1));
    put<true>(to + 32, _mm512_extracti32x4_epi32(value, 2));
    put<true>(to + 48, _mm512_extracti32x4_epi32(value, 3));
#endif
  }
}

// Dword k of `values` into dword 0 of packet k of four, zero in the rest.
template <bool streaming>
void store_low_dwords_of_four(char* to, __m128i values) noexcept {
  const __m128i low_dword = _mm_cvtsi32_si128(-1);
  put<streaming>(to, _mm_and_si128(values, low_dword));
  put<streaming>(to + 16, _mm_and_si128(_mm_srli_si128(values, 4), low_dword));
  put<streaming>(to + 32, _mm_and_si128(_mm_srli_si128(values, 8), low_dword));
  put<streaming>(to + 48, _mm_srli_si128(values, 12));
}

#if HALVORN_VECTOR_BYTES == 64
// Dword k of `values` into dword 0 of packet k, zero in the rest, for the
// first 4 * stores packets.
template <bool streaming>
void store_low_dwords(char* to, __m512i values, int stores) noexcept {
  for (int k = 0; k < stores; ++k) {
    const int first = 4 * k;
    const __m512i index = _mm512_setr_epi32(first, 0, 0, 0, first + 1, 0, 0, 0, first + 2, 0, 0, 0,
                                            first + 3, 0, 0, 0);
    put_packets<streaming>(to + 64 * k, _mm512_maskz_permutexvar_epi32(0x1111, index, values));
  }
}
#endif

// ---------------------------------------------------------------------------
// int16: lane 0 of each operand widened to 32 bits and divided in binary32
// (DIVPS), then truncated (CVTTPS2DQ). That is exact: |a / b| <= 2^15 puts the
// rounding error below 2^-9 / |b|, while a quotient that is not an integer
// lies at least 1 / |b| from the next one, so truncation never crosses an
// integer. -32768 / -1 gives 32768, which the 16-bit narrowing wraps to
// -32768, as the integer division in 32 bits of the one-packet path does.

// The low 16 bits of each dword, sign-extended, as binary32.
__m128 widened_words(__m128i dwords) noexcept {
  return _mm_cvtepi32_ps(_mm_srai_epi32(_mm_slli_epi32(dwords, 16), 16));
}

template <bool streaming>
void divide_one_int16(const char* a, const char* b, char* out) noexcept {
  short dividend, divisor;
  std::memcpy(&dividend, a, 2);
  std::memcpy(&divisor, b, 2);
  const int quotient = dividend / divisor;
  // MOVD zeroes lanes 1 to 7 along with the upper half of lane 0's dword.
  put<streaming>(out, _mm_cvtsi32_si128(quotient & 0xFFFF));
}

struct DivideInt16 {
  template <bool streaming>
  static void run(const char* left, const char* right, char* result, std::uint64_t n) noexcept {
    std::uint64_t i = 0;
#if HALVORN_VECTOR_BYTES == 64
    const __m512i low_word = _mm512_set1_epi32(0xFFFF);
    for (; i + 16 <= n; i += 16) {
      auto words = [](const char* packets) {
        const __m512i dwords = low_dwords_of_sixteen(packets);
        return _mm512_cvtepi32_ps(_mm512_srai_epi32(_mm512_slli_epi32(dwords, 16), 16));
      };
      const __m512i quotients =
          _mm512_cvttps_epi32(_mm512_div_ps(words(left + 16 * i), words(right + 16 * i)));
      store_low_dwords<streaming>(result + 16 * i, _mm512_and_si512(quotients, low_word), 4);
    }
#elif HALVORN_VECTOR_BYTES == 32
    const __m256i low_word = _mm256_set1_epi32(0xFFFF);
    for (; i + 8 <= n; i += 8) {
      auto words = [](const char* packets) {
        return _mm256_set_m128(widened_words(low_dwords_of_four(packets + 64)),
                               widened_words(low_dwords_of_four(packets)));
      };
      const __m256i quotients = _mm256_and_si256(
          _mm256_cvttps_epi32(_mm256_div_ps(words(left + 16 * i), words(right + 16 * i))),
          low_word);
      store_low_dwords_of_four<streaming>(result + 16 * i, _mm256_castsi256_si128(quotients));
      store_low_dwords_of_four<streaming>(result + 16 * i + 64,
                                          _mm256_extracti128_si256(quotients, 1));
    }
#endif
    const __m128i low_word_of_four = _mm_set1_epi32(0xFFFF);
    for (; i + 4 <= n; i += 4) {
      const __m128 dividends = widened_words(low_dwords_of_four(left + 16 * i));
      const __m128 divisors = widened_words(low_dwords_of_four(right + 16 * i));
      const __m128i quotients = _mm_cvttps_epi32(_mm_div_ps(dividends, divisors));
      store_low_dwords_of_four<streaming>(result + 16 * i,
                                          _mm_and_si128(quotients, low_word_of_four));
    }
    for (; i < n; ++i) divide_one_int16<streaming>(left + 16 * i, right + 16 * i, result + 16 * i);
  }
};

// ---------------------------------------------------------------------------
// int32: lane 0 of each operand divided in binary64 (DIVPD), truncated by
// CVTTPD2DQ. Exact: |a / b| <= 2^31 keeps the rounding error below 2^-22 /
// |b|, less than the 1 / |b| between a non-integer quotient and the next
// integer. -2147483648 / -1 gives 2^31, out of range, for which CVTTPD2DQ
// returns 0x80000000: the same wrapped -2147483648 as the one-packet path,
// which divides in 64 bits and narrows.

template <bool streaming>
void divide_one_int32(const char* a, const char* b, char* out) noexcept {
  std::int32_t dividend, divisor;
  std::memcpy(&dividend, a, 4);
  std::memcpy(&divisor, b, 4);
  const std::int64_t quotient = std::int64_t{dividend} / std::int64_t{divisor};
  put<streaming>(out, _mm_cvtsi32_si128(static_cast<int>(quotient)));
}

struct DivideInt32 {
  template <bool streaming>
  static void run(const char* left, const char* right, char* result, std::uint64_t n) noexcept {
    std::uint64_t i = 0;
#if HALVORN_VECTOR_BYTES == 64
    for (; i + 8 <= n; i += 8) {
      const __m512d dividends = _mm512_cvtepi32_pd(low_dwords_of_eight(left + 16 * i));
      const __m512d divisors = _mm512_cvtepi32_pd(low_dwords_of_eight(right + 16 * i));
      const __m256i quotients = _mm512_cvttpd_epi32(_mm512_div_pd(dividends, divisors));
      store_low_dwords<streaming>(result + 16 * i, _mm512_castsi256_si512(quotients), 2);
    }
#elif HALVORN_VECTOR_BYTES == 32
    for (; i + 4 <= n; i += 4) {
      const __m256d dividends = _mm256_cvtepi32_pd(low_dwords_of_four(left + 16 * i));
      const __m256d divisors = _mm256_cvtepi32_pd(low_dwords_of_four(right + 16 * i));
      store_low_dwords_of_four<streaming>(result + 16 * i,
                                          _mm256_cvttpd_epi32(_mm256_div_pd(dividends, divisors)));
    }
#endif
    for (; i + 2 <= n; i += 2) {
      const __m128d dividends = _mm_cvtepi32_pd(
          _mm_unpacklo_epi32(load_packet(left + 16 * i), load_packet(left + 16 * i + 16)));
      const __m128d divisors = _mm_cvtepi32_pd(
          _mm_unpacklo_epi32(load_packet(right + 16 * i), load_packet(right + 16 * i + 16)));
      // Lanes 2 and 3 of the conversion are zero, so a shift isolates the second quotient.
      const __m128i quotients = _mm_cvttpd_epi32(_mm_div_pd(dividends, divisors));
      put<streaming>(result + 16 * i, _mm_blend_epi16(_mm_setzero_si128(), quotients, 0x03));
      put<streaming>(result + 16 * i + 16, _mm_srli_si128(quotients, 4));
    }
    for (; i < n; ++i) divide_one_int32<streaming>(left + 16 * i, right + 16 * i, result + 16 * i);
  }
};

// ---------------------------------------------------------------------------
// float32 and float64: one division of lane 0 of many packets gives, for each,
// the same bits as dividing the packet lane by lane; each quotient is
// broadcast back into every lane of its packet.

// Lane 0 of a batch of 16 bytes' worth of packets, each quotient back into
// every lane of its packet, and the same for the 64-byte batches of AVX-512.
// With AVX2 a batch is two 16-byte ones side by side.
template <class T>
auto gather(const char* packets) noexcept {
  if constexpr (sizeof(T) == 4) {
    return lane0_of_four(packets);
  } else {
    return lane0_of_two(packets);
  }
}

// Lane k of 16 bytes of quotients into every lane of packet k.
template <bool streaming, class Quotients>
void scatter(char* to, Quotients quotients) noexcept {
  if constexpr (sizeof(quotients[0]) == 4) {
    put<streaming>(to, _mm_shuffle_ps(quotients, quotients, 0x00));
    put<streaming>(to + 16, _mm_shuffle_ps(quotients, quotients, 0x55));
    put<streaming>(to + 32, _mm_shuffle_ps(quotients, quotients, 0xAA));
    put<streaming>(to + 48, _mm_shuffle_ps(quotients, quotients, 0xFF));
  } else {
    put<streaming>(to, _mm_unpacklo_pd(quotients, quotients));
    put<streaming>(to + 16, _mm_unpackhi_pd(quotients, quotients));
  }
}

#if HALVORN_VECTOR_BYTES == 64
template <class T>
auto gather_wide(const char* packets) noexcept {
  if constexpr (sizeof(T) == 4) {
    return _mm512_castsi512_ps(low_dwords_of_sixteen(packets));
  } else {
    const __m512i lane0 = _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14);
    return _mm512_permutex2var_pd(_mm512_loadu_pd(packets), lane0, _mm512_loadu_pd(packets + 64));
  }
}

template <bool streaming, class Quotients>
void scatter_wide(char* to, Quotients quotients) noexcept {
  if constexpr (sizeof(quotients[0]) == 4) {
    for (int k = 0; k < 4; ++k) {
      const int first = 4 * k;
      const __m512i index = _mm512_setr_epi32(
          first, first, first, first, first + 1, first + 1, first + 1, first + 1, first + 2,
          first + 2, first + 2, first + 2, first + 3, first + 3, first + 3, first + 3);
      put_packets<streaming>(to + 64 * k, _mm512_permutexvar_ps(index, quotients));
    }
  } else {
    for (int k = 0; k < 2; ++k) {
      const __m512i index = _mm512_setr_epi64(4 * k, 4 * k, 4 * k + 1, 4 * k + 1, 4 * k + 2,
                                              4 * k + 2, 4 * k + 3, 4 * k + 3);
      put_packets<streaming>(to + 64 * k, _mm512_permutexvar_pd(index, quotients));
    }
  }
}
#endif

#if HALVORN_VECTOR_BYTES == 32
// Two 16-byte registers as the halves of one, and its halves again.
__m256 join(__m128 low, __m128 high) noexcept { return _mm256_set_m128(high, low); }
__m256d join(__m128d low, __m128d high) noexcept { return _mm256_set_m128d(high, low); }
__m128 low_half(__m256 value) noexcept { return _mm256_castps256_ps128(value); }
__m128d low_half(__m256d value) noexcept { return _mm256_castpd256_pd128(value); }
__m128 high_half(__m256 value) noexcept { return _mm256_extractf128_ps(value, 1); }
__m128d high_half(__m256d value) noexcept { return _mm256_extractf128_pd(value, 1); }
#endif

// A batch of the build's width at a time, then 16 bytes' worth, then one
// packet at a time, divided lane by lane (DIVPS, DIVPD: the vectors' `/`).
// Each batch reads its divisors before its dividends, and the lower half of
// each before the upper, the order of the loads that the kernels were
// measured with.
template <class T>
struct DivideFloating {
  template <bool streaming>
  static void run(const char* left, const char* right, char* result, std::uint64_t n) noexcept {
    using Packet = typename ElementTraits<T>::Register;
    constexpr std::uint64_t narrow = 16 / sizeof(T);
    std::uint64_t i = 0;
#if HALVORN_VECTOR_BYTES == 64
    for (; i + 4 * narrow <= n; i += 4 * narrow) {
      const auto divisors = gather_wide<T>(right + 16 * i);
      scatter_wide<streaming>(result + 16 * i, gather_wide<T>(left + 16 * i) / divisors);
    }
#elif HALVORN_VECTOR_BYTES == 32
    const auto gather_two = [](const char* packets) {
      const auto low = gather<T>(packets);
      return join(low, gather<T>(packets + 16 * narrow));
    };
    for (; i + 2 * narrow <= n; i += 2 * narrow) {
      const auto divisors = gather_two(right + 16 * i);
      const auto quotients = gather_two(left + 16 * i) / divisors;
      scatter<streaming>(result + 16 * i, low_half(quotients));
      scatter<streaming>(result + 16 * (i + narrow), high_half(quotients));
    }
#endif
    for (; i + narrow <= n; i += narrow) {
      const auto divisors = gather<T>(right + 16 * i);
      scatter<streaming>(result + 16 * i, gather<T>(left + 16 * i) / divisors);
    }
    for (; i < n; ++i) {
      const Packet divisors = load<Packet>(right + 16 * i);
      put<streaming>(result + 16 * i, load<Packet>(left + 16 * i) / divisors);
    }
  }
};

template <class T, class Division>
constexpr PacketArithmetic<T> entries() noexcept {
  return {&on_packets<Transform<T, Operation::add>>, &on_packets<Transform<T, Operation::sub>>,
          &on_packets<Transform<T, Operation::mul>>, &on_packets<Division, false>};
}

}  // namespace

extern const ArithmeticKernels arithmetic_kernels{
    entries<short, DivideInt16>(), entries<int, DivideInt32>(),
    entries<float, DivideFloating<float>>(), entries<double, DivideFloating<double>>()};

}  // namespace halvorn::HALVORN_TARGET
