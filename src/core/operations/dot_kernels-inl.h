// The dot-product kernels, built once per instruction set with HALVORN_TARGET
// naming it and HALVORN_VECTOR_BYTES its vector width: the problem's shape
// chooses one of six algorithms, each in a file of its own beside the vector
// code they share (dot_vectors-inl.h).
#include "core/operations/dot_matrix_matrix-inl.h"
#include "core/operations/dot_matrix_vector-inl.h"
#include "core/operations/dot_narrow-inl.h"
#include "core/operations/dot_packet_rows-inl.h"
#include "core/operations/dot_short_sums-inl.h"
#include "core/operations/dot_vector_matrix-inl.h"

namespace halvorn {
namespace HALVORN_TARGET {

// Whether a product that the narrow product could take runs faster as the
// packed matrix product: float products of as many columns as the narrow one
// takes, in whole panels, with more than a tile's rows and terms. Measured
// with AVX-512 on Zen 4 ([16, 100000] x [100000, 64] float64 took 0.86 of the
// time, [100000, 16] x [16, 64] 0.5 to 0.72, with 48 or 40 columns, or with
// integers, it took longer); not measured with narrower vectors.
template <class T>
bool whole_panels_run_faster(const DotProblem<T>& problem) {
  if constexpr (HALVORN_VECTOR_BYTES == 64 && std::is_floating_point_v<T>) {
    static_assert(narrow_columns % MatrixByMatrix<T>::panel_width == 0);
    return problem.columns == narrow_columns && problem.rows > narrow_tile_rows &&
           problem.inner > narrow_tile_rows;
  }
  return false;
}

template <class T>
void multiply(const DotProblem<T>& problem) {
  // Packet rows before short sums: [100000, 1 to 4] x [1 to 4, 2] took 0.45
  // to 0.9 of the short sums' time there.
  if (PacketRows<T>::suits(problem)) {
    PacketRows<T>::packet_rows(problem);
  } else if (ShortSums<T>::suits(problem)) {
    ShortSums<T>::short_sums(problem);
  } else if (problem.rows == 1 && problem.right_column_stride == 1 &&
             (problem.columns > narrow_columns ||
              (problem.columns > NarrowProduct<T>::group &&
               problem.columns <= VectorByMatrix<T>::tile_columns))) {
    // A row of sums wider than the narrow product takes, or wider than its
    // one tile that reads the matrix's packets straight but no wider than a
    // tile of packets here: [100000] x [100000, 16] float64 took 0.9 times a
    // read of the operands that way with AVX2, 1.9 in the narrow product's
    // packed blocks. Wider, over many terms, the packed blocks took half the
    // time of the blocks of terms here (with every instruction set).
    VectorByMatrix<T>::vector_by_matrix(problem);
  } else if (problem.rows == 1 && problem.right_row_stride == 1) {
    MatrixByVector<T>::matrix_by_vector(problem);
  } else if (NarrowProduct<T>::suits(problem) && !whole_panels_run_faster(problem)) {
    NarrowProduct<T>::narrow_product(problem);
  } else {
    MatrixByMatrix<T>::matrix_by_matrix(problem);
  }
}

extern const DotKernels dot_kernels{&multiply<short>, &multiply<int>, &multiply<float>,
                                    &multiply<double>};

}  // namespace HALVORN_TARGET
}  // namespace halvorn
