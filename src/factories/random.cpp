#include "factories/random.h"

#include <cstddef>
#include <cstdint>

#include "core/primitives/streaming.h"

namespace halvorn {
namespace {

// Each value broadcast into its packet; non-temporal stores for a block too
// large to stay in cache.
template <bool streaming, class T>
void store_values(const T* values, std::size_t count, Packet<T>* to) noexcept {
  for (std::size_t i = 0; i < count; ++i) {
    if constexpr (streaming) {
      PacketMath<T>::stream(to + i, broadcast(values[i]));
    } else {
      PacketMath<T>::store(to + i, broadcast(values[i]));
    }
  }
}

// The packets are allocated before the generator is touched: a failed
// allocation is reported first (the end of the process, or Misuse under a
// raising policy), and a device that cannot be used throws after it,
// releasing the block on the way out.
template <class T, class PerThread>
Tensor<T> draw(const Shape& shape) {
  Tensor<T> result(shape);
  auto [engine, distribution] = PerThread::get();
  fill_random(result, engine, distribution);
  return result;
}

}  // namespace

// Each packet is written once, a block of values at a time, straight from the
// distribution.
template <class T, class Distribution>
void fill_random(Tensor<T>& tensor, MersenneTwister& engine, Distribution& distribution) {
  Packet<T>* next = tensor.data.packets;
  const std::uint64_t count = tensor.data.size();
  if (worth_streaming(next, 16 * count)) {
    distribution.generate(engine, count, [&next](const T* values, std::size_t block) {
      store_values<true>(values, block, next);
      next += block;
    });
    _mm_sfence();
  } else {
    distribution.generate(engine, count, [&next](const T* values, std::size_t block) {
      store_values<false>(values, block, next);
      next += block;
    });
  }
}

template void fill_random(Tensor<float>&, MersenneTwister&, UniformDistribution<float>&);
template void fill_random(Tensor<double>&, MersenneTwister&, UniformDistribution<double>&);
template void fill_random(Tensor<float>&, MersenneTwister&, NormalDistribution<float>&);
template void fill_random(Tensor<double>&, MersenneTwister&, NormalDistribution<double>&);

template <class T>
Tensor<T> rand(const Shape& shape) {
  return draw<T, RandGenerator<T>>(shape);
}

template <class T>
Tensor<T> randn(const Shape& shape) {
  return draw<T, RandnGenerator<T>>(shape);
}

template Tensor<float> rand<float>(const Shape&);
template Tensor<double> rand<double>(const Shape&);
template Tensor<float> randn<float>(const Shape&);
template Tensor<double> randn<double>(const Shape&);

}  // namespace halvorn
