// Vector and matrix products on lane-0 values.
#pragma once

#include "core/storage/tensor.h"

namespace halvorn {

// The shape of dot(a, b) for operands of shapes a and b: (vector, matrix),
// (matrix, vector) or (matrix, matrix), the second operand's matching extent
// equal to the contracted length, which comes from the first operand. Any
// other pair is misuse: "quorva dot() : Shape doesn't match!\n" and the end
// of the process, unless the misuse policy has it thrown.
Shape dot_result_shape(const Shape& a, const Shape& b);

// (vector, matrix), (matrix, vector) or (matrix, matrix). Each output element
// is its own sum from zero over the contracted index in increasing order, one
// multiply then one add in T per term (no fused multiply-add), so floating-point
// results are exactly those of the sequential definition; integers wrap.
// Shapes that make no product are misuse, as dot_result_shape reports them.
template <class T>
Tensor<T> dot(const Tensor<T>& a, const Tensor<T>& b);

// dot(a, b) with each element's sum starting from the matching element of
// `sums` instead of zero, its terms added in the same order: chained over
// consecutive chunks of the contracted index, each call handed the results
// of the one before, it gives dot of the whole operands bit for bit. `sums`
// of any shape but dot_result_shape(a.shape, b.shape) is misuse, reported
// as shapes of a and b that do not fit.
template <class T>
Tensor<T> dot_continued(const Tensor<T>& sums, const Tensor<T>& a, const Tensor<T>& b);

}  // namespace halvorn
