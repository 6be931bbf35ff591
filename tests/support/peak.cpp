#include "peak.h"

#include <type_traits>

namespace halvorn::testing {
namespace {

constexpr int most_chains = 16;

// `chains` independent chains of x = x + operand * factor, each product
// separate from the chain, as a dot product's are from its sum: a chain waits
// only for its additions. 16 chains cover the latency of the addition on any
// current core, so the rate is that of the multiply and add units alone; fewer
// chains wait for their additions, as a product with fewer sums does. Every
// multiply takes a term that the compiler must treat as new (the empty
// assembly statement may have changed it, in its register), as a product
// takes its terms, so none can be hoisted out of the loop or shared. With
// factor and addend 0.5 (the bench's choice) chain c holds 0.5 c + 0.25
// steps, far from overflow and subnormals. Fully unrolled, so the chains live
// in registers.
template <int vector_bytes, class S, int chains>
[[gnu::always_inline]] inline S run_chains(std::uint64_t pairs, S factor, S addend) {
  typedef S V __attribute__((vector_size(vector_bytes)));
  constexpr std::uint64_t lanes = vector_bytes / sizeof(S);
  constexpr std::uint64_t pairs_per_step = std::uint64_t{chains} * lanes;
  const std::uint64_t steps = (pairs + pairs_per_step - 1) / pairs_per_step;
  V x[std::size_t{chains}];
#pragma GCC unroll 16
  for (int c = 0; c < chains; ++c) x[c] = V{} + static_cast<S>(addend * static_cast<S>(c));
  const V operand = V{} + addend;
  const V multiply_by = V{} + factor;
  for (std::uint64_t step = 0; step < steps; ++step) {
#pragma GCC unroll 16
    for (int c = 0; c < chains; ++c) {
      V term = operand;
      asm volatile("" : "+x"(term));
      const V product = term * multiply_by;
      x[c] = x[c] + product;
    }
  }
  S total = 0;
#pragma GCC unroll 16
  for (int c = 0; c < chains; ++c) {
    for (std::uint64_t lane = 0; lane < lanes; ++lane) total = static_cast<S>(total + x[c][lane]);
  }
  return total;
}

// run_chains with chains = count, 1 to 16. No lambda: its body would be a
// function of its own, built without the caller's instruction set.
template <int vector_bytes, class S, int chains = most_chains>
[[gnu::always_inline]] inline S run_some_chains(std::uint64_t pairs, S factor, S addend,
                                                int count) {
  if constexpr (chains > 1) {
    if (count < chains) {
      return run_some_chains<vector_bytes, S, chains - 1>(pairs, factor, addend, count);
    }
  }
  return run_chains<vector_bytes, S, chains>(pairs, factor, addend);
}

template <class S>
[[gnu::target("avx512f,avx512bw")]] S chains_avx512(std::uint64_t pairs, S factor, S addend,
                                                    int count) {
  return run_some_chains<64, S>(pairs, factor, addend, count);
}
template <class S>
[[gnu::target("avx2")]] S chains_avx2(std::uint64_t pairs, S factor, S addend, int count) {
  return run_some_chains<32, S>(pairs, factor, addend, count);
}
template <class S>
S chains_sse(std::uint64_t pairs, S factor, S addend, int count) {
  return run_some_chains<16, S>(pairs, factor, addend, count);
}

// Integers run in unsigned lanes, where wrapping is defined.
template <class S>
S peak(std::uint64_t pairs, S factor, S addend, int count) {
  using Lane = typename std::conditional_t<std::is_integral_v<S>, std::make_unsigned<S>,
                                           std::type_identity<S>>::type;
  const Lane f = static_cast<Lane>(factor), a = static_cast<Lane>(addend);
  count = count < 1 ? 1 : count > most_chains ? most_chains : count;
  const std::string width = peak_vector_width();
  if (width == "avx512") return static_cast<S>(chains_avx512<Lane>(pairs, f, a, count));
  if (width == "avx2") return static_cast<S>(chains_avx2<Lane>(pairs, f, a, count));
  return static_cast<S>(chains_sse<Lane>(pairs, f, a, count));
}

}  // namespace

float peak_multiply_add_float32(std::uint64_t pairs, float factor, float addend, int chains) {
  return peak<float>(pairs, factor, addend, chains);
}
double peak_multiply_add_float64(std::uint64_t pairs, double factor, double addend, int chains) {
  return peak<double>(pairs, factor, addend, chains);
}
std::int32_t peak_multiply_add_int32(std::uint64_t pairs, std::int32_t factor,
                                     std::int32_t addend) {
  return peak<std::int32_t>(pairs, factor, addend, most_chains);
}
std::int16_t peak_multiply_add_int16(std::uint64_t pairs, std::int16_t factor,
                                     std::int16_t addend) {
  return peak<std::int16_t>(pairs, factor, addend, most_chains);
}

std::string peak_vector_width() { return chosen_kernel_set(); }

int peak_vector_bytes() {
  const std::string width = peak_vector_width();
  return width == "avx512" ? 64 : width == "avx2" ? 32 : 16;
}

}  // namespace halvorn::testing
