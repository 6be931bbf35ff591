// The compute of the dot product, built once per instruction set
// (core/primitives/kernel_builds.h).
#pragma once

#include <cstdint>

#include "core/primitives/element.h"
#include "core/primitives/kernel_builds.h"
#include "core/primitives/packet.h"

namespace halvorn {

// result[row][column] = sum over t < inner of left(row, t) * right(t, column),
// each element its own sum from zero in increasing t, one multiply then one add
// in T per term. left(row, t) is lane 0 of left[row * inner + t]; right(t,
// column) is lane 0 of right[t * right_row_stride + column * right_column_stride].
// The result is rows x columns packets, row-major.
// With `continues`, each sum starts from lane 0 of its result packet instead
// of zero (the other lanes may hold anything), and adds the terms in the same
// order: a product whose terms come in several chunks is then the same, bit
// for bit, as the whole one. Either way every lane of a result packet ends up
// holding the sum, even with no terms.
template <class T>
struct DotProblem {
  const Packet<T>* left;
  const Packet<T>* right;
  Packet<T>* result;
  std::uint64_t rows;
  std::uint64_t inner;
  std::uint64_t columns;
  std::uint64_t right_row_stride;
  std::uint64_t right_column_stride;
  bool continues = false;
};

template <class T>
using DotMultiply = void (*)(const DotProblem<T>&);

using DotKernels = ForEachElementType<DotMultiply>;

HALVORN_KERNEL_BUILDS(DotKernels, dot_kernels)

}  // namespace halvorn
