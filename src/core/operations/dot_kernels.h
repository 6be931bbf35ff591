// The compute of the dot product, built once per instruction set
// (core/primitives/dispatch.h).
#pragma once

#include <cstdint>

#include "core/primitives/dispatch.h"
#include "core/primitives/element.h"
#include "core/primitives/packet.h"

namespace halvorn {

// result[row][column] = sum over t < inner of left(row, t) * right(t, column),
// each element its own sum from zero in increasing t, one multiply then one add
// in T per term. left(row, t) is lane 0 of left[row * inner + t]; right(t,
// column) is lane 0 of right[t * right_row_stride + column * right_column_stride].
// The result is rows x columns packets, row-major.
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
};

template <class T>
using DotMultiply = void (*)(const DotProblem<T>&);

using DotKernels = ForEachElementType<DotMultiply>;

HALVORN_KERNEL_BUILDS(DotKernels, dot_kernels)

}  // namespace halvorn
