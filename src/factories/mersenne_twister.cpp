#include "factories/mersenne_twister.h"

#include <algorithm>

namespace halvorn {

MersenneTwister::MersenneTwister(const State& state, std::size_t index) noexcept
    : state_(state), index_(std::min(index, mersenne_state_words)) {}

void MersenneTwister::seed(result_type seed_value) noexcept {
  state_[0] = seed_value;
  for (std::size_t i = 1; i < mersenne_state_words; ++i) {
    const std::uint32_t previous = state_[i - 1];
    state_[i] = 1812433253u * (previous ^ (previous >> 30)) + static_cast<std::uint32_t>(i);
  }
  index_ = mersenne_state_words;
}

MersenneTwister::result_type MersenneTwister::operator()() noexcept {
  result_type word;
  generate(&word, 1);
  return word;
}

void MersenneTwister::generate(std::uint32_t* to, std::size_t count,
                               const RandomKernels& kernels) noexcept {
  while (count > 0) {
    if (index_ == mersenne_state_words) {
      kernels.twist(state_.data());
      index_ = 0;
    }
    const std::size_t taken = std::min(count, mersenne_state_words - index_);
    kernels.temper(state_.data() + index_, to, taken);
    index_ += taken;
    to += taken;
    count -= taken;
  }
}

}  // namespace halvorn
