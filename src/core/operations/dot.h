// Vector and matrix products on lane-0 values.
#pragma once

#include "core/storage/tensor.h"

namespace halvorn {

// (vector, matrix), (matrix, vector) or (matrix, matrix). Each output element
// is its own sum from zero over the contracted index in increasing order, one
// multiply then one add in T per term (no fused multiply-add), so floating-point
// results are exactly those of the sequential definition; integers wrap.
// The contracted length comes from the first operand; any other pair of ranks,
// or a second operand whose matching extent differs from it, is misuse:
// "quorva dot() : Shape doesn't match!\n" and the end of the process, unless
// the misuse policy has it thrown.
template <class T>
Tensor<T> dot(const Tensor<T>& a, const Tensor<T>& b);

}  // namespace halvorn
