// The 16-byte lane packet that stores one tensor element: a 128-bit SSE vector
// with the element's value broadcast into every lane, overlaid by a scalar
// view of lane 0.
#pragma once

#include <immintrin.h>  // SSE4.1 (PMULLD) as the baseline; AVX2 only in functions marked for it

#include <cstdint>

#include "core/primitives/element.h"

namespace halvorn {

// The element types' registers and lane counts stand in core/primitives/element.h.
template <class T>
using RegisterOf = typename ElementTraits<T>::Register;

// Returns a register with x in every lane.
inline __m128i broadcast(short x) noexcept { return _mm_set1_epi16(x); }
inline __m128i broadcast(int x) noexcept { return _mm_set1_epi32(x); }
inline __m128 broadcast(float x) noexcept { return _mm_set1_ps(x); }
// MOVDDUP (SSE3) duplicates the low double in one instruction.
inline __m128d broadcast(double x) noexcept { return _mm_movedup_pd(_mm_set_sd(x)); }

// Lane-wise arithmetic, one type per section, each in the order add, sub, mul, div.
template <class T>
struct PacketMath;

template <>
struct PacketMath<short> {
  using Register = __m128i;
  static Register load(const void* from) noexcept {
    return _mm_loadu_si128(static_cast<const __m128i*>(from));
  }
  static void store(void* to, Register value) noexcept {
    _mm_storeu_si128(static_cast<__m128i*>(to), value);
  }
  // Non-temporal: bypasses the cache. `to` must be 16-byte aligned.
  static void stream(void* to, Register value) noexcept {
    _mm_stream_si128(static_cast<__m128i*>(to), value);
  }
  // Returns a + b in every lane; wraps modulo 2^16 (PADDW, no saturation).
  static Register add(Register a, Register b) noexcept { return _mm_add_epi16(a, b); }
  // Returns a - b in every lane; wraps modulo 2^16 (PSUBW, no saturation).
  static Register sub(Register a, Register b) noexcept { return _mm_sub_epi16(a, b); }
  // Returns the low 16 bits of a * b in every lane (PMULLW).
  static Register mul(Register a, Register b) noexcept { return _mm_mullo_epi16(a, b); }
  // Returns lane 0 of a / b in lane 0 and zero elsewhere. Both lanes are widened to
  // 32 bits first, so the quotient truncates toward zero and -32768 / -1 wraps back
  // to -32768 when narrowed. Lane 0 of b must not be zero.
  static Register div(Register a, Register b) noexcept {
    const int dividend = static_cast<short>(_mm_cvtsi128_si32(a));
    const int divisor = static_cast<short>(_mm_cvtsi128_si32(b));
    const int quotient = dividend / divisor;
    // MOVD zeroes lanes 1 to 7 along with the upper half of lane 0's dword.
    return _mm_cvtsi32_si128(quotient & 0xFFFF);
  }
  // div on n consecutive packets, four at a time: lane 0 of each is widened to
  // 32 bits and divided in binary32 (DIVPS), then truncated (CVTTPS2DQ). That is
  // exact: |a / b| <= 2^15 puts the rounding error below 2^-9 / |b|, while a
  // quotient that is not an integer lies at least 1 / |b| from the next one, so
  // truncation never crosses an integer. -32768 / -1 gives 32768, which the
  // 16-bit narrowing wraps to -32768 like the scalar path.
  static void div_many(const void* a, const void* b, void* out, std::uint64_t n) noexcept {
    const auto* left = static_cast<const char*>(a);
    const auto* right = static_cast<const char*>(b);
    auto* result = static_cast<char*>(out);
    std::uint64_t i = 0;
    for (; i + 4 <= n; i += 4) {
      const __m128 dividends = lane0_of_four(left + 16 * i);
      const __m128 divisors = lane0_of_four(right + 16 * i);
      store_four(result + 16 * i, _mm_cvttps_epi32(_mm_div_ps(dividends, divisors)));
    }
    for (; i < n; ++i) store(result + 16 * i, div(load(left + 16 * i), load(right + 16 * i)));
  }
  // div_many for CPUs with AVX2: eight packets per 256-bit DIVPS, the same
  // exact binary32 route; the divider's throughput per element doubles.
  __attribute__((target("avx2"))) static void div_many_avx2(const void* a, const void* b,
                                                            void* out, std::uint64_t n) noexcept {
    const auto* left = static_cast<const char*>(a);
    const auto* right = static_cast<const char*>(b);
    auto* result = static_cast<char*>(out);
    std::uint64_t i = 0;
    for (; i + 8 <= n; i += 8) {
      const char* x = left + 16 * i;
      const char* y = right + 16 * i;
      const __m256 dividends = _mm256_set_m128(lane0_of_four(x + 64), lane0_of_four(x));
      const __m256 divisors = _mm256_set_m128(lane0_of_four(y + 64), lane0_of_four(y));
      const __m256i quotients = _mm256_cvttps_epi32(_mm256_div_ps(dividends, divisors));
      store_four(result + 16 * i, _mm256_castsi256_si128(quotients));
      store_four(result + 16 * i + 64, _mm256_extracti128_si256(quotients, 1));
    }
    div_many(left + 16 * i, right + 16 * i, result + 16 * i, n - i);
  }

