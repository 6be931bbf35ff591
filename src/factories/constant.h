// Tensors whose every element holds one value.
#pragma once

#include "core/storage/tensor.h"

namespace halvorn {

// Every element is `value`; fill_kind records FillKind::full.
template <class T>
Tensor<T> full(const Shape& shape, T value);

// Every element is T(0) (+0.0 for floating point); fill_kind records FillKind::zeros.
template <class T>
Tensor<T> zeros(const Shape& shape);

// Every element is T(1); fill_kind records FillKind::ones.
template <class T>
Tensor<T> ones(const Shape& shape);

}  // namespace halvorn
