// Uniform and normal values exactly as the standard library's
// std::uniform_real_distribution<T>(0, 1) and std::normal_distribution<T>(0, 1)
// give them, call after call, when applied to a std::mt19937 in the same state
// as the MersenneTwister here: the same values, the same engine outputs used
// for them, the same normal value cached from one call to the next. Only the
// way of computing them differs: a block of values at a time, with the
// vector kernels.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>

#include "factories/mersenne_twister.h"
#include "factories/random_kernels.h"

namespace halvorn {

// Values handed to a sink at a time, at most; their buffers live on the stack.
inline constexpr std::size_t random_block = 256;

namespace detail {

// Engine outputs for the standard library to read: first the words already
// drawn, then fresh ones from the engine.
class ReplayedWords {
 public:
  using result_type = std::uint32_t;
  static constexpr result_type min() noexcept { return MersenneTwister::min(); }
  static constexpr result_type max() noexcept { return MersenneTwister::max(); }

  ReplayedWords(const std::uint32_t* next, const std::uint32_t* end, MersenneTwister& engine,
                const RandomKernels& kernels)
      : next_(next), end_(end), engine_(engine), kernels_(kernels) {}
  result_type operator()() {
    if (next_ < end_) return *next_++;
    result_type word;
    engine_.generate(&word, 1, kernels_);
    return word;
  }
  bool replayed() const { return next_ == end_; }

 private:
  const std::uint32_t* next_;
  const std::uint32_t* end_;
  MersenneTwister& engine_;
  const RandomKernels& kernels_;
};

inline std::size_t canonical_kernel(const RandomKernels& kernels, const std::uint32_t* words,
                                    float* to, std::size_t count) {
  return kernels.canonical_float(words, to, count);
}
inline std::size_t canonical_kernel(const RandomKernels& kernels, const std::uint32_t* words,
                                    double* to, std::size_t count) {
  return kernels.canonical_double(words, to, count);
}

// The next `count` (at most random_block) values of
// std::generate_canonical<T, digits of T>, the draw under both standard
// distributions: one engine output per float, two per double, rounded to the
// nearest T and scaled into [0, 1]. A value that rounds up to 1 is rare (one
// float in 2^25, one double in 2^54), and what then follows is the library's
// own business (a retry with fresh outputs, or a value just below 1, as its
// version has it): from that value on, the library itself draws, replaying
// the outputs already taken before taking new ones. Either way no output is
// taken that the library would not take, so the engine ends where it would.
template <class T>
void canonical_values(MersenneTwister& engine, T* to, std::size_t count,
                      const RandomKernels& kernels) {
  constexpr std::size_t words_per_value = sizeof(T) / sizeof(std::uint32_t);
  std::uint32_t words[random_block * words_per_value];
  while (count > 0) {
    const std::size_t block = std::min(count, random_block);
    engine.generate(words, block * words_per_value, kernels);
    const std::size_t below_one = canonical_kernel(kernels, words, to, block);
    to += below_one;
    count -= below_one;
    if (below_one == block) continue;
    ReplayedWords source(words + below_one * words_per_value, words + block * words_per_value,
                         engine, kernels);
    // Every value takes at least its share of outputs, so the replayed
    // words run out no later than the values wanted.
    while (count > 0 && !source.replayed()) {
      *to++ = std::generate_canonical<T, std::numeric_limits<T>::digits>(source);
      --count;
    }
  }
}

// The distributions' final step with mean 0 and deviation 1 (or bounds 0 and
// 1): value * 1 + 0, which is the value itself except that -0 becomes +0.
template <class T>
void shift_and_scale(T* values, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) values[i] = values[i] * T(1) + T(0);
}

}  // namespace detail

// std::uniform_real_distribution<T>(0, 1).
template <class T>
class UniformDistribution {
 public:
  using result_type = T;

  // Hands the next `count` values to sink(const T* values, std::size_t n), in
  // order, at most random_block at a time.
  template <class Sink>
  void generate(MersenneTwister& engine, std::uint64_t count, Sink&& sink,
                const RandomKernels& kernels = random_kernels_builds.chosen()) {
    T values[random_block];
    while (count > 0) {
      const std::size_t block =
          static_cast<std::size_t>(std::min<std::uint64_t>(count, random_block));
      detail::canonical_values(engine, values, block, kernels);
      detail::shift_and_scale(values, block);
      sink(static_cast<const T*>(values), block);
      count -= block;
    }
  }