 private:
  // Four 32-bit quotients into four packets: the low 16 bits in lane 0, zero elsewhere.
  static void store_four(char* to, __m128i quotients) noexcept {
    const __m128i low_word = _mm_cvtsi32_si128(0xFFFF);
    store(to, _mm_and_si128(quotients, low_word));
    store(to + 16, _mm_and_si128(_mm_srli_si128(quotients, 4), low_word));
    store(to + 32, _mm_and_si128(_mm_srli_si128(quotients, 8), low_word));
    store(to + 48, _mm_and_si128(_mm_srli_si128(quotients, 12), low_word));
  }

  // Lane 0 of four consecutive packets, sign-extended and converted to binary32.
  static __m128 lane0_of_four(const char* packets) noexcept {
    const __m128i first = _mm_unpacklo_epi16(load(packets), load(packets + 16));
    const __m128i second = _mm_unpacklo_epi16(load(packets + 32), load(packets + 48));
    return _mm_cvtepi32_ps(_mm_cvtepi16_epi32(_mm_unpacklo_epi32(first, second)));
  }
};

template <>
struct PacketMath<int> {
  using Register = __m128i;
  static Register load(const void* from) noexcept {
    return _mm_loadu_si128(static_cast<const __m128i*>(from));
  }
  static void store(void* to, Register value) noexcept {
    _mm_storeu_si128(static_cast<__m128i*>(to), value);
  }
  // Non-temporal: bypasses the cache. `to` must be 16-byte aligned.
  static void stream(void* to, Register value) noexcept {
    _mm_stream_si128(static_cast<__m128i*>(to), value);
  }
  // Returns a + b in every lane; wraps modulo 2^32 (PADDD).
  static Register add(Register a, Register b) noexcept { return _mm_add_epi32(a, b); }
  // Returns a - b in every lane; wraps modulo 2^32 (PSUBD).
  static Register sub(Register a, Register b) noexcept { return _mm_sub_epi32(a, b); }
  // Returns the low 32 bits of a * b in every lane (PMULLD, SSE4.1).
  static Register mul(Register a, Register b) noexcept { return _mm_mullo_epi32(a, b); }
  // Returns lane 0 of a / b in lane 0 and zero elsewhere, truncated toward zero.
  // -2147483648 / -1 wraps to -2147483648 instead of trapping: the division is done
  // in 64 bits, where the quotient fits, and narrowed modulo 2^32. Lane 0 of b must
  // not be zero.
  static Register div(Register a, Register b) noexcept {
    const std::int64_t dividend = _mm_cvtsi128_si32(a);
    const std::int64_t divisor = _mm_cvtsi128_si32(b);
    return _mm_cvtsi32_si128(static_cast<int>(dividend / divisor));
  }
  // div on n consecutive packets, two at a time in binary64 (DIVPD), truncated
  // by CVTTPD2DQ. Exact: |a / b| <= 2^31 keeps the rounding error below
  // 2^-22 / |b|, less than the 1 / |b| between a non-integer quotient and the
  // next integer. -2147483648 / -1 gives 2^31, out of range, for which
  // CVTTPD2DQ returns 0x80000000: the same wrapped -2147483648 as the scalar path.
  static void div_many(const void* a, const void* b, void* out, std::uint64_t n) noexcept {
    const auto* left = static_cast<const char*>(a);
    const auto* right = static_cast<const char*>(b);
    auto* result = static_cast<char*>(out);
    const __m128i zero = _mm_setzero_si128();
    std::uint64_t i = 0;
    for (; i + 2 <= n; i += 2) {
      const __m128d dividends = _mm_cvtepi32_pd(
          _mm_unpacklo_epi32(load(left + 16 * i), load(left + 16 * i + 16)));
      const __m128d divisors = _mm_cvtepi32_pd(
          _mm_unpacklo_epi32(load(right + 16 * i), load(right + 16 * i + 16)));
      // Lanes 2 and 3 of the conversion are zero, so a shift isolates the second quotient.
      const __m128i quotients = _mm_cvttpd_epi32(_mm_div_pd(dividends, divisors));
      store(result + 16 * i, _mm_blend_epi16(zero, quotients, 0x03));
      store(result + 16 * i + 16, _mm_srli_si128(quotients, 4));
    }
    for (; i < n; ++i) store(result + 16 * i, div(load(left + 16 * i), load(right + 16 * i)));
  }
  // div_many for CPUs with AVX2: four packets per 256-bit DIVPD, the same
  // exact binary64 route; the divider's throughput per element doubles.
  __attribute__((target("avx2"))) static void div_many_avx2(const void* a, const void* b,
                                                            void* out, std::uint64_t n) noexcept {
    const auto* left = static_cast<const char*>(a);
    const auto* right = static_cast<const char*>(b);
    auto* result = static_cast<char*>(out);
    const __m128i low_dword = _mm_cvtsi32_si128(-1);
    std::uint64_t i = 0;
    for (; i + 4 <= n; i += 4) {
      const __m256d dividends = _mm256_cvtepi32_pd(lane0_of_four(left + 16 * i));
      const __m256d divisors = _mm256_cvtepi32_pd(lane0_of_four(right + 16 * i));
      const __m128i quotients = _mm256_cvttpd_epi32(_mm256_div_pd(dividends, divisors));
      char* to = result + 16 * i;
      store(to, _mm_and_si128(quotients, low_dword));
      store(to + 16, _mm_and_si128(_mm_srli_si128(quotients, 4), low_dword));
      store(to + 32, _mm_and_si128(_mm_srli_si128(quotients, 8), low_dword));
      store(to + 48, _mm_srli_si128(quotients, 12));
    }
    div_many(left + 16 * i, right + 16 * i, result + 16 * i, n - i);
  }

