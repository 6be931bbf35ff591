// A matrix times a vector, one build per instruction set (through
// dot_kernels-inl.h). The right operand here is that matrix, transposed: each
// result element is one row's sum along its contiguous packets.
#include "core/operations/dot_vectors-inl.h"

namespace halvorn {
namespace HALVORN_TARGET {
namespace {

template <class T>
struct MatrixByVector : Widest<T> {
  HALVORN_VECTOR_NAMES(Widest<T>);

  // As many rows at a time as one vector has lanes, and never more than
  // eight (eight on AVX-512 for every type; on narrower vectors as many as
  // fit, down to two doubles on SSE4.1): a row's stride is often a multiple
  // of 4 KiB, which puts the rows' lines in one set of the first-level cache,
  // and its eight ways hold eight rows' streams.
  static constexpr std::uint64_t row_bytes =
      8 * sizeof(Lane) < HALVORN_VECTOR_BYTES ? 8 * sizeof(Lane) : HALVORN_VECTOR_BYTES;
  using Rows = Vectors<T, row_bytes>;

  // Where the sums of `count` rows from row0 start, lane i row i's: from
  // zero, or from the sums handed in; lanes past the last row from zero.
  static typename Rows::Vector starting_sums(const DotProblem<T>& problem, std::uint64_t row0,
                                             std::uint64_t count) {
    typename Rows::Vector sums{};
    if (problem.continues) {
      for (std::uint64_t i = 0; i < count; ++i) sums[i] = lane0(problem.result[row0 + i]);
    }
    return sums;
  }

  // `count` (at most Rows::lanes) rows from row0, lane i summing row i;
  // terms[t] is the vector's value t. Lanes past the last row read it again
  // and are never stored. A step reads Rows::packets terms of every row: the
  // loads of packet_lanes rows blend into one vector per row quarter, then
  // the chunks transpose so that vector j holds term t + j of every row.
  static void row_sums(const DotProblem<T>& problem, const Lane* terms, std::uint64_t row0,
                       std::uint64_t count) {
    using RowVector = typename Rows::Vector;
    // Terms a step: as many as a row vector has packets (its packet_lanes
    // are every width's).
    constexpr std::uint64_t step = Rows::packets;
    const std::uint64_t stride = problem.right_column_stride;
    const Packet<T>* rows[Rows::lanes];
    for (std::uint64_t i = 0; i < Rows::lanes; ++i) {
      rows[i] = problem.right + (row0 + (i < count ? i : count - 1)) * stride;
    }
    RowVector sums = starting_sums(problem, row0, count);
    const std::uint64_t whole = problem.inner - problem.inner % step;
    for (std::uint64_t t = 0; t < whole; t += step) {
      RowVector chunks[step];
#pragma GCC unroll 32
      for (std::uint64_t q = 0; q < step; ++q) {
        const Packet<T>* const* quarter = rows + q * packet_lanes;
        chunks[q] = Rows::blend([quarter, t](std::size_t k) { return Rows::load(quarter[k] + t); });
      }
      Rows::transpose_chunks(chunks);
#pragma GCC unroll 32
      for (std::uint64_t j = 0; j < step; ++j) {
        const RowVector product = Rows::splat(terms[t + j]) * chunks[j];
        sums = sums + product;
      }
    }
    // A whole group's results, `step` packets a store, each the broadcast
    // of one row's lane.
    if (whole == problem.inner && count == Rows::lanes) {
      [&]<std::size_t... k>(std::index_sequence<k...>) __attribute__((always_inline)) {
        ((Rows::store_packets(
             problem.result + row0 + k * step,
             Rows::shuffle(sums, sums,
                           [](std::size_t j) { return k * step + j / Rows::packet_lanes; }))),
         ...);
      }(std::make_index_sequence<Rows::lanes / step>{});
      return;
    }
    for (std::uint64_t i = 0; i < count; ++i) {
      Lane sum = sums[i];
      const Packet<T>* row = rows[i];
      for (std::uint64_t t = whole; t < problem.inner; ++t) {
        sum = multiply_add(sum, terms[t], lane0(row[t]));
      }
      store_broadcast(problem.result + row0 + i, sum);
    }
  }

  // Rows of at most this many terms are copied first, lane 0 of their
  // packets row after row (the order they lie in), into a block that holds
  // them term by term, and summed from there: read a term of every row at a
  // time, short rows ran far below the memory's speed. On Zen 4 with
  // AVX-512, 102 MB of float64 rows of 16, 32 or 64 terms took 5 ms rather
  // than 10.5, 10.5 and 8.7 (rows of 256 terms, 4.7); rows of 128 terms took
  // 12 ms rather than 6.5, and rows of 8 as long as before.
  static constexpr std::uint64_t copied_row_terms = 64;
  // With vectors narrower than AVX-512's, float64 rows of up to 16 terms and
  // float32 and int32 rows of up to 8 are summed from their packets as they
  // are: the block's vector loads each waited for the scalar stores that
  // filled it (no store forwards to a wider load). [200000, 8] float64 took
  // 1.7 to 2.5 times a read of the operands copied with AVX2 and SSE4.1, 1.1
  // to 1.5 this way, [200000, 16] float64 with SSE4.1 1.5 to 1.75 against
  // 1.1 to 1.2 (with AVX2 about as long either way), [200000, 8] float32
  // about as long either way with AVX2, 1.6 to 1.8 against 1.4 to 1.6 with
  // SSE4.1.
  // Float32 and int32 rows of 16 terms took 1.5 to 2.2 this way against 1.1
  // to 1.5 copied (Zen 4). AVX-512 copies them all: in one run its float64
  // rows of 8 took 1.3 this way against 1.5 copied, but its float32 and
  // int32 rows of 8 and float64 rows of 16 took longer. int16 was not
  // measured.
  static constexpr std::uint64_t from_packets_terms = sizeof(Lane) == 8 ? 16 : 8;
  static bool copies(std::uint64_t inner) {
    if (HALVORN_VECTOR_BYTES < 64 && sizeof(Lane) >= 4 && inner <= from_packets_terms) return false;
    return inner <= copied_row_terms;
  }

