// Tensors of pseudo-random floating-point values. Each operation draws from
// its own generator in every thread, seeded once from std::random_device;
// nothing can seed or reset it from outside.
#pragma once

#include <random>

#include "core/storage/tensor.h"
#include "factories/distributions.h"
#include "factories/thread_generator.h"

namespace halvorn {

// The generators of rand<T> and randn<T>, one each per element type.
template <class T>
using RandGenerator = ThreadGenerator<std::random_device, UniformDistribution<T>>;
template <class T>
using RandnGenerator = ThreadGenerator<std::random_device, NormalDistribution<T>>;

// Every element drawn uniformly from [0, 1), in storage order. Throws the
// standard library's exception when this thread's random device cannot be
// opened or read.
template <class T>
Tensor<T> rand(const Shape& shape);

// Every element drawn from the standard normal distribution, in storage
// order. A normal value cached by the distribution at the end of one call is
// the first element of the next call in the same thread. Throws like rand.
template <class T>
Tensor<T> randn(const Shape& shape);

// Fills every element of `tensor`, in storage order, with the next values of
// `distribution` drawn with `engine`: what rand, randn and the seeded
// Generator share.
template <class T, class Distribution>
void fill_random(Tensor<T>& tensor, MersenneTwister& engine, Distribution& distribution);

extern template void fill_random(Tensor<float>&, MersenneTwister&, UniformDistribution<float>&);
extern template void fill_random(Tensor<double>&, MersenneTwister&, UniformDistribution<double>&);
extern template void fill_random(Tensor<float>&, MersenneTwister&, NormalDistribution<float>&);
extern template void fill_random(Tensor<double>&, MersenneTwister&, NormalDistribution<double>&);
extern template Tensor<float> rand<float>(const Shape&);
extern template Tensor<double> rand<double>(const Shape&);
extern template Tensor<float> randn<float>(const Shape&);
extern template Tensor<double> randn<double>(const Shape&);

}  // namespace halvorn