 private:
  // Lane 0 of four consecutive packets, in lanes 0 to 3.
  static __m128i lane0_of_four(const char* packets) noexcept {
    const __m128i first = _mm_unpacklo_epi32(load(packets), load(packets + 16));
    const __m128i second = _mm_unpacklo_epi32(load(packets + 32), load(packets + 48));
    return _mm_unpacklo_epi64(first, second);
  }
};

template <>
struct PacketMath<float> {
  using Register = __m128;
  static Register load(const void* from) noexcept {
    return _mm_loadu_ps(static_cast<const float*>(from));
  }
  static void store(void* to, Register value) noexcept {
    _mm_storeu_ps(static_cast<float*>(to), value);
  }
  // Non-temporal: bypasses the cache. `to` must be 16-byte aligned.
  static void stream(void* to, Register value) noexcept {
    _mm_stream_ps(static_cast<float*>(to), value);
  }
  // Returns a + b in every lane, IEEE binary32 rounding (ADDPS).
  static Register add(Register a, Register b) noexcept { return _mm_add_ps(a, b); }
  // Returns a - b in every lane, IEEE binary32 rounding (SUBPS).
  static Register sub(Register a, Register b) noexcept { return _mm_sub_ps(a, b); }
  // Returns a * b in every lane, IEEE binary32 rounding (MULPS).
  static Register mul(Register a, Register b) noexcept { return _mm_mul_ps(a, b); }
  // Returns a / b in every lane, IEEE binary32 rounding (DIVPS); x / 0 gives inf or NaN.
  static Register div(Register a, Register b) noexcept { return _mm_div_ps(a, b); }
  // div on n consecutive packets. The divider, not memory, limits a division
  // pass, and every lane of a floating packet holds the same value, so one
  // DIVPS on lane 0 of four packets gives four results, each broadcast back:
  // the same bits as dividing each packet lane by lane.
  static void div_many(const void* a, const void* b, void* out, std::uint64_t n) noexcept {
    const auto* left = static_cast<const char*>(a);
    const auto* right = static_cast<const char*>(b);
    auto* result = static_cast<char*>(out);
    std::uint64_t i = 0;
    for (; i + 4 <= n; i += 4) {
      store_four(result + 16 * i,
                 _mm_div_ps(lane0_of_four(left + 16 * i), lane0_of_four(right + 16 * i)));
    }
    for (; i < n; ++i) store(result + 16 * i, div(load(left + 16 * i), load(right + 16 * i)));
  }
  // div_many for CPUs with AVX2: eight packets per 256-bit DIVPS.
  __attribute__((target("avx2"))) static void div_many_avx2(const void* a, const void* b,
                                                            void* out, std::uint64_t n) noexcept {
    const auto* left = static_cast<const char*>(a);
    const auto* right = static_cast<const char*>(b);
    auto* result = static_cast<char*>(out);
    std::uint64_t i = 0;
    for (; i + 8 <= n; i += 8) {
      const char* x = left + 16 * i;
      const char* y = right + 16 * i;
      const __m256 q = _mm256_div_ps(_mm256_set_m128(lane0_of_four(x + 64), lane0_of_four(x)),
                                     _mm256_set_m128(lane0_of_four(y + 64), lane0_of_four(y)));
      store_four(result + 16 * i, _mm256_castps256_ps128(q));
      store_four(result + 16 * i + 64, _mm256_extractf128_ps(q, 1));
    }
    div_many(left + 16 * i, right + 16 * i, result + 16 * i, n - i);
  }

