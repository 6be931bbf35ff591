// Helpers for tests of operations on whole tensors: building a tensor from
// values, snapshotting its storage, and random operands.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "core/storage/tensor.h"

namespace halvorn::testing {

template <class T>
Tensor<T> tensor_of(const Shape& shape, const std::vector<T>& values) {
  Tensor<T> tensor(shape);
  EXPECT_EQ(tensor.data.size(), values.size());
  for (std::uint64_t i = 0; i < tensor.data.size(); ++i) tensor.data[i] = values[i];
  return tensor;
}

// Every byte of every packet, to show that an operation left an operand alone.
template <class T>
std::vector<unsigned char> bytes_of(const Tensor<T>& tensor) {
  const auto* first = reinterpret_cast<const unsigned char*>(tensor.data.packets);
  return {first, first + tensor.data.size() * sizeof(Packet<T>)};
}

// n random bit patterns read as T: integers over their whole range, so sums
// and products wrap; floating values of every exponent, NaNs, infinities and
// subnormals included.
template <class T>
std::vector<T> random_bits(std::size_t n, std::mt19937_64& generator) {
  std::vector<T> values(n);
  for (T& value : values) {
    const std::uint64_t bits = generator();
    std::memcpy(&value, &bits, sizeof(T));
  }
  return values;
}

}  // namespace halvorn::testing
