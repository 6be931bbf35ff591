// Element-wise arithmetic on two tensors of one element type: one packet
// operation per element, the result a new tensor of the first operand's shape.
#pragma once

#include "core/storage/tensor.h"

namespace halvorn {

// The shape check of every element-wise operation, for operands whose shapes
// are known before their values are (chunked arrays): unequal shapes are the
// same misuse as below. `operation` is "add", "sub", "mul" or "div".
void require_same_shape(const char* operation, const Shape& a, const Shape& b);

// out = a <operation> b on plain arrays of the element count of `shape`, each
// value T's own bits (any alignment), through packets a tile at a time and
// the kernels of the tensors' operations, so the bits are the tensor
// operation's and no tensor of the whole is ever built. `operation` is "add",
// "sub", "mul" or "div"; a zero divisor is the misuse of div below, at its
// position in `shape`, and leaves `out` part written.
template <class T>
void operate_on_values(const char* operation, const void* a, const void* b, void* out,
                       const Shape& shape);

// Operands that differ in element count or shape are misuse: each ends the
// process with "quorva <op>() : Shape doesn't match!\n", unless the misuse
// policy has it thrown (core/misuse/misuse.h).
template <class T>
Tensor<T> add(const Tensor<T>& a, const Tensor<T>& b);
template <class T>
Tensor<T> sub(const Tensor<T>& a, const Tensor<T>& b);
template <class T>
Tensor<T> mul(const Tensor<T>& a, const Tensor<T>& b);
// A zero divisor (+0.0 and -0.0 alike; NaN divides) is misuse too, reported
// after the shapes: "quorva div() : cannot divide by zero!\n".
template <class T>
Tensor<T> div(const Tensor<T>& a, const Tensor<T>& b);

// The same operations written over `reused`, which is a or b itself, instead
// of into a new block: for an operand that nothing reads again, such as an
// expression's temporary. Misuse is reported as above; a zero divisor found
// part way leaves `reused` partly overwritten, so only an operand on its way
// out may be passed.
template <class T>
void add_over(Tensor<T>& reused, const Tensor<T>& a, const Tensor<T>& b);
template <class T>
void sub_over(Tensor<T>& reused, const Tensor<T>& a, const Tensor<T>& b);
template <class T>
void mul_over(Tensor<T>& reused, const Tensor<T>& a, const Tensor<T>& b);
template <class T>
void div_over(Tensor<T>& reused, const Tensor<T>& a, const Tensor<T>& b);

}  // namespace halvorn
