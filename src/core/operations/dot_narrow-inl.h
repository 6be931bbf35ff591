// A product whose right operand is narrow (a few dozen columns), with few
// rows or few terms, one build per instruction set (through dot_kernels-inl.h):
// tall-skinny Gram matrices, a wide matrix times a few columns, many short
// rows. Register tiles read the left operand straight from its packets, one
// broadcast load a term and row, and the right one from a block of its terms
// packed into vectors: it is the narrow one, and every row tile reads it.
#include "core/operations/dot_vectors-inl.h"

namespace halvorn {
namespace HALVORN_TARGET {
namespace {

// Tile rows; one or two vectors of columns each. Two vectors' sums, the
// columns and a broadcast factor fill 19 of AVX-512's 32 registers with 8
// rows, and 15 of the 16 that SSE and AVX2 have with 6; one vector's fill 10
// with 8 rows.
constexpr std::uint64_t narrow_tile_rows = 8;
#if HALVORN_VECTOR_BYTES == 64
constexpr std::uint64_t narrow_two_vector_rows = 8;
#else
constexpr std::uint64_t narrow_two_vector_rows = 6;
#endif
constexpr std::uint64_t narrow_tile_vectors = 2;
// The shapes this algorithm takes: at most this many columns, and at most
// this many rows (any number of terms) or this many terms (any number of
// rows). Beyond them the packed matrix product reuses each packet more.
constexpr std::uint64_t narrow_columns = 64;
constexpr std::uint64_t narrow_rows = 64;
constexpr std::uint64_t narrow_terms = 256;
// The packed terms of one block of the right operand. Half the first-level
// cache holds them, beside the left operand's packets streaming through, so
// every row tile reads them from there. Small blocks also keep the passes
// over memory short and interleaved: packing a block reads the right
// operand, its tiles read the left, and every stream keeps moving rather
// than one waiting while a long pass over the other runs (with 1024 terms a
// block, an [8, 200000] x [200000, 8] float64 product took 2.6 times the
// time of a read of its operands).
constexpr std::uint64_t narrow_packed_bytes = std::uint64_t{16} << 10;
// How far ahead of a tile each row of the left operand is fetched: those
// rows are several streams of 16 bytes a term, more than the prefetchers
// follow on their own. Nearer than 16 packets or further than 32 took longer
// (an [8, 200000] x [200000, 8] float64 product took 30% longer with no
// prefetch, and as long at 48 packets).
constexpr std::uint64_t narrow_prefetch_packets = 24;
// How many rows ahead of the tiles the lines of the results are fetched. The
// results are written with ordinary stores: non-temporal ones, 16 bytes at a
// time in lines that other tiles finish, took twice as long on Zen 4 for
// [100000, 1] x [1, 8] float64.
constexpr std::uint64_t narrow_result_prefetch_rows = 2 * narrow_two_vector_rows;
// The fewest terms for which many rows are packed before their tiles read
// them: from [100000, 16] float64 times 16 columns, 5.9 ms became 3.7; at 8
// terms, 0.75 ms became 0.95.
constexpr std::uint64_t narrow_packed_left_terms = 16;
// The terms of a block when two row tiles read the right operand's packets
// straight, the second from the cache: [8, 200000] x [200000, 8] float64 with
// AVX2 took 1.5 times a read of its operands at 64 terms a block, 1.7 to 1.9
// at 128 to 256, and 2.2 to 2.4 packed a 16 KiB block at a time.
constexpr std::uint64_t narrow_direct_block_terms = 64;
// How far ahead packing fetches the right operand, whose rows (one packet a
// column) follow each other: one stream.
constexpr std::uint64_t narrow_packing_prefetch_packets = 128;

template <class T>
struct NarrowProduct : Widest<T> {
  HALVORN_VECTOR_NAMES(Widest<T>);

  static bool suits(const DotProblem<T>& problem) {
    return problem.right_column_stride == 1 && problem.columns <= narrow_columns &&
           (problem.rows <= narrow_rows || problem.inner <= narrow_terms);
  }

  // Columns per tile, and the width of a packed term.
  static constexpr std::uint64_t group = narrow_tile_vectors * lanes;

  // 16-byte vectors, which gather the columns of the last, partial vector in
  // column order.
  using Chunks = Vectors<T, 16>;

