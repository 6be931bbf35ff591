// The random kernels, built once per instruction set with HALVORN_TARGET
// naming it and HALVORN_VECTOR_BYTES its vector width.
//
// Every value is what the scalar formula gives: integer steps are exact, and
// each floating-point step is one IEEE operation in the same precision and
// order as the standard library's (built with -ffp-contract=off, so nothing is
// fused). A vector lane computes exactly what a scalar would.
//
// Nothing here uses inline code from elsewhere: every function is this file's
// own or kernel_helpers-inl.h's, in this instruction set's namespace, or a
// compiler builtin, so the linker can never hand a wider build's copy to the
// baseline.
#include <immintrin.h>

#include "core/primitives/kernel_helpers-inl.h"
#include "factories/random_kernels.h"

namespace halvorn {
namespace HALVORN_TARGET {
namespace {

constexpr std::size_t vector_bytes = HALVORN_VECTOR_BYTES;
using Words = VectorOf<std::uint32_t, vector_bytes>::type;
using Ints = VectorOf<std::int32_t, vector_bytes>::type;
using Longs = VectorOf<std::uint64_t, vector_bytes>::type;
using Floats = VectorOf<float, vector_bytes>::type;
using Doubles = VectorOf<double, vector_bytes>::type;
constexpr std::size_t word_lanes = vector_bytes / 4;
constexpr std::size_t long_lanes = vector_bytes / 8;

// MT19937's parameters.
constexpr std::size_t shift_size = 397;
constexpr std::uint32_t upper_mask = 0x80000000u;
constexpr std::uint32_t lower_mask = 0x7fffffffu;
constexpr std::uint32_t twist_matrix = 0x9908b0dfu;

// One word of the regeneration: the top bit of `current` and the low bits of
// `next`, shifted and conditionally mixed with the matrix, into `far`.
std::uint32_t twisted(std::uint32_t current, std::uint32_t next, std::uint32_t far) {
  const std::uint32_t y = (current & upper_mask) | (next & lower_mask);
  return far ^ (y >> 1) ^ ((y & 1u) != 0 ? twist_matrix : 0u);
}

Words twisted(Words current, Words next, Words far) {
  const Words y = (current & upper_mask) | (next & lower_mask);
  // 0 - (y & 1) is all ones where the low bit is set.
  return far ^ (y >> 1) ^ ((Words{} - (y & 1u)) & twist_matrix);
}

template <class Value>
Value tempered(Value y) {
  y ^= y >> 11;
  y ^= (y << 7) & 0x9d2c5680u;
  y ^= (y << 15) & 0xefc60000u;
  y ^= y >> 18;
  return y;
}

// 2u - 1 as the standard normal distribution computes it: the product in the
// value's own type, then the subtraction of the double 1.0, which for float
// happens in double and is rounded back to float on assignment.
float centred(float u) { return static_cast<float>(static_cast<double>(2.0f * u) - 1.0); }
double centred(double u) { return 2.0 * u - 1.0; }

// The square root of every lane: GCC's vector extensions have no operator
// for it, so each width names its instruction.
#if HALVORN_VECTOR_BYTES == 64
Floats vector_sqrt(Floats value) { return Floats(_mm512_sqrt_ps(__m512(value))); }
Doubles vector_sqrt(Doubles value) { return Doubles(_mm512_sqrt_pd(__m512d(value))); }
#elif HALVORN_VECTOR_BYTES == 32
Floats vector_sqrt(Floats value) { return Floats(_mm256_sqrt_ps(__m256(value))); }
Doubles vector_sqrt(Doubles value) { return Doubles(_mm256_sqrt_pd(__m256d(value))); }
#else
Floats vector_sqrt(Floats value) { return Floats(_mm_sqrt_ps(__m128(value))); }
Doubles vector_sqrt(Doubles value) { return Doubles(_mm_sqrt_pd(__m128d(value))); }
#endif

float scalar_sqrt(float value) { return __builtin_sqrtf(value); }
double scalar_sqrt(double value) { return __builtin_sqrt(value); }

template <class T>
std::size_t candidates(const T* u, std::size_t pairs, T* x, T* y, T* r2) {
  // A plain loop the compiler vectorises: each lane is one scalar pair.
  for (std::size_t i = 0; i < pairs; ++i) {
    const T xi = centred(u[2 * i]);
    const T yi = centred(u[2 * i + 1]);
    x[i] = xi;
    y[i] = yi;
    r2[i] = xi * xi + yi * yi;
  }
  // Keeps the pairs the standard loop would accept, in order, compacting in
  // place: the write index never passes the read index.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < pairs; ++i) {
    const T xi = x[i];
    const T yi = y[i];
    const T ri = r2[i];
    x[kept] = xi;
    y[kept] = yi;
    r2[kept] = ri;
    kept += static_cast<std::size_t>(!(ri > T(1)) && !(ri == T(0)));
  }
  return kept;
}

template <class T>
void values(const T* x, const T* y, const T* r2, const T* log_r2, T* to, std::size_t pairs) {
  using V = typename VectorOf<T, vector_bytes>::type;
  constexpr std::size_t lanes = vector_bytes / sizeof(T);
  std::size_t i = 0;
  for (; i + lanes <= pairs; i += lanes) {
    // -2 * log(r2) / r2: the integer -2 becomes T, then one multiply and one divide.
    const V quotient = (V{} + T(-2)) * load<V>(log_r2 + i) / load<V>(r2 + i);
    const V multiplier = vector_sqrt(quotient);
    const V first = load<V>(y + i) * multiplier;
    const V second = load<V>(x + i) * multiplier;
    for (std::size_t lane = 0; lane < lanes; ++lane) {
      to[2 * (i + lane)] = first[lane];
      to[2 * (i + lane) + 1] = second[lane];
    }
  }
  for (; i < pairs; ++i) {
    const T multiplier = scalar_sqrt(T(-2) * log_r2[i] / r2[i]);
    to[2 * i] = y[i] * multiplier;
    to[2 * i + 1] = x[i] * multiplier;
  }
}

void twist(std::uint32_t* state) noexcept {
  constexpr std::size_t n = mersenne_state_words;
  constexpr std::size_t m = shift_size;
  std::size_t k = 0;
  // The first n - m words mix in words not yet regenerated.
  for (; k + word_lanes <= n - m; k += word_lanes) {
    store(state + k,
          twisted(load<Words>(state + k), load<Words>(state + k + 1), load<Words>(state + k + m)));
  }
  for (; k < n - m; ++k) state[k] = twisted(state[k], state[k + 1], state[k + m]);
  // The rest mix in words regenerated n - m places earlier, which a vector of
  // fewer than n - m lanes has always finished before it reads them.
  for (; k + word_lanes <= n - 1; k += word_lanes) {
    store(state + k, twisted(load<Words>(state + k), load<Words>(state + k + 1),
                             load<Words>(state + k - (n - m))));
  }
  for (; k < n - 1; ++k) state[k] = twisted(state[k], state[k + 1], state[k - (n - m)]);
  // The last word wraps around to the regenerated first one.
  state[n - 1] = twisted(state[n - 1], state[0], state[m - 1]);
}

void temper(const std::uint32_t* from, std::uint32_t* to, std::size_t count) noexcept {
  std::size_t i = 0;
  for (; i + word_lanes <= count; i += word_lanes) {
    store(to + i, tempered(load<Words>(from + i)));
  }
  for (; i < count; ++i) to[i] = tempered(from[i]);
}

std::size_t canonical(const std::uint32_t* words, float* to, std::size_t count) noexcept {
  Ints top{};
  std::size_t i = 0;
  for (; i + word_lanes <= count; i += word_lanes) {
    const Words w = load<Words>(words + i);
    // Both halves convert exactly; their sum is rounded once, to the float
    // nearest the word, and the scaling by 2^-32 is exact.
    const Floats high = __builtin_convertvector(reinterpret_cast<Ints>(w >> 16), Floats) * 65536.0f;
    const Floats low = __builtin_convertvector(reinterpret_cast<Ints>(w & 0xffffu), Floats);
    const Floats value = (high + low) * 0x1p-32f;
    top |= value >= 1.0f;
    store(to + i, value);
  }
  const std::size_t vectored = i;
  for (; i < count; ++i) to[i] = static_cast<float>(words[i]) * 0x1p-32f;
  bool any = false;
  for (std::size_t lane = 0; lane < word_lanes; ++lane) any = any || top[lane] != 0;
  for (std::size_t j = any ? 0 : vectored; j < count; ++j) {
    if (to[j] >= 1.0f) return j;
  }
  return count;
}

std::size_t canonical(const std::uint32_t* words, double* to, std::size_t count) noexcept {
  // 2^52 + x for x < 2^32, read as a double, is exact; subtracting 2^52 leaves x.
  constexpr std::uint64_t exponent_of_2_52 = 0x4330000000000000u;
  Longs top{};
  std::size_t i = 0;
  for (; i + long_lanes <= count; i += long_lanes) {
    // Little-endian: each 64-bit lane is words[2i] + words[2i+1] * 2^32.
    const Longs both = load<Longs>(words + 2 * i);
    const Doubles low = reinterpret_cast<Doubles>((both & 0xffffffffu) | exponent_of_2_52) - 0x1p52;
    const Doubles high = reinterpret_cast<Doubles>((both >> 32) | exponent_of_2_52) - 0x1p52;
    // high * 2^32 is exact, the sum is rounded once to the double nearest
    // the 64-bit sum, and the scaling by 2^-64 is exact.
    const Doubles value = (high * 0x1p32 + low) * 0x1p-64;
    top |= reinterpret_cast<Longs>(value >= 1.0);
    store(to + i, value);
  }
  const std::size_t vectored = i;
  for (; i < count; ++i) {
    const std::uint64_t sum = words[2 * i] | (static_cast<std::uint64_t>(words[2 * i + 1]) << 32);
    to[i] = static_cast<double>(sum) * 0x1p-64;
  }
  bool any = false;
  for (std::size_t lane = 0; lane < long_lanes; ++lane) any = any || top[lane] != 0;
  for (std::size_t j = any ? 0 : vectored; j < count; ++j) {
    if (to[j] >= 1.0) return j;
  }
  return count;
}

std::size_t polar_candidates(const float* u, std::size_t pairs, float* x, float* y,
                             float* r2) noexcept {
  return candidates(u, pairs, x, y, r2);
}

std::size_t polar_candidates(const double* u, std::size_t pairs, double* x, double* y,
                             double* r2) noexcept {
  return candidates(u, pairs, x, y, r2);
}

void polar_values(const float* x, const float* y, const float* r2, const float* log_r2, float* to,
                  std::size_t pairs) noexcept {
  values(x, y, r2, log_r2, to, pairs);
}

void polar_values(const double* x, const double* y, const double* r2, const double* log_r2,
                  double* to, std::size_t pairs) noexcept {
  values(x, y, r2, log_r2, to, pairs);
}

}  // namespace

extern const RandomKernels random_kernels{&twist,        &temper,           &canonical,
                                          &canonical,    &polar_candidates, &polar_candidates,
                                          &polar_values, &polar_values};

}  // namespace HALVORN_TARGET
}  // namespace halvorn
