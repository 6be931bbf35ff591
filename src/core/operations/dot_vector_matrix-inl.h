// A vector times a matrix, one build per instruction set (through
// dot_kernels-inl.h): the sums run across the matrix's columns.
#include "core/operations/dot_vectors-inl.h"

namespace halvorn {
namespace HALVORN_TARGET {
namespace {

template <class T>
struct VectorByMatrix : Widest<T> {
  HALVORN_VECTOR_NAMES(Widest<T>);

  // Vectors of columns per strip: the strip's sums wait in an 8 KiB array,
  // in the first-level cache, from one matrix row to the next.
  static constexpr std::uint64_t strip_vectors = 8192 / sizeof(Lane) / lanes;

  // `vectors` x lanes columns from column0, the last vector reaching past the
  // last column when the columns run out. A matrix row's packets are
  // contiguous, so the walk goes along each row of the strip, gathering its
  // lanes, then on to the next: on matrices up to a strip wide that reads the
  // whole matrix in storage order, as the prefetchers like it.
  static void column_sums(const DotProblem<T>& problem, std::uint64_t column0,
                          std::uint64_t vectors) {
    Vector sums[strip_vectors] = {};
    const std::uint64_t wide_end = wide_terms_end(problem, column0, vectors * lanes);
    // Vectors that hold every lane's column, whatever the term.
    const std::uint64_t whole =
        problem.columns - column0 >= vectors * lanes ? vectors : vectors - 1;
    if (problem.continues) {
      for (std::uint64_t b = 0; b < whole; ++b) {
        sums[b] = gather_sums(problem.result + column0 + b * lanes);
      }
      for (std::uint64_t i = 0; whole < vectors && i < lanes; ++i) {
        const std::uint64_t column = column0 + whole * lanes + gathered_packet(i);
        if (column < problem.columns) sums[whole][i] = lane0(problem.result[column]);
      }
    }
    for (std::uint64_t t = 0; t < problem.inner; ++t) {
      const Lane value = lane0(problem.left[t]);
      const Vector factor = splat(value);
      const Packet<T>* row = problem.right + t * problem.right_row_stride + column0;
      const std::uint64_t wide = t < wide_end ? vectors : whole;
      for (std::uint64_t b = 0; b < wide; ++b) {
        const Vector product = factor * gather(row + b * lanes);
        sums[b] = sums[b] + product;
      }
      for (std::uint64_t i = 0; wide < vectors && i < lanes; ++i) {
        const std::uint64_t column = wide * lanes + gathered_packet(i);
        if (column0 + column < problem.columns) {
          sums[wide][i] = multiply_add(sums[wide][i], value, lane0(row[column]));
        }
      }
    }
    for (std::uint64_t b = 0; b < vectors; ++b) {
      for (std::uint64_t i = 0; i < lanes; ++i) {
        const std::uint64_t column = column0 + b * lanes + gathered_packet(i);
        if (column < problem.columns) store_broadcast(problem.result + column, sums[b][i]);
      }
    }
  }

  static void vector_by_matrix(const DotProblem<T>& problem) {
    for (std::uint64_t column = 0; column < problem.columns; column += strip_vectors * lanes) {
      const std::uint64_t vectors = (problem.columns - column + lanes - 1) / lanes;
      column_sums(problem, column, vectors < strip_vectors ? vectors : strip_vectors);
    }
  }
};

}  // namespace
}  // namespace HALVORN_TARGET
}  // namespace halvorn
