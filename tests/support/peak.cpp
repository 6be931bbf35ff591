#include "peak.h"

namespace halvorn::testing {
namespace {

constexpr int chains = 16;

// Sixteen independent chains of x = x * factor, then x = x + addend: enough
// chains to cover the latency of both operations on any current core, so the
// rate is that of the multiply and add units alone. With factor and addend 0.5
// (the bench's choice) every chain settles at 1, far from subnormals; the two
// come in as arguments, so the compiler can fold none of it. Fully unrolled,
// so the chains live in registers.
template <int vector_bytes, class S>
[[gnu::always_inline]] inline S run_chains(std::uint64_t pairs, S factor, S addend) {
  typedef S V __attribute__((vector_size(vector_bytes)));
  constexpr std::uint64_t lanes = vector_bytes / sizeof(S);
  constexpr std::uint64_t pairs_per_step = chains * lanes;
  const std::uint64_t steps = (pairs + pairs_per_step - 1) / pairs_per_step;
  V x[chains];
#pragma GCC unroll 16
  for (int c = 0; c < chains; ++c) x[c] = V{} + addend * S(c);
  const V multiply_by = V{} + factor;
  const V then_add = V{} + addend;
  for (std::uint64_t step = 0; step < steps; ++step) {
#pragma GCC unroll 16
    for (int c = 0; c < chains; ++c) {
      x[c] = x[c] * multiply_by;
      x[c] = x[c] + then_add;
    }
  }
  S total = 0;
#pragma GCC unroll 16
  for (int c = 0; c < chains; ++c) {
    for (std::uint64_t lane = 0; lane < lanes; ++lane) total += x[c][lane];
  }
  return total;
}

template <class S>
[[gnu::target("avx512f")]] S chains_avx512(std::uint64_t pairs, S factor, S addend) {
  return run_chains<64, S>(pairs, factor, addend);
}
template <class S>
[[gnu::target("avx2")]] S chains_avx2(std::uint64_t pairs, S factor, S addend) {
  return run_chains<32, S>(pairs, factor, addend);
}
template <class S>
S chains_sse(std::uint64_t pairs, S factor, S addend) {
  return run_chains<16, S>(pairs, factor, addend);
}

template <class S>
S peak(std::uint64_t pairs, S factor, S addend) {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return chains_avx512<S>(pairs, factor, addend);
  if (__builtin_cpu_supports("avx2")) return chains_avx2<S>(pairs, factor, addend);
  return chains_sse<S>(pairs, factor, addend);
}

}  // namespace

float peak_multiply_add_float32(std::uint64_t pairs, float factor, float addend) {
  return peak<float>(pairs, factor, addend);
}
double peak_multiply_add_float64(std::uint64_t pairs, double factor, double addend) {
  return peak<double>(pairs, factor, addend);
}

std::string peak_vector_width() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return "avx512";
  if (__builtin_cpu_supports("avx2")) return "avx2";
  return "sse4.1";
}

}  // namespace halvorn::testing
