// Element-wise arithmetic on two tensors of one element type: one packet
// operation per element, the result a new tensor of the first operand's shape.
#pragma once

#include "core/tensor.h"

namespace halvorn {

// Each ends the process with "quorva <op>() : Shape doesn't match!\n" when the
// operands differ in element count or shape.
template <class T>
Tensor<T> add(const Tensor<T>& a, const Tensor<T>& b);
template <class T>
Tensor<T> sub(const Tensor<T>& a, const Tensor<T>& b);
template <class T>
Tensor<T> mul(const Tensor<T>& a, const Tensor<T>& b);
// Also ends the process with "quorva div() : cannot divide by zero!\n" when a
// divisor is zero (+0.0 and -0.0 alike; NaN divides).
template <class T>
Tensor<T> div(const Tensor<T>& a, const Tensor<T>& b);

}  // namespace halvorn
