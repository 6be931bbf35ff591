#include "core/operations/dot.h"

#include <cstring>

#include "core/misuse/misuse.h"
#include "core/operations/dot_kernels.h"

namespace halvorn {
namespace {

// The product of a and b into `result`, of their product's shape and not
// empty; with `continues`, each sum starts from the one that `result`
// holds.
template <class T>
void multiply(const Tensor<T>& a, const Tensor<T>& b, Tensor<T>& result, bool continues) {
  const std::uint64_t rows = a.shape.size() == 2 ? a.shape[0] : 1;
  const std::uint64_t inner = a.shape.back();
  const std::uint64_t columns = b.shape.size() == 2 ? b.shape[1] : 1;
  const DotMultiply<T> kernel = dot_kernels_builds.chosen().of<T>();
  // A right operand of one column lies in memory as a vector does, and the
  // result as one.
  if (b.shape.size() == 1 || columns == 1) {
    // matrix x vector runs as the vector times the matrix's transpose, so the
    // kernel vectorises across the result's elements; each term is the same
    // product (multiplication commutes exactly) in the same order.
    kernel(DotProblem<T>{b.data.packets, a.data.packets, result.data.packets, 1, inner, rows, 1,
                         inner, continues});
  } else {
    kernel(DotProblem<T>{a.data.packets, b.data.packets, result.data.packets, rows, inner, columns,
                         columns, 1, continues});
  }
}

}  // namespace

Shape dot_result_shape(const Shape& a, const Shape& b) {
  if (a.size() == 1 && b.size() == 2 && b[0] == a[0]) return {b[1]};
  if (a.size() == 2 && b.size() == 1 && b[0] == a[1]) return {a[0]};
  if (a.size() == 2 && b.size() == 2 && b[0] == a[1]) return {a[0], b[1]};
  dot_shapes_do_not_fit(a, b);
}

template <class T>
Tensor<T> dot(const Tensor<T>& a, const Tensor<T>& b) {
  Tensor<T> result(dot_result_shape(a.shape, b.shape));
  // An empty result returns at once, however many empty rows it has.
  if (result.data.size() == 0) return result;
  multiply(a, b, result, false);
  return result;
}

template <class T>
Tensor<T> dot_continued(const Tensor<T>& sums, const Tensor<T>& a, const Tensor<T>& b) {
  const Shape shape = dot_result_shape(a.shape, b.shape);
  if (sums.shape != shape) dot_shapes_do_not_fit(a.shape, b.shape);
  Tensor<T> result(shape);
  if (result.data.size() == 0) return result;
  std::memcpy(static_cast<void*>(result.data.packets), sums.data.packets,
              result.data.size() * sizeof(Packet<T>));
  multiply(a, b, result, true);
  return result;
}

#define HALVORN_INSTANTIATE(T)                                   \
  template Tensor<T> dot<T>(const Tensor<T>&, const Tensor<T>&); \
  template Tensor<T> dot_continued<T>(const Tensor<T>&, const Tensor<T>&, const Tensor<T>&);
HALVORN_FOR_EACH_ELEMENT_TYPE(HALVORN_INSTANTIATE)
#undef HALVORN_INSTANTIATE

}  // namespace halvorn
