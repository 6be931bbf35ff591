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
