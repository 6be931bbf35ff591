// A random generator that its user seeds and holds: the same values, call for
// call, as a std::mt19937 seeded with the same 32-bit value shared by the
// four standard distributions uniform_real_distribution<float> and <double>
// (bounds 0 and 1) and normal_distribution<float> and <double> (mean 0,
// deviation 1), each of those kept from one call to the next.
//
// Unlike the per-thread generators of rand and randn it is plain state: no
// random device, nothing per thread, and a forked child goes on with the very
// state its parent had, which is what a reproducible run wants. The values come
// from the same distributions and kernels as rand and randn.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/storage/tensor.h"
#include "factories/distributions.h"
#include "factories/mersenne_twister.h"

namespace halvorn {

class Generator {
 public:
  // Everything the next draws depend on, and the seed the generator was made
  // with: what a copy or a pickle carries.
  struct State {
    std::uint32_t seed = 0;
    MersenneTwister::State words{};
    // How many of the words have been output since they were last regenerated.
    std::size_t index = 0;
    // The second values of the normal distributions' last pairs, unscaled.
    std::optional<float> cached_float;
    std::optional<double> cached_double;
  };

  explicit Generator(std::uint32_t seed) noexcept : seed_(seed), engine_(seed) {}

  // A generator in `state`. Throws std::invalid_argument for a state that no
  // generator can reach: an index past 624, a cached value that is not finite,
  // or engine words whose 19937 significant bits are all zero (an engine that
  // outputs zeros for ever, on which the normal draws would never end).
  explicit Generator(const State& state);

  // A generator from the parts of a copied or pickled state, the cached
  // values as Python keeps floats. Throws std::invalid_argument as the
  // constructor does, and for a cached float32 value that is not exactly one.
  static Generator restore(std::uint32_t seed, const MersenneTwister::State& words,
                           std::size_t index, std::optional<double> cached_float,
                           std::optional<double> cached_double);

  State state() const;
  std::uint32_t seed() const noexcept { return seed_; }

  // Each element drawn in storage order from this generator's own
  // distribution of the kind and type, applied to its one engine. The tensor
  // is allocated first, as the factories' are: storage that cannot be had is
  // misuse, and the generator is then left untouched.
  template <class T>
  Tensor<T> rand(const Shape& shape);
  template <class T>
  Tensor<T> randn(const Shape& shape);

  // "<halvorn.Generator seed=42>", with the Python class's qualified name.
  std::string describe(const std::string& class_name) const;

 private:
  std::uint32_t seed_;
  MersenneTwister engine_;
  UniformDistribution<float> uniform_float_;
  UniformDistribution<double> uniform_double_;
  NormalDistribution<float> normal_float_;
  NormalDistribution<double> normal_double_;
};

extern template Tensor<float> Generator::rand<float>(const Shape&);
extern template Tensor<double> Generator::rand<double>(const Shape&);
extern template Tensor<float> Generator::randn<float>(const Shape&);
extern template Tensor<double> Generator::randn<double>(const Shape&);

}  // namespace halvorn
