// The compute of the dot product, built once per instruction set and chosen at
// run time. Each build lives in a namespace of its own, so no inline code
// compiled for a wider instruction set can stand in for the baseline's.
#pragma once

#include <cstdint>

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

#define HALVORN_DECLARE_DOT_KERNELS(isa)                 \
  namespace isa {                                        \
  template <class T>                                     \
  void multiply(const DotProblem<T>& problem);           \
  extern template void multiply(const DotProblem<short>&);  \
  extern template void multiply(const DotProblem<int>&);    \
  extern template void multiply(const DotProblem<float>&);  \
  extern template void multiply(const DotProblem<double>&); \
  }

HALVORN_DECLARE_DOT_KERNELS(dot_sse41)
HALVORN_DECLARE_DOT_KERNELS(dot_avx2)
HALVORN_DECLARE_DOT_KERNELS(dot_avx512)
#undef HALVORN_DECLARE_DOT_KERNELS

}  // namespace halvorn