 private:
  // Four results into four packets, each broadcast into every lane.
  static void store_four(char* to, Register q) noexcept {
    store(to, _mm_shuffle_ps(q, q, 0x00));
    store(to + 16, _mm_shuffle_ps(q, q, 0x55));
    store(to + 32, _mm_shuffle_ps(q, q, 0xAA));
    store(to + 48, _mm_shuffle_ps(q, q, 0xFF));
  }

  // Lane 0 of four consecutive packets, in lanes 0 to 3.
  static Register lane0_of_four(const char* packets) noexcept {
    const Register first = _mm_unpacklo_ps(load(packets), load(packets + 16));
    const Register second = _mm_unpacklo_ps(load(packets + 32), load(packets + 48));
    return _mm_movelh_ps(first, second);
  }
};

template <>
struct PacketMath<double> {
  using Register = __m128d;
  static Register load(const void* from) noexcept {
    return _mm_loadu_pd(static_cast<const double*>(from));
  }
  static void store(void* to, Register value) noexcept {
    _mm_storeu_pd(static_cast<double*>(to), value);
  }
  // Non-temporal: bypasses the cache. `to` must be 16-byte aligned.
  static void stream(void* to, Register value) noexcept {
    _mm_stream_pd(static_cast<double*>(to), value);
  }
  // Returns a + b in every lane, IEEE binary64 rounding (ADDPD).
  static Register add(Register a, Register b) noexcept { return _mm_add_pd(a, b); }
  // Returns a - b in every lane, IEEE binary64 rounding (SUBPD).
  static Register sub(Register a, Register b) noexcept { return _mm_sub_pd(a, b); }
  // Returns a * b in every lane, IEEE binary64 rounding (MULPD).
  static Register mul(Register a, Register b) noexcept { return _mm_mul_pd(a, b); }
  // Returns a / b in every lane, IEEE binary64 rounding (DIVPD); x / 0 gives inf or NaN.
  static Register div(Register a, Register b) noexcept { return _mm_div_pd(a, b); }
  // div on n consecutive packets: one DIVPD on lane 0 of two packets, each
  // result broadcast back, for the same reason as the binary32 version.
  static void div_many(const void* a, const void* b, void* out, std::uint64_t n) noexcept {
    const auto* left = static_cast<const char*>(a);
    const auto* right = static_cast<const char*>(b);
    auto* result = static_cast<char*>(out);
    std::uint64_t i = 0;
    for (; i + 2 <= n; i += 2) {
      const char* x = left + 16 * i;
      const char* y = right + 16 * i;
      const Register q = _mm_div_pd(_mm_unpacklo_pd(load(x), load(x + 16)),
                                    _mm_unpacklo_pd(load(y), load(y + 16)));
      store(result + 16 * i, _mm_unpacklo_pd(q, q));
      store(result + 16 * i + 16, _mm_unpackhi_pd(q, q));
    }
    for (; i < n; ++i) store(result + 16 * i, div(load(left + 16 * i), load(right + 16 * i)));
  }
  // div_many for CPUs with AVX2: four packets per 256-bit DIVPD.
  __attribute__((target("avx2"))) static void div_many_avx2(const void* a, const void* b,
                                                            void* out, std::uint64_t n) noexcept {
    const auto* left = static_cast<const char*>(a);
    const auto* right = static_cast<const char*>(b);
    auto* result = static_cast<char*>(out);
    std::uint64_t i = 0;
    for (; i + 4 <= n; i += 4) {
      const char* x = left + 16 * i;
      const char* y = right + 16 * i;
      const __m256d dividends = _mm256_set_m128d(_mm_unpacklo_pd(load(x + 32), load(x + 48)),
                                                 _mm_unpacklo_pd(load(x), load(x + 16)));
      const __m256d divisors = _mm256_set_m128d(_mm_unpacklo_pd(load(y + 32), load(y + 48)),
                                                _mm_unpacklo_pd(load(y), load(y + 16)));
      const __m256d q = _mm256_div_pd(dividends, divisors);
      const Register low = _mm256_castpd256_pd128(q);
      const Register high = _mm256_extractf128_pd(q, 1);
      char* to = result + 16 * i;
      store(to, _mm_unpacklo_pd(low, low));
      store(to + 16, _mm_unpackhi_pd(low, low));
      store(to + 32, _mm_unpacklo_pd(high, high));
      store(to + 48, _mm_unpackhi_pd(high, high));
    }
    div_many(left + 16 * i, right + 16 * i, result + 16 * i, n - i);
  }
};

// One tensor element. Every lane holds the value; lane 0, the scalar view, is
// what every reader takes as the element's value. There is no default
// constructor: packets in a fresh block are raw storage until assigned.
template <class T>
class Packet {
 public:
  using Math = PacketMath<T>;
  using Register = RegisterOf<T>;
  static constexpr int lanes = ElementTraits<T>::lanes;

