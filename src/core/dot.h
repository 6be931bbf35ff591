// Vector and matrix products on lane-0 values.
#pragma once

#include <type_traits>

#include "core/tensor.h"

namespace halvorn {

// (vector, matrix), (matrix, vector) or (matrix, matrix). Each output element
// is its own sum from zero over the contracted index in increasing order, one
// multiply then one add in T per term (no fused multiply-add), so floating-point
// results are exactly those of the sequential definition; integers wrap.
// The contracted length comes from the first operand; any other pair of ranks,
// or a second operand whose matching extent differs from it, ends the process
// with "quorva dot() : Shape doesn't match!\n".
template <class T>
Tensor<T> dot(const Tensor<T>& a, const Tensor<T>& b);

// acc + x * y rounded (floating point) or wrapped (integers) to T after each
// step. short factors are widened to 32 bits before multiplying.
template <class T>
inline T multiply_add(T acc, T x, T y) noexcept {
  if constexpr (std::is_integral_v<T>) {
    // Unsigned arithmetic wraps where signed overflow would be undefined.
    using Wide = unsigned int;
    const Wide product = static_cast<Wide>(x) * static_cast<Wide>(y);
    return static_cast<T>(static_cast<Wide>(acc) + product);
  } else {
    const T product = x * y;
    return acc + product;
  }
}

}  // namespace halvorn
