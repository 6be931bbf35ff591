// The 16-byte lane packet that stores one tensor element: a 128-bit SSE vector
// with the element's value broadcast into every lane, overlaid by a scalar
// view of lane 0.
#pragma once

#include <immintrin.h>  // SSE4.1 (PMULLD)

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

// A whole packet moved as 16 bytes: the same unaligned moves for every
// register type, since only bits move.
template <class T>
struct PacketMoves {
  using Register = RegisterOf<T>;
  static Register load(const void* from) noexcept {
    return __builtin_bit_cast(Register, _mm_loadu_si128(static_cast<const __m128i*>(from)));
  }
  static void store(void* to, Register value) noexcept {
    _mm_storeu_si128(static_cast<__m128i*>(to), __builtin_bit_cast(__m128i, value));
  }
  // Non-temporal: bypasses the cache. `to` must be 16-byte aligned.
  static void stream(void* to, Register value) noexcept {
    _mm_stream_si128(static_cast<__m128i*>(to), __builtin_bit_cast(__m128i, value));
  }
};

// Lane-wise arithmetic, one type per section, each in the order add, sub, mul, div.
template <class T>
struct PacketMath;

template <>
struct PacketMath<short> : PacketMoves<short> {
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
};

template <>
struct PacketMath<int> : PacketMoves<int> {
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
};

template <>
struct PacketMath<float> : PacketMoves<float> {
  // Returns a + b in every lane, IEEE binary32 rounding (ADDPS).
  static Register add(Register a, Register b) noexcept { return _mm_add_ps(a, b); }
  // Returns a - b in every lane, IEEE binary32 rounding (SUBPS).
  static Register sub(Register a, Register b) noexcept { return _mm_sub_ps(a, b); }
  // Returns a * b in every lane, IEEE binary32 rounding (MULPS).
  static Register mul(Register a, Register b) noexcept { return _mm_mul_ps(a, b); }
  // Returns a / b in every lane, IEEE binary32 rounding (DIVPS); x / 0 gives inf or NaN.
  static Register div(Register a, Register b) noexcept { return _mm_div_ps(a, b); }
};

template <>
struct PacketMath<double> : PacketMoves<double> {
  // Returns a + b in every lane, IEEE binary64 rounding (ADDPD).
  static Register add(Register a, Register b) noexcept { return _mm_add_pd(a, b); }
  // Returns a - b in every lane, IEEE binary64 rounding (SUBPD).
  static Register sub(Register a, Register b) noexcept { return _mm_sub_pd(a, b); }
  // Returns a * b in every lane, IEEE binary64 rounding (MULPD).
  static Register mul(Register a, Register b) noexcept { return _mm_mul_pd(a, b); }
  // Returns a / b in every lane, IEEE binary64 rounding (DIVPD); x / 0 gives inf or NaN.
  static Register div(Register a, Register b) noexcept { return _mm_div_pd(a, b); }
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
