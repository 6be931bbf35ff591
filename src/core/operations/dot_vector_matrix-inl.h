// A vector times a matrix, one build per instruction set (through
// dot_kernels-inl.h): the sums run across the matrix's columns, a vector of
// their packets at a time.
#include "core/operations/dot_vectors-inl.h"

namespace halvorn {
namespace HALVORN_TARGET {
namespace {

template <class T>
struct VectorByMatrix : Widest<T> {
  HALVORN_VECTOR_NAMES(Widest<T>);

  // With SSE4.1, int16 columns are summed eight to a vector, gathered from
  // lane 0 of their packets, rather than one a vector: [256] x [256, 4096]
  // took 0.9 to 1.0 times a read of its operands that way, 1.3 to 1.5 a
  // packet at a time. (Every other type and width ran as fast or faster a
  // packet at a time.)
  static constexpr bool gathers = packets == 1 && sizeof(Lane) == 2;

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

  static void gathered_columns(const DotProblem<T>& problem) {
    for (std::uint64_t column = 0; column < problem.columns; column += strip_vectors * lanes) {
      const std::uint64_t vectors = (problem.columns - column + lanes - 1) / lanes;
      column_sums(problem, column, vectors < strip_vectors ? vectors : strip_vectors);
    }
  }

  // Columns from column0, `vectors` vectors of Packets::packets packets
  // each, over terms [start, end): their packets times the term, with no
  // gather, so that the sums lie as their result packets do (a float packet
  // holds its value in every lane) and are stored a vector at a time. The
  // sums wait in registers over the terms, and between blocks of terms in
  // the result packets.
  template <class Packets, std::uint64_t vectors>
  static void register_sums(const DotProblem<T>& problem, std::uint64_t column0,
                            std::uint64_t start, std::uint64_t end) {
    using Sum = typename Packets::Vector;
    constexpr std::uint64_t step = Packets::packets;
    Packet<T>* const out = problem.result + column0;
    Sum acc[vectors];
#pragma GCC unroll 16
    for (std::uint64_t v = 0; v < vectors; ++v) {
      if (start == 0 && !problem.continues) {
        acc[v] = Sum{};
        continue;
      }
      // Sums handed in promise lane 0 alone.
      const Sum sums = Packets::load(out + v * step);
      acc[v] = start > 0 ? sums : Packets::template spread_lane0<true>(sums);
    }
    const std::uint64_t stride = problem.right_row_stride;
    for (std::uint64_t t = start; t < end; ++t) {
      const Packet<T>* row = problem.right + t * stride + column0;
      const Sum factor = Packets::splat(lane0(problem.left[t]));
#pragma GCC unroll 16
      for (std::uint64_t v = 0; v < vectors; ++v) {
        const Sum product = factor * Packets::load(row + v * step);
        acc[v] = acc[v] + product;
      }
    }
#pragma GCC unroll 16
    for (std::uint64_t v = 0; v < vectors; ++v) {
      Packets::store_packets(out + v * step, Packets::spread_lane0(acc[v]));
    }
  }

  // Vectors of packets whose sums a tile keeps in registers, and the terms
  // of a block when the columns take more than one tile. Sums kept in an
  // 8 KiB array between terms, their lanes gathered from the packets, ran at
  // a half to a third of the memory's speed ([8] x [8, 200000] and [32] x
  // [32, 50000] took 1.5 to 2.2 times a read of the operands with AVX2,
  // AVX-512 and SSE4.1, 0.6 to 1.4 this way): their stores held up loads of
  // the matrix at the same offset in a 4 KiB page.
  static constexpr std::uint64_t register_vectors = 8;
  static constexpr std::uint64_t register_terms = 8;
  static constexpr std::uint64_t tile_columns = register_vectors * packets;

  static void vector_by_matrix(const DotProblem<T>& problem) {
    // Rows a multiple of 4 KiB apart put a block's rows in one set of the
    // first-level cache, whose eight ways the tiles' rows and sums overflow:
    // [512] x [512, 512] int32 took 1.3 to 2 times a read of its operands
    // that way, 1.0 to 1.1 in strips gathered a row at a time.
    const bool rows_share_a_set = problem.inner > register_terms &&
                                  problem.columns > tile_columns &&
                                  problem.right_row_stride * sizeof(Packet<T>) % 4096 == 0;
    if (gathers || rows_share_a_set) {
      gathered_columns(problem);
      return;
    }
    const std::uint64_t whole = problem.columns - problem.columns % packets;
    const std::uint64_t block = problem.columns <= tile_columns ? problem.inner : register_terms;
    for (std::uint64_t start = 0; start == 0 || start < problem.inner; start += block) {
      const std::uint64_t end = problem.inner - start < block ? problem.inner : start + block;
      for (std::uint64_t column = 0; column < whole; column += tile_columns) {
        with_rows<register_vectors>((whole - column) / packets, [&](auto count) {
          register_sums<Widest<T>, decltype(count)::value>(problem, column, start, end);
        });
      }
      // The last few columns, a 16-byte vector each.
      if (whole < problem.columns) {
        with_rows<packets>(problem.columns - whole, [&](auto count) {
          register_sums<Vectors<T, 16>, decltype(count)::value>(problem, whole, start, end);
        });
      }
      if (end == problem.inner) break;
    }
  }
};

}  // namespace
}  // namespace HALVORN_TARGET
}  // namespace halvorn
