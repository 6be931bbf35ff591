// The bulk arithmetic of the random factories, built once per instruction set
// (core/primitives/kernel_builds.h): the MT19937 twist and tempering, the
// canonical uniform values made from 32-bit draws, and the vector stages of the
// polar method for normal values. Every function gives bit for bit what the
// scalar formula in its comment gives, whichever build runs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/primitives/kernel_builds.h"

namespace halvorn {

// The MT19937 state: 624 words, regenerated all at once.
inline constexpr std::size_t mersenne_state_words = 624;

// One build's entry points.
struct RandomKernels {
  // The standard MT19937 regeneration of all 624 state words, in place.
  void (*twist)(std::uint32_t*) noexcept;
  // to[i] = the MT19937 tempering of from[i].
  void (*temper)(const std::uint32_t*, std::uint32_t*, std::size_t) noexcept;
  // to[i] = float(words[i]) / 2^32, rounded to nearest. Returns the index of
  // the first value that rounded up to 1 (count if none).
  std::size_t (*canonical_float)(const std::uint32_t*, float*, std::size_t) noexcept;
  // to[i] = double(words[2i] + words[2i+1] * 2^32) / 2^64, rounded to
  // nearest. Returns the index of the first value that rounded up to 1 (count
  // if none).
  std::size_t (*canonical_double)(const std::uint32_t*, double*, std::size_t) noexcept;
  // Candidate pairs of the polar method from canonical values u: x = 2 u[2i] -
  // 1, y = 2 u[2i+1] - 1 (for float, the subtraction in double and the
  // difference rounded back to float), r2 = x x + y y. Keeps, in order, the
  // pairs with 0 < r2 <= 1 and returns how many. Every output array has room
  // for `pairs` entries.
  std::size_t (*polar_candidates_float)(const float*, std::size_t, float*, float*, float*) noexcept;
  std::size_t (*polar_candidates_double)(const double*, std::size_t, double*, double*,
                                         double*) noexcept;
  // With m = sqrt(-2 log_r2[i] / r2[i]): to[2i] = y[i] m, to[2i+1] = x[i] m.
  void (*polar_values_float)(const float*, const float*, const float*, const float*, float*,
                             std::size_t) noexcept;
  void (*polar_values_double)(const double*, const double*, const double*, const double*, double*,
                              std::size_t) noexcept;
};

HALVORN_KERNEL_BUILDS(RandomKernels, random_kernels)

}  // namespace halvorn
