// Products whose every sum has only a few terms, with one or two columns: many
// rows of a few terms times one or two columns, or a matrix of short rows
// times a vector. (Two columns go to the packet rows first wherever those
// take them.) One build per instruction set (through dot_kernels-inl.h).
// Each result element is summed in one 16-byte vector straight from the
// operands' packets, as element-wise arithmetic works: for such rows, the
// register tiles' packing, gathers and part-filled vectors cost more than the
// few multiplies and adds themselves.
#include "core/operations/dot_vectors-inl.h"

namespace halvorn {
namespace HALVORN_TARGET {
namespace {

// The most terms a sum may have, and the most columns that a product of
// several rows may have (with one row, the many columns of the matrix x
// vector layout). From 100000 rows of 1 to 4 terms, times 1 or 2 columns,
// this way took 0.4 to 0.9 of the time of the tiles and the matrix x vector
// rows; with 3 or 4 columns, 1.0 to 1.35 (with AVX-512 on Zen 4).
constexpr std::uint64_t short_sum_terms = 4;
constexpr std::uint64_t short_sum_columns = 2;

template <class T>
struct ShortSums : Vectors<T, 16> {
  using Packets = Vectors<T, 16>;
  HALVORN_VECTOR_NAMES(Packets);

  static bool suits(const DotProblem<T>& problem) {
    return problem.inner <= short_sum_terms &&
           (problem.columns <= short_sum_columns ||
            (problem.rows == 1 && problem.right_row_stride == 1));
  }

  // The sums' start is chosen once, outside the loops: a choice per element
  // made [100000, 2] x [2, 1] float64 a third slower with SSE4.1 and AVX2.
  static void short_sums(const DotProblem<T>& problem) {
    if (problem.continues) {
      sums_from<true>(problem);
    } else {
      sums_from<false>(problem);
    }
  }

  template <bool continues>
  static void sums_from(const DotProblem<T>& problem) {
    // The fields in locals: the result's stores might otherwise overwrite
    // them, as far as the compiler knows, and it would read them again after
    // every store.
    const std::uint64_t rows = problem.rows, inner = problem.inner, columns = problem.columns;
    const std::uint64_t row_stride = problem.right_row_stride;
    const std::uint64_t column_stride = problem.right_column_stride;
    for (std::uint64_t row = 0; row < rows; ++row) {
      const Packet<T>* left = problem.left + row * inner;
      Packet<T>* out = problem.result + row * columns;
      for (std::uint64_t column = 0; column < columns; ++column) {
        const Packet<T>* right = problem.right + column * column_stride;
        // A float sum's every lane goes out as it is: each must start from
        // the handed-in lane 0.
        Vector sum{};
        if constexpr (continues) sum = Packets::template spread_lane0<true>(load(out + column));
        for (std::uint64_t t = 0; t < inner; ++t) {
          const Vector product = load(left + t) * load(right + t * row_stride);
          sum = sum + product;
        }
        // Lane 0 holds the sum: an integer packet may hold its value in lane
        // 0 alone (a quotient), the lanes beside it carrying other values
        // through the sum; a float packet's every lane is the sum already.
        store_packets(out + column, spread_lane0(sum));
      }
    }
  }
};

}  // namespace
}  // namespace HALVORN_TARGET
}  // namespace halvorn
