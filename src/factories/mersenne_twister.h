// The 32-bit Mersenne Twister MT19937, state for state the standard library's
// std::mt19937: the same 624 words, the same position among them, the same
// seeding from one 32-bit value and the same outputs. It differs only in how
// it computes them: many outputs at a time, with the widest vector kernels
// the CPU runs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "factories/random_kernels.h"

namespace halvorn {

class MersenneTwister {
 public:
  using result_type = std::uint32_t;
  using State = std::array<std::uint32_t, mersenne_state_words>;

  static constexpr result_type min() noexcept { return 0; }
  static constexpr result_type max() noexcept { return 0xffffffffu; }

  // The standard initialisation from one 32-bit value.
  explicit MersenneTwister(result_type seed_value) noexcept { seed(seed_value); }
  // An engine about to output the tempering of state[index] (the
  // state is regenerated first when index is 624), as std::mt19937 is after
  // reading the same words and position from its text form.
  MersenneTwister(const State& state, std::size_t index) noexcept;

  void seed(result_type seed_value) noexcept;

  // The next output.
  result_type operator()() noexcept;

  // The next `count` outputs, as `count` calls of operator() give them.
  void generate(std::uint32_t* to, std::size_t count, const RandomKernels& kernels) noexcept;
  void generate(std::uint32_t* to, std::size_t count) noexcept {
    generate(to, count, random_kernels_builds.chosen());
  }

  const State& state() const noexcept { return state_; }
  // How many words of the state have been output since it was last
  // regenerated (624 right after seeding).
  std::size_t index() const noexcept { return index_; }

  friend bool operator==(const MersenneTwister&, const MersenneTwister&) = default;

 private:
  State state_;
  std::size_t index_;
};

}  // namespace halvorn