  // Holds nothing between calls.
  void reset() noexcept {}

  friend bool operator==(const UniformDistribution&, const UniformDistribution&) = default;
};

// std::normal_distribution<T>(0, 1): Marsaglia's polar method, as the library
// runs it. Pairs of canonical values u1, u2 become x = 2 u1 - 1, y = 2 u2 - 1
// until 0 < r2 = x^2 + y^2 <= 1; then m = sqrt(-2 log(r2) / r2) gives y m,
// returned, and x m, cached for the next draw.
template <class T>
class NormalDistribution {
 public:
  using result_type = T;

  NormalDistribution() = default;
  // A distribution holding `cached` as the second value of its last pair, as
  // a copied or unpickled generator's is.
  explicit NormalDistribution(std::optional<T> cached) : cached_(cached) {}

  // Hands the next `count` values to sink(const T* values, std::size_t n), in
  // order, at most 2 * random_block at a time.
  template <class Sink>
  void generate(MersenneTwister& engine, std::uint64_t count, Sink&& sink,
                const RandomKernels& kernels = random_kernels_builds.chosen()) {
    if (count == 0) return;
    if (cached_) {
      T value = *cached_;
      cached_.reset();
      detail::shift_and_scale(&value, 1);
      sink(static_cast<const T*>(&value), std::size_t{1});
      --count;
    }
    T u[2 * random_block];
    T x[random_block];
    T y[random_block];
    T r2[random_block];
    T log_r2[random_block];
    T values[2 * random_block];
    while (count > 0) {
      // Never more attempts than pairs still wanted: each one is an attempt
      // the library would make too, so no engine output is taken early.
      const std::size_t attempts =
          static_cast<std::size_t>(std::min<std::uint64_t>((count + 1) / 2, random_block));
      detail::canonical_values(engine, u, 2 * attempts, kernels);
      const std::size_t pairs = polar_candidates(kernels, u, attempts, x, y, r2);
      // The library's own logarithm: no vector logarithm is known to round
      // every argument as it does.
      for (std::size_t i = 0; i < pairs; ++i) log_r2[i] = std::log(r2[i]);
      polar_values(kernels, x, y, r2, log_r2, values, pairs);
      const std::size_t taken = static_cast<std::size_t>(std::min<std::uint64_t>(2 * pairs, count));
      // With an odd count the last pair's second value waits, unscaled as the
      // library keeps it, for the next call.
      if (taken < 2 * pairs) cached_ = values[taken];
      detail::shift_and_scale(values, taken);
      sink(static_cast<const T*>(values), taken);
      count -= taken;
    }
  }

  // Drops the cached value.
  void reset() noexcept { cached_.reset(); }

  // The value the next draw returns without touching the engine, if any.
  std::optional<T> cached() const noexcept { return cached_; }

  friend bool operator==(const NormalDistribution&, const NormalDistribution&) = default;

 private:
  static std::size_t polar_candidates(const RandomKernels& kernels, const float* u,
                                      std::size_t attempts, float* x, float* y, float* r2) {
    return kernels.polar_candidates_float(u, attempts, x, y, r2);
  }
  static std::size_t polar_candidates(const RandomKernels& kernels, const double* u,
                                      std::size_t attempts, double* x, double* y, double* r2) {
    return kernels.polar_candidates_double(u, attempts, x, y, r2);
  }
  static void polar_values(const RandomKernels& kernels, const float* x, const float* y,
                           const float* r2, const float* log_r2, float* to, std::size_t pairs) {
    kernels.polar_values_float(x, y, r2, log_r2, to, pairs);
  }
  static void polar_values(const RandomKernels& kernels, const double* x, const double* y,
                           const double* r2, const double* log_r2, double* to, std::size_t pairs) {
    kernels.polar_values_double(x, y, r2, log_r2, to, pairs);
  }

  std::optional<T> cached_;
};

}  // namespace halvorn
