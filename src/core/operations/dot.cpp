#include "core/operations/dot.h"

#include "core/misuse/misuse.h"
#include "core/operations/dot_kernels.h"

namespace halvorn {
namespace {

template <class T>
void multiply(const DotProblem<T>& problem) {
  chosen_kernels(dot_kernels_builds).of<T>()(problem);
}

}  // namespace

template <class T>
Tensor<T> dot(const Tensor<T>& a, const Tensor<T>& b) {
  const std::size_t rank_a = a.shape.size();
  const std::size_t rank_b = b.shape.size();
  std::uint64_t rows, inner, columns;
  Shape result_shape;
  if (rank_a == 1 && rank_b == 2) {
    rows = 1;
    inner = a.shape[0];
    columns = b.shape[1];
    if (b.shape[0] != inner) dot_shapes_do_not_fit(a.shape, b.shape);
    result_shape = {columns};
  } else if (rank_a == 2 && rank_b == 1) {
    rows = a.shape[0];
    inner = a.shape[1];
    columns = 1;
    if (b.shape[0] != inner) dot_shapes_do_not_fit(a.shape, b.shape);
    result_shape = {rows};
  } else if (rank_a == 2 && rank_b == 2) {
    rows = a.shape[0];
    inner = a.shape[1];
    columns = b.shape[1];
    if (b.shape[0] != inner) dot_shapes_do_not_fit(a.shape, b.shape);
    result_shape = {rows, columns};
  } else {
    dot_shapes_do_not_fit(a.shape, b.shape);
  }
  Tensor<T> result(result_shape);
  // An empty result returns at once, however many empty rows it has.
  if (result.data.size() == 0) return result;
  // A right operand of one column lies in memory as a vector does, and the
  // result as one.
  if (rank_b == 1 || columns == 1) {
    // matrix x vector runs as the vector times the matrix's transpose, so the
    // kernel vectorises across the result's elements; each term is the same
    // product (multiplication commutes exactly) in the same order.
    multiply(DotProblem<T>{b.data.packets, a.data.packets, result.data.packets, 1, inner, rows, 1,
                           inner});
  } else {
    multiply(DotProblem<T>{a.data.packets, b.data.packets, result.data.packets, rows, inner,
                           columns, columns, 1});
  }
  return result;
}

#define HALVORN_INSTANTIATE(T) template Tensor<T> dot<T>(const Tensor<T>&, const Tensor<T>&);
HALVORN_FOR_EACH_ELEMENT_TYPE(HALVORN_INSTANTIATE)
#undef HALVORN_INSTANTIATE

}  // namespace halvorn