  // As row_sums, from `block` (inner x Rows::lanes lanes, term-major), whose
  // lanes past `count` are never stored.
  static void copied_row_sums(const DotProblem<T>& problem, const Lane* terms, Lane* block,
                              std::uint64_t row0, std::uint64_t count) {
    using RowVector = typename Rows::Vector;
    const std::uint64_t inner = problem.inner;
    const Packet<T>* first = problem.right + row0 * problem.right_column_stride;
    for (std::uint64_t i = 0; i < count; ++i) {
      const Packet<T>* row = first + i * problem.right_column_stride;
      for (std::uint64_t t = 0; t < inner; ++t) block[t * Rows::lanes + i] = lane0(row[t]);
    }
    RowVector sums = starting_sums(problem, row0, count);
    for (std::uint64_t t = 0; t < inner; ++t) {
      const RowVector product = Rows::splat(terms[t]) * Rows::load(block + t * Rows::lanes);
      sums = sums + product;
    }
    for (std::uint64_t i = 0; i < count; ++i) store_broadcast(problem.result + row0 + i, sums[i]);
  }

  // The most rows whose integer sums each take every lane of a vector: a
  // wrapping sum comes out the same in any order, so each lane sums every
  // lanes-th term and the lanes are added at the end, where one term a lane
  // for each of a few rows left most lanes idle (one int16 row of 100000
  // terms took 0.17 ms that way, 0.034 this way). Each row reads the vector
  // again: with 4 int16 rows this way was still faster (0.14 against 0.17),
  // with 3 int32 rows as fast (0.10), with 4 slower.
  static constexpr std::uint64_t split_sum_rows = 8 / sizeof(Lane);

  // Matrix row `row`'s sum, for integers.
  static Lane split_sum(const DotProblem<T>& problem, std::uint64_t row) {
    const Packet<T>* const left = problem.left;
    const Packet<T>* const right = problem.right + row * problem.right_column_stride;
    // Two sums, so that one's gathers need not wait for the other's adds.
    Vector sums[2] = {};
    std::uint64_t t = 0;
    for (; t + 2 * lanes <= problem.inner; t += 2 * lanes) {
#pragma GCC unroll 2
      for (std::uint64_t k = 0; k < 2; ++k) {
        const Vector product = gather(left + t + k * lanes) * gather(right + t + k * lanes);
        sums[k] = sums[k] + product;
      }
    }
    for (; t + lanes <= problem.inner; t += lanes) {
      const Vector product = gather(left + t) * gather(right + t);
      sums[0] = sums[0] + product;
    }
    const Vector both = sums[0] + sums[1];
    Lane total = problem.continues ? lane0(problem.result[row]) : Lane{0};
    for (std::uint64_t i = 0; i < lanes; ++i) total = static_cast<Lane>(total + both[i]);
    for (; t < problem.inner; ++t) total = multiply_add(total, lane0(left[t]), lane0(right[t]));
    return total;
  }

  // The vector's values are read from a compact copy: its packets would be a
  // further stream in the first-level cache set that the rows share when it
  // starts at the same offset in a 4 KiB page as the matrix (as two large
  // blocks do), evicting a row's line at every step.
  static void matrix_by_vector(const DotProblem<T>& problem) {
    // The problem is the vector times the matrix's transpose, whose columns
    // are the matrix's rows.
    const std::uint64_t matrix_rows = problem.columns;
    if constexpr (!std::is_floating_point_v<Lane>) {
      if (matrix_rows <= split_sum_rows) {
        for (std::uint64_t row = 0; row < matrix_rows; ++row) {
          store_broadcast(problem.result + row, split_sum(problem, row));
        }
        return;
      }
    }
    const Scratch<Lane> terms(problem.inner + 1);
    for (std::uint64_t t = 0; t < problem.inner; ++t) terms.values[t] = lane0(problem.left[t]);
    const bool copied = copies(problem.inner);
    // Zeroed, so that the lanes of missing rows in a last short group sum
    // defined values.
    const Scratch<Lane> block(copied ? problem.inner * Rows::lanes + 1 : 1);
    if (copied) std::memset(block.values, 0, problem.inner * Rows::lanes * sizeof(Lane));
    for (std::uint64_t row = 0; row < matrix_rows; row += Rows::lanes) {
      const std::uint64_t count = matrix_rows - row < Rows::lanes ? matrix_rows - row : Rows::lanes;
      if (copied) {
        copied_row_sums(problem, terms.values, block.values, row, count);
      } else {
        row_sums(problem, terms.values, row, count);
      }
    }
  }
};

}  // namespace
}  // namespace HALVORN_TARGET
}  // namespace halvorn