  explicit Packet(const T& x) noexcept { *this = x; }

  Packet& operator=(const T& x) noexcept {
    scalar_ = x;
    vector_ = broadcast(x);
    return *this;
  }

  operator T() const noexcept { return scalar_; }

  Packet operator+(const Packet& b) const noexcept { return Packet(Math::add(load(), b.load())); }
  Packet operator-(const Packet& b) const noexcept { return Packet(Math::sub(load(), b.load())); }
  Packet operator*(const Packet& b) const noexcept { return Packet(Math::mul(load(), b.load())); }
  Packet operator/(const Packet& b) const noexcept { return Packet(Math::div(load(), b.load())); }

  // Lane 0 against x: exact for integers; ordered for floating point, so
  // -0.0 == 0 holds and NaN equals nothing.
  bool operator==(const T& x) const noexcept { return scalar_ == x; }

  // The whole vector, read and written with unaligned moves: a packet needs no
  // alignment beyond what its heap block gives it.
  Register load() const noexcept { return Math::load(this); }
  void store(Register value) noexcept { Math::store(this, value); }

 private:
  explicit Packet(Register value) noexcept { store(value); }

  union {
    Register vector_;
    T scalar_;
  };
};

static_assert(sizeof(Packet<short>) == 16 && sizeof(Packet<int>) == 16);
static_assert(sizeof(Packet<float>) == 16 && sizeof(Packet<double>) == 16);

}  // namespace halvorn
