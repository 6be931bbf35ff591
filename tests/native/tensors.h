// Helpers for tests of operations on whole tensors: building a tensor from
// values, snapshotting its storage, and random operands.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/misuse/misuse.h"
#include "core/storage/tensor.h"

namespace halvorn::testing {

template <class T>
Tensor<T> tensor_of(const Shape& shape, const std::vector<T>& values) {
  Tensor<T> tensor(shape);
  EXPECT_EQ(tensor.data.size(), values.size());
  for (std::uint64_t i = 0; i < tensor.data.size(); ++i) tensor.data[i] = values[i];
  return tensor;
}

// The kind and message of the Misuse that `call` throws, under a policy that
// has misuse thrown; a storage kind and "nothing thrown" when it throws none.
template <class Call>
std::pair<MisuseKind, std::string> thrown_misuse(Call&& call) {
  try {
    call();
  } catch (const Misuse& misuse) {
    return {misuse.kind(), misuse.what()};
  }
  return {MisuseKind::storage, "nothing thrown"};
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
