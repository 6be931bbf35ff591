// The standard library's own objects in the state of halvorn's generators, so
// that tests can hold every value and every state against std::mt19937,
// std::uniform_real_distribution and std::normal_distribution. The states go
// across in the libstdc++ text forms: an engine's 624 words and its position,
// a normal distribution's parameters and cached value.
#pragma once

#include <cstdint>
#include <ios>
#include <limits>
#include <random>
#include <sstream>
#include <vector>

#include "factories/distributions.h"
#include "factories/mersenne_twister.h"
#include "factories/thread_generator.h"

namespace halvorn::testing {

inline std::mt19937 standard_engine(const MersenneTwister& engine) {
  std::stringstream text;
  for (const std::uint32_t word : engine.state()) text << word << ' ';
  text << engine.index();
  std::mt19937 standard;
  text >> standard;
  EXPECT_FALSE(text.fail());
  return standard;
}

template <class T>
std::uniform_real_distribution<T> standard_distribution(const UniformDistribution<T>&) {
  return std::uniform_real_distribution<T>(0, 1);
}

template <class T>
std::normal_distribution<T> standard_distribution(const NormalDistribution<T>& distribution) {
  std::stringstream text;
  text << std::scientific;
  text.precision(std::numeric_limits<T>::max_digits10);
  text << "0 1 " << distribution.cached().has_value();
  if (distribution.cached()) text << ' ' << *distribution.cached();
  std::normal_distribution<T> standard;
  text >> standard;
  EXPECT_FALSE(text.fail());
  return standard;
}

template <class Distribution>
struct StandardState {
  std::mt19937 engine;
  decltype(standard_distribution(std::declval<Distribution>())) distribution;
};

template <class Distribution>
StandardState<Distribution> standard_state(const GeneratorState<Distribution>& state) {
  return {standard_engine(state.engine), standard_distribution(state.distribution)};
}

// The next `count` values of `distribution`, drawn with the given kernels.
template <class Distribution>
std::vector<typename Distribution::result_type> draw_values(
    Distribution& distribution, MersenneTwister& engine, std::uint64_t count,
    const RandomKernels& kernels = random_kernels_builds.chosen()) {
  using T = typename Distribution::result_type;
  std::vector<T> values;
  distribution.generate(
      engine, count,
      [&values](const T* block, std::size_t n) { values.insert(values.end(), block, block + n); },
      kernels);
  EXPECT_EQ(values.size(), count);
  return values;
}

}  // namespace halvorn::testing
