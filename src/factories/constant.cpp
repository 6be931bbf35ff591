#include "factories/constant.h"

namespace halvorn {
namespace {

template <class T>
Tensor<T> filled(const Shape& shape, T value, FillKind kind) {
  Tensor<T> result(shape, value);
  result.fill_kind = kind;
  return result;
}

}  // namespace

template <class T>
Tensor<T> full(const Shape& shape, T value) {
  return filled(shape, value, FillKind::full);
}

template <class T>
Tensor<T> zeros(const Shape& shape) {
  return filled(shape, T(0), FillKind::zeros);
}

template <class T>
Tensor<T> ones(const Shape& shape) {
  return filled(shape, T(1), FillKind::ones);
}

#define HALVORN_INSTANTIATE(T)                 \
  template Tensor<T> full<T>(const Shape&, T); \
  template Tensor<T> zeros<T>(const Shape&);   \
  template Tensor<T> ones<T>(const Shape&);
HALVORN_FOR_EACH_ELEMENT_TYPE(HALVORN_INSTANTIATE)
#undef HALVORN_INSTANTIATE

}  // namespace halvorn
