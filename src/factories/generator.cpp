#include "factories/generator.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "factories/random.h"

namespace halvorn {
namespace {

// A copy or a pickle of a real generator never fails these; a damaged or
// forged one is refused before any of it is used.
const Generator::State& checked(const Generator::State& state) {
  if (state.index > mersenne_state_words) {
    throw std::invalid_argument("a generator's state index must be at most 624, not " +
                                std::to_string(state.index));
  }
  // The regeneration reads the top bit of the first word and all of the
  // others; when those are all zero it yields zeros for ever.
  const bool degenerate = (state.words[0] & 0x80000000u) == 0 &&
                          std::all_of(state.words.begin() + 1, state.words.end(),
                                      [](std::uint32_t word) { return word == 0; });
  if (degenerate) {
    throw std::invalid_argument("a generator's state words must not be all zero");
  }
  // The polar method never caches anything but a finite value.
  if ((state.cached_float && !std::isfinite(*state.cached_float)) ||
      (state.cached_double && !std::isfinite(*state.cached_double))) {
    throw std::invalid_argument("a generator's cached normal values must be finite");
  }
  return state;
}

// The float that a double read back from a pickle stands for.
float exact_float(double value) {
  // Checked before narrowing: a double beyond float's range has no float.
  const bool in_range =
      std::isfinite(value) && std::fabs(value) <= std::numeric_limits<float>::max();
  if (!in_range || static_cast<double>(static_cast<float>(value)) != value) {
    throw std::invalid_argument("a generator's cached float32 value must be a finite float32");
  }
  return static_cast<float>(value);
}

}  // namespace

Generator::Generator(const State& state)
    : seed_(state.seed),
      engine_(checked(state).words, state.index),
      normal_float_(state.cached_float),
      normal_double_(state.cached_double) {}

Generator Generator::restore(std::uint32_t seed, const MersenneTwister::State& words,
                             std::size_t index, std::optional<double> cached_float,
                             std::optional<double> cached_double) {
  State state{seed, words, index, std::nullopt, cached_double};
  if (cached_float) state.cached_float = exact_float(*cached_float);
  return Generator(state);
}

Generator::State Generator::state() const {
  return {seed_, engine_.state(), engine_.index(), normal_float_.cached(), normal_double_.cached()};
}

template <class T>
Tensor<T> Generator::rand(const Shape& shape) {
  Tensor<T> result(shape);
  if constexpr (std::is_same_v<T, float>) {
    fill_random(result, engine_, uniform_float_);
  } else {
    fill_random(result, engine_, uniform_double_);
  }
  return result;
}

template <class T>
Tensor<T> Generator::randn(const Shape& shape) {
  Tensor<T> result(shape);
  if constexpr (std::is_same_v<T, float>) {
    fill_random(result, engine_, normal_float_);
  } else {
    fill_random(result, engine_, normal_double_);
  }
  return result;
}

std::string Generator::describe(const std::string& class_name) const {
  return "<" + class_name + " seed=" + std::to_string(seed_) + ">";
}

template Tensor<float> Generator::rand<float>(const Shape&);
template Tensor<double> Generator::rand<double>(const Shape&);
template Tensor<float> Generator::randn<float>(const Shape&);
template Tensor<double> Generator::randn<double>(const Shape&);

}  // namespace halvorn