  // Lane 0 of terms [start, end) of the right operand, `padded` (a multiple
  // of group) lanes per term: whole vectors of columns gathered, in gathered
  // order; the last few columns (a wide vector would read past the operand's
  // end) in column order, 16 bytes or one at a time, or in gathered order one
  // at a time, and zero past them. The tiles read no vector beyond that one.
  static void pack_right(const DotProblem<T>& problem, std::uint64_t start, std::uint64_t end,
                         std::uint64_t padded, bool gathered_partial, Lane* packed) {
    const std::uint64_t whole = problem.columns / lanes;
    for (std::uint64_t t = start; t < end; ++t) {
      const Packet<T>* row = problem.right + t * problem.right_row_stride;
      for (std::uint64_t line = 0; line < problem.columns; line += 4) {
        __builtin_prefetch(row + narrow_packing_prefetch_packets + line);
      }
      Lane* to = packed + (t - start) * padded;
      for (std::uint64_t v = 0; v < whole; ++v) store(to + v * lanes, gather(row + v * lanes));
      if (whole * lanes == problem.columns) continue;
      store(to + whole * lanes, Vector{});
      std::uint64_t column = whole * lanes;
      if (gathered_partial) {
        for (; column < problem.columns; ++column) {
          to[whole * lanes + gathered_lane(column - whole * lanes)] = lane0(row[column]);
        }
      }
      for (; column + Chunks::lanes <= problem.columns; column += Chunks::lanes) {
        Chunks::store(to + column, Chunks::gather(row + column));
      }
      for (; column < problem.columns; ++column) to[column] = lane0(row[column]);
    }
  }

  // Where a tile is and which terms it adds. Partial sums between blocks of
  // terms wait in `sums` (rows x padded scalars, in the packed order), in T,
  // so every element keeps its order of additions; terms before packed_from
  // are gathered from the right operand's packets.
  struct TileWork : BlockTileWork<Lane> {
    std::uint64_t column0;
    std::uint64_t padded;
    // Whether a partial vector's lanes lie in gathered order, as gathered
    // packets give them, or in column order.
    bool gathered_partial;
    // The tile's rows of the left operand, lane 0 of terms [start, end),
    // term by term (narrow_tile_rows lanes a term), or null.
    const Lane* left_packed;
  };

  // The sums handed in for a tile's vector v of row r, in the lane order
  // that the tile stores them in; lanes past the last column start from zero.
  static Vector handed_in_sums(const DotProblem<T>& problem, const TileWork& work, std::uint64_t r,
                               std::uint64_t v) {
    const Packet<T>* from = problem.result + (work.row0 + r) * problem.columns + work.column0;
    const std::uint64_t width = problem.columns - work.column0;
    if ((v + 1) * lanes <= width) return gather_sums(from + v * lanes);
    Vector sums{};
    for (std::uint64_t column = v * lanes; column < width; ++column) {
      const std::uint64_t lane = column - v * lanes;
      sums[work.gathered_partial ? gathered_lane(lane) : lane] = lane0(from[column]);
    }
    return sums;
  }

