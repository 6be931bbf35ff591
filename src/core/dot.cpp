#include "core/dot.h"

#include "core/fatal.h"

namespace halvorn {
namespace {

[[noreturn]] void fail_dot_shape() { fail("quorva dot() : Shape doesn't match!\n"); }

// result[row * columns + column] = sum over t < inner of
//   left[row * left_stride + t] * right[t * columns + column],
// which covers all three rank pairs: a vector is a matrix with one row (on the
// left) or one column (on the right).
template <class T>
void multiply(const Packet<T>* left, const Packet<T>* right, Packet<T>* result,
              std::uint64_t rows, std::uint64_t inner, std::uint64_t columns) {
  for (std::uint64_t row = 0; row < rows; ++row) {
    const Packet<T>* left_row = left + row * inner;
    for (std::uint64_t column = 0; column < columns; ++column) {
      T acc = T(0);
      for (std::uint64_t t = 0; t < inner; ++t) {
        acc = multiply_add(acc, static_cast<T>(left_row[t]), static_cast<T>(right[t * columns + column]));
      }
      result[row * columns + column] = acc;
    }
  }
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
    if (b.shape[0] != inner) fail_dot_shape();
    result_shape = {columns};
  } else if (rank_a == 2 && rank_b == 1) {
    rows = a.shape[0];
    inner = a.shape[1];
    columns = 1;
    if (b.shape[0] != inner) fail_dot_shape();
    result_shape = {rows};
  } else if (rank_a == 2 && rank_b == 2) {
    rows = a.shape[0];
    inner = a.shape[1];
    columns = b.shape[1];
    if (b.shape[0] != inner) fail_dot_shape();
    result_shape = {rows, columns};
  } else {
    fail_dot_shape();
  }
  Tensor<T> result(result_shape);
  // An empty result returns at once, however many empty rows it has.
  if (result.data.size() == 0) return result;
  multiply(a.data.packets, b.data.packets, result.data.packets, rows, inner, columns);
  return result;
}

template Tensor<short> dot<short>(const Tensor<short>&, const Tensor<short>&);
template Tensor<int> dot<int>(const Tensor<int>&, const Tensor<int>&);
template Tensor<float> dot<float>(const Tensor<float>&, const Tensor<float>&);
template Tensor<double> dot<double>(const Tensor<double>&, const Tensor<double>&);

}  // namespace halvorn
