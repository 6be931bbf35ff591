#include "factories/random.h"

#include <cstdint>

namespace halvorn {
namespace {

// The packets are allocated before the generator is touched: a failed
// allocation ends the process first, and a device that cannot be used throws
// after it, releasing the block on the way out. Each packet is written once,
// straight from the distribution.
template <class T, class Generator>
Tensor<T> draw(const Shape& shape) {
  Tensor<T> result(shape);
  auto [engine, distribution] = Generator::get();
  Packet<T>* const packets = result.data.packets;
  const std::uint64_t count = result.data.size();
  for (std::uint64_t i = 0; i < count; ++i) packets[i] = distribution(engine);
  return result;
}

}  // namespace

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