  template <std::uint64_t rows, std::uint64_t vectors>
  static void tile(const DotProblem<T>& problem, const TileWork& work) {
    Vector acc[rows][vectors];
    const bool handed_in = work.first && problem.continues;
#pragma GCC unroll 32
    for (std::uint64_t r = 0; r < rows; ++r) {
#pragma GCC unroll 32
      for (std::uint64_t v = 0; v < vectors; ++v) {
        if (handed_in) {
          acc[r][v] = handed_in_sums(problem, work, r, v);
          continue;
        }
        acc[r][v] =
            work.first ? Vector{}
                       : load(work.sums + (work.row0 + r) * work.padded + work.column0 + v * lanes);
      }
    }
    const Packet<T>* const left = problem.left + work.row0 * problem.inner;
    const auto add_terms = [&](std::uint64_t from, std::uint64_t to, auto columns_of,
                               auto factor_of) __attribute__((always_inline)) {
      for (std::uint64_t t = from; t < to; ++t) {
        Vector columns[vectors];
#pragma GCC unroll 32
        for (std::uint64_t v = 0; v < vectors; ++v) columns[v] = columns_of(t, v);
#pragma GCC unroll 32
        for (std::uint64_t r = 0; r < rows; ++r) {
          const Vector factor = splat(factor_of(t, r));
#pragma GCC unroll 32
          for (std::uint64_t v = 0; v < vectors; ++v) {
            const Vector product = factor * columns[v];
            acc[r][v] = acc[r][v] + product;
          }
        }
      }
    };
    if (work.start < work.packed_from) {
      add_terms(
          work.start, work.packed_from < work.end ? work.packed_from : work.end,
          [&](std::uint64_t t, std::uint64_t v) {
            return gather(problem.right + t * problem.right_row_stride + work.column0 + v * lanes);
          },
          [&](std::uint64_t t, std::uint64_t r) {
            __builtin_prefetch(left + r * problem.inner + t + narrow_prefetch_packets);
            return lane0(left[r * problem.inner + t]);
          });
    }
    const std::uint64_t packed_start =
        work.start > work.packed_from ? work.start : work.packed_from;
    const auto packed_columns = [&](std::uint64_t t, std::uint64_t v) {
      return load(work.packed + (t - work.packed_from) * work.padded + work.column0 + v * lanes);
    };
    if (work.left_packed == nullptr) {
      add_terms(packed_start, work.end, packed_columns, [&](std::uint64_t t, std::uint64_t r) {
        return lane0(left[r * problem.inner + t]);
      });
    } else {
      add_terms(packed_start, work.end, packed_columns, [&](std::uint64_t t, std::uint64_t r) {
        return work.left_packed[(t - work.start) * narrow_tile_rows + r];
      });
    }
    if (!work.last) {
      Lane* const sums = work.sums + work.row0 * work.padded + work.column0;
      const std::uint64_t padded = work.padded;
      each_accumulator<rows, vectors>(
          [&](std::uint64_t r, std::uint64_t v)
              __attribute__((always_inline)) { store(sums + r * padded + v * lanes, acc[r][v]); });
      return;
    }
    // Each accumulator's stores unrolled, with the fields in locals: a loop
    // over them kept the sums on the stack and read the fields again after
    // every store, which took longer than the sums themselves for few terms.
    const std::uint64_t columns = problem.columns;
    Packet<T>* const out = problem.result + work.row0 * columns + work.column0;
    const std::uint64_t width = columns - work.column0;
    if (width >= vectors * lanes) {
      // Each vector's sums pass a barrier before their permutes: the
      // compiler otherwise computed every permutation of the tile first and
      // kept them on the stack (float32's doubled the time of the stores).
      each_accumulator<rows, vectors>([&](std::uint64_t r, std::uint64_t v)
                                          __attribute__((always_inline)) {
                                            Vector sums = acc[r][v];
                                            asm volatile("" : "+v"(sums)::"memory");
                                            store_gathered(out + r * columns + v * lanes, sums);
                                          });
      return;
    }
    each_accumulator<rows, vectors>(
        [&](std::uint64_t r, std::uint64_t v) __attribute__((always_inline)) {
          Packet<T>* const row = out + r * columns;
          if ((v + 1) * lanes <= width) {
            store_gathered(row + v * lanes, acc[r][v]);
            return;
          }
          Lane sums[lanes];
          store(sums, acc[r][v]);
          for (std::uint64_t column = v * lanes; column < width; ++column) {
            const std::uint64_t lane = column - v * lanes;
            store_broadcast(row + column, sums[work.gathered_partial ? gathered_lane(lane) : lane]);
          }
        });
  }

  // Rows of the tile from row0.
  static std::uint64_t tile_height(const DotProblem<T>& problem, std::uint64_t row0,
                                   std::uint64_t step) {
    return problem.rows - row0 < step ? problem.rows - row0 : step;
  }

  // Fetches the lines of a row tile's results to be written: the tiles write
  // each row a group of columns at a time, which the prefetchers do not
  // follow as they follow one stream.
  static void prefetch_result(const DotProblem<T>& problem, std::uint64_t row0,
                              std::uint64_t step) {
    if (row0 >= problem.rows) return;
    const std::uint64_t rows = tile_height(problem, row0, step);
    const Packet<T>* first = problem.result + row0 * problem.columns;
    for (std::uint64_t packet = 0; packet < rows * problem.columns; packet += 4) {
      __builtin_prefetch(first + packet, 1);
    }
  }

  // Lane 0 of a row tile's terms [start, end) of the left operand, term by
  // term, read row by row.
  static void pack_left(const DotProblem<T>& problem, std::uint64_t row0, std::uint64_t start,
                        std::uint64_t end, std::uint64_t step, Lane* packed) {
    const std::uint64_t rows = tile_height(problem, row0, step);
    for (std::uint64_t r = 0; r < rows; ++r) {
      const Packet<T>* row = problem.left + (row0 + r) * problem.inner;
      for (std::uint64_t t = start; t < end; ++t) {
        packed[(t - start) * narrow_tile_rows + r] = lane0(row[t]);
      }
    }
  }

  // One tile reads every packet of the right operand once whatever it does:
  // it gathers the terms straight from the packets, and only the last few
  // terms, whose last vector would read past the operand's end, are packed.
  // Two row tiles do the same a short block of terms at a time, the second
  // gathering the block again from the cache. Otherwise tiles share each
  // term: the terms go a block at a time, packed from the right operand and
  // then taken by every tile. Within a block, rows go a tile at a time and
  // columns two vectors at a time (one for the last few columns).
  static void narrow_product(const DotProblem<T>& problem) {
    const std::uint64_t padded = (problem.columns + group - 1) / group * group;
    const std::uint64_t most = problem.columns > lanes ? narrow_two_vector_rows : narrow_tile_rows;
    // With more than one column group, each would stream the whole operand
    // on its own, only the group's columns of every line wanted. (With fewer
    // columns than a vector has lanes, packing them one by one instead of
    // gathering took as long or longer.) Two row tiles read each block of
    // terms straight, the second from the cache, and take as many rows each:
    // 8 rows of two vectors on AVX2 as 6 and 2 packed took 1.4 to 1.6 times
    // as long, and [16, 200000] x [200000, 16] int32 with AVX-512 1.3 to 1.4
    // times.
    const bool direct = problem.rows <= 2 * most && problem.columns <= group;
    // Otherwise tiles keep the height that two vectors take whatever their
    // columns (taller ones of one vector were not measured over many rows).
    const std::uint64_t step = !direct               ? narrow_two_vector_rows
                               : problem.rows > most ? (problem.rows + 1) / 2
                                                     : most;
    // Many rows have few terms: one block, its partial sums never stored.
    const std::uint64_t block_terms = direct && problem.rows > most ? narrow_direct_block_terms
                                      : direct || problem.rows > narrow_rows
                                          ? problem.inner
                                          : narrow_packed_bytes / (padded * sizeof(Lane));
    std::uint64_t packed_from = 0;
    if (direct) {
      const std::uint64_t last_group = (problem.columns - 1) / group * group;
      const std::uint64_t reach = problem.columns - last_group <= lanes ? lanes : group;
      packed_from = wide_terms_end(problem, last_group, reach);
    }
    const bool blocked = problem.inner > block_terms;
    // At least one scalar each, so that every block has an address.
    const Scratch<Lane> sums(blocked ? problem.rows * padded : 1);
    const std::uint64_t packed_terms = direct                        ? problem.inner - packed_from
                                       : problem.inner < block_terms ? problem.inner
                                                                     : block_terms;
    const Scratch<Lane> packed(packed_terms * padded + 1);
    // Many rows of a few dozen terms are read row by row into a tile's
    // terms; a term-major read of them ran at a third of the speed. Rows of a
    // few terms fill a line or two each, and few rows stream well enough.
    const bool pack_left_rows =
        problem.rows > narrow_rows && problem.inner >= narrow_packed_left_terms;
    const Scratch<Lane> left_packed(pack_left_rows ? packed_terms * narrow_tile_rows : 1);
    for (std::uint64_t start = 0; start == 0 || start < problem.inner; start += block_terms) {
      const std::uint64_t end =
          problem.inner - start < block_terms ? problem.inner : start + block_terms;
      if (!direct) packed_from = start;
      pack_right(problem, packed_from, end, padded, direct, packed.values);
      for (std::uint64_t row0 = 0; row0 < problem.rows; row0 += step) {
        if (end == problem.inner)
          prefetch_result(problem, row0 + narrow_result_prefetch_rows, step);
        if (pack_left_rows) pack_left(problem, row0, start, end, step, left_packed.values);
        for (std::uint64_t column0 = 0; column0 < problem.columns; column0 += group) {
          const TileWork work{{row0, start, end, start == 0, end == problem.inner, packed_from,
                               packed.values, sums.values},
                              column0,
                              padded,
                              direct,
                              pack_left_rows ? left_packed.values : nullptr};
          const bool one_vector = problem.columns - column0 <= lanes;
          const std::uint64_t height = tile_height(problem, row0, step);
          if (one_vector) {
            with_rows<narrow_tile_rows>(
                height, [&](auto rows) { tile<decltype(rows)::value, 1>(problem, work); });
          } else {
            with_rows<narrow_two_vector_rows>(height, [&](auto rows) {
              tile<decltype(rows)::value, narrow_tile_vectors>(problem, work);
            });
          }
        }
      }
      if (end == problem.inner) break;
    }
  }
};

}  // namespace
}  // namespace HALVORN_TARGET
}  // namespace halvorn
