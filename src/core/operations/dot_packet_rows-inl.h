// A product of a few columns, fewer than half a vector's lanes, one build per
// instruction set of 32-byte vectors or wider (through dot_kernels-inl.h). A
// packet already holds its value in every one of its 16 bytes' lanes, which
// is where a few columns' products need it: a vector of several rows'
// packets at one term, times the term's few columns repeated once a packet,
// fills every lane with a product. One column a lane instead would leave
// most lanes of every multiply and add idle (two of eight for two float64
// columns), and such products wait on their multiplies and adds.
#include <immintrin.h>

#include "core/operations/dot_vectors-inl.h"

namespace halvorn {
namespace HALVORN_TARGET {
namespace {

// Rows of a tile: their packets' addresses fill 8 of the 16 general
// registers. With 32 rows, the compiler kept them in vector registers and
// on the stack, and moved them to general ones for every load.
constexpr std::uint64_t packet_rows_tile_rows = 8;
// The packed terms of one block of the right operand: a term is a vector, so
// a block of 2048 terms (128 KiB with AVX-512) stays in the second-level
// cache while every row tile reads it.
constexpr std::uint64_t packet_rows_block_terms = 2048;
// Products of more rows than this take these tiles only with fewer terms
// than packet_rows_most_terms: [100000, 16] x [16, 2] took 1.2 times as long
// as in the narrow product, [100000, 64] x [64, 2] twice as long, where
// [100000, 8] x [8, 2] took half as long (with AVX-512 on Zen 4).
constexpr std::uint64_t packet_rows_few_rows = 64;
constexpr std::uint64_t packet_rows_most_terms = 16;
// How far ahead of a tile each of its rows of the left operand is fetched.
constexpr std::uint64_t packet_rows_prefetch_packets = 24;

template <class T>
struct PacketRows : Widest<T> {
  HALVORN_VECTOR_NAMES(Widest<T>);
  // 16-byte chunks per vector.
  static constexpr std::uint64_t chunks = Widest<T>::packets;

  // Chunks per row: one packet's lanes hold up to packet_lanes columns, two
  // (the packet twice) up to twice as many.
  static std::uint64_t chunks_per_row(std::uint64_t columns) {
    return columns <= packet_lanes ? 1 : 2;
  }

  // Fewer rows than a vector holds leave some of its lanes idle: float64's
  // narrow product is faster then ([1, 100000] x [100000, 2] took 0.13 ms
  // there against 0.19 here), narrower types' gather more packets a vector
  // (int16 0.39 against 0.22). Many rows of many terms are better read row
  // by row (the narrow product packs them), as these tiles read every row
  // a term at a time.
  static bool suits(const DotProblem<T>& problem) {
    return chunks >= 2 && problem.right_column_stride == 1 && problem.columns >= 2 &&
           problem.columns <= lanes / 2 &&
           (problem.rows >= chunks / chunks_per_row(problem.columns) || sizeof(Lane) < 8) &&
           (problem.rows <= packet_rows_few_rows || problem.inner < packet_rows_most_terms);
  }

  // Chunk c of the vector the packet at(c), 16-byte loads joined pairwise.
  // (On Zen 4, broadcasting each packet into its chunks under a mask took a
  // quarter longer.)
  template <std::uint64_t bytes, class At>
  [[gnu::always_inline]] static typename VectorOf<Lane, bytes>::type joined(At at) {
    if constexpr (bytes == 16) {
      typename VectorOf<Lane, 16>::type chunk;
      std::memcpy(&chunk, at(0), 16);
      return chunk;
    } else {
      constexpr std::uint64_t half_lanes = bytes / 2 / sizeof(Lane);
      const auto low = joined<bytes / 2>(at);
      const auto high = joined<bytes / 2>([at](std::uint64_t c) { return at(c + bytes / 32); });
      return [&]<std::size_t... lane>(std::index_sequence<lane...>) __attribute__((always_inline)) {
        return __builtin_shufflevector(low, high, lane...);
      }(std::make_index_sequence<2 * half_lanes>{});
    }
  }

  // The packet in every chunk, in one broadcast load: one row alone (a row
  // vector times a few columns) takes it, where joining four copies of it
  // kept the shuffle units busy (Zen 4 runs a 64-byte shuffle as two).
  [[gnu::always_inline]] static Vector broadcast(const Packet<T>* packet) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(packet));
    if constexpr (HALVORN_VECTOR_BYTES == 64) {
      return reinterpret_cast<Vector>(_mm512_broadcast_i32x4(chunk));
    } else {
      return reinterpret_cast<Vector>(_mm256_broadcastsi128_si256(chunk));
    }
  }

  // Each term's columns, lane j the term's column j % width (past the last
  // column, whatever lies there: those lanes are never stored), a whole
  // vector a term: permutations of the vector loads that cover the term's
  // first `width` packets (one to four), for the terms before loaded_end;
  // the last terms, whose loads would pass the operand's end, go one lane at
  // a time.
  template <std::uint64_t width>
  static constexpr std::uint64_t column_loads = (width + chunks - 1) / chunks;

  template <std::uint64_t width>
  static std::uint64_t loaded_end(const DotProblem<T>& problem) {
    return wide_terms_end(problem, 0, column_loads<width> * chunks);
  }

  template <std::uint64_t width>
  [[gnu::always_inline]] static Vector loaded_columns(const Packet<T>* row) {
    if constexpr (column_loads<width> <= 2) {
      const Vector first = load(row);
      const Vector second = column_loads<width> == 2 ? load(row + chunks) : first;
      return shuffle(first, second, [](std::size_t j) { return j % width * packet_lanes; });
    } else {
      // int16's 16 columns with AVX-512, or 8 with AVX2: each half of the
      // columns from two loads, then the halves joined.
      static_assert(column_loads<width> == 4 && width == 4 * chunks);
      constexpr std::uint64_t half = width / 2;
      const auto from_pair = [](std::size_t j) { return j % half * packet_lanes; };
      const Vector low = shuffle(load(row), load(row + chunks), from_pair);
      const Vector high = shuffle(load(row + 2 * chunks), load(row + 3 * chunks), from_pair);
      return shuffle(low, high, [](std::size_t j) {
        return j % width < half ? j % width : lanes + j % width - half;
      });
    }
  }

  // Terms [start, end) packed, a vector a term.
  template <std::uint64_t width>
  static void pack_right(const DotProblem<T>& problem, std::uint64_t start, std::uint64_t end,
                         Lane* packed) {
    const std::uint64_t loaded = loaded_end<width>(problem);
    std::uint64_t t = start;
    for (; t < end && t < loaded; ++t) {
      store(packed + (t - start) * lanes,
            loaded_columns<width>(problem.right + t * problem.right_row_stride));
    }
    for (; t < end; ++t) {
      const Packet<T>* row = problem.right + t * problem.right_row_stride;
      Lane* to = packed + (t - start) * lanes;
      for (std::uint64_t j = 0; j < lanes; ++j) {
        to[j] = j % width < problem.columns ? lane0(row[j % width]) : Lane{};
      }
    }
  }

  // Partial sums between blocks of terms wait in `sums`, a vector per tile
  // vector.
  using TileWork = BlockTileWork<Lane>;

  // The sums handed in for a tile vector whose rows start at row0, lane j
  // that of row row0 + j / width, column j % width; lanes past the last row
  // or column start from zero.
  template <std::uint64_t width>
  static Vector handed_in_sums(const DotProblem<T>& problem, std::uint64_t row0) {
    Lane sums[lanes];
    for (std::uint64_t j = 0; j < lanes; ++j) {
      const std::uint64_t row = row0 + j / width, column = j % width;
      sums[j] = row < problem.rows && column < problem.columns
                    ? lane0(problem.result[row * problem.columns + column])
                    : Lane{};
    }
    return load(sums);
  }

  // Rows [row0, row0 + vectors * rows_per_vector) (those past the last row
  // read it again, and are never stored), over terms [start, end).
  template <std::uint64_t per_row, std::uint64_t vectors, bool one_row = false>
  static void tile(const DotProblem<T>& problem, const TileWork& work) {
    constexpr std::uint64_t rows_per_vector = chunks / per_row;
    constexpr std::uint64_t width = per_row * packet_lanes;
    const Packet<T>* rows[vectors * rows_per_vector];
    for (std::uint64_t i = 0; i < vectors * rows_per_vector; ++i) {
      const std::uint64_t row = work.row0 + i < problem.rows ? work.row0 + i : problem.rows - 1;
      rows[i] = problem.left + row * problem.inner;
    }
    Lane* const sums = work.sums + work.row0 / rows_per_vector * lanes;
    Vector acc[vectors];
    const bool handed_in = work.first && problem.continues;
#pragma GCC unroll 32
    for (std::uint64_t v = 0; v < vectors; ++v) {
      if (handed_in) {
        acc[v] = handed_in_sums<width>(problem, work.row0 + v * rows_per_vector);
        continue;
      }
      acc[v] = work.first ? Vector{} : load(sums + v * lanes);
    }
    const auto add_terms = [&](std::uint64_t from, std::uint64_t to,
                               auto columns_of) __attribute__((always_inline)) {
      for (std::uint64_t t = from; t < to; ++t) {
        const Vector columns = columns_of(t);
#pragma GCC unroll 32
        for (std::uint64_t v = 0; v < vectors; ++v) {
          const Packet<T>* const* group = rows + v * rows_per_vector;
#pragma GCC unroll 32
          for (std::uint64_t i = 0; i < (one_row ? 1 : rows_per_vector); ++i) {
            __builtin_prefetch(group[i] + t + packet_rows_prefetch_packets);
          }
          const Vector factors =
              spread_lane0(one_row ? broadcast(group[0] + t)
                                   : joined<HALVORN_VECTOR_BYTES>([group, t](std::uint64_t c) {
                                       return group[c / per_row] + t;
                                     }));
          const Vector product = factors * columns;
          acc[v] = acc[v] + product;
        }
      }
    };
    const std::uint64_t packed_start =
        work.start > work.packed_from ? work.start : work.packed_from;
    add_terms(work.start, packed_start, [&](std::uint64_t t) {
      return loaded_columns<width>(problem.right + t * problem.right_row_stride);
    });
    add_terms(packed_start, work.end,
              [&](std::uint64_t t) { return load(work.packed + (t - work.packed_from) * lanes); });
    if (!work.last) {
#pragma GCC unroll 32
      for (std::uint64_t v = 0; v < vectors; ++v) store(sums + v * lanes, acc[v]);
      return;
    }
#pragma GCC unroll 32
    for (std::uint64_t v = 0; v < vectors; ++v) {
      const std::uint64_t row0 = work.row0 + v * rows_per_vector;
      [&]<std::size_t... i>(std::index_sequence<i...>) __attribute__((always_inline)) {
        ((row0 + i < problem.rows ? store_row<width, i>(problem, row0 + i, acc[v]) : void()), ...);
      }(std::make_index_sequence<rows_per_vector>{});
    }
  }

  // The results of row i of a vector of sums, from its lanes i * width on:
  // `chunks` packets at a time, each one lane broadcast, a permutation and a
  // store. The last store may reach past the row's last column into the
  // next row, whose results are stored after it; the result's last row goes
  // a packet at a time, so that no store passes the result's end, and so
  // does a tile's last row when the sums are continued: the next tile has
  // yet to read the sums handed in for the row after it.
  template <std::uint64_t width, std::uint64_t i>
  [[gnu::always_inline]] static void store_row(const DotProblem<T>& problem, std::uint64_t row,
                                               Vector sums) {
    Packet<T>* const out = problem.result + row * problem.columns;
    if (row + 1 == problem.rows || (problem.continues && (row + 1) % packet_rows_tile_rows == 0)) {
      Lane values[lanes];
      store(values, sums);
      for (std::uint64_t column = 0; column < problem.columns; ++column) {
        store_broadcast(out + column, values[i * width + column]);
      }
      return;
    }
    [&]<std::size_t... q>(std::index_sequence<q...>) __attribute__((always_inline)) {
      ((q * chunks < problem.columns ? store_results<width, i, q>(out, sums) : void()), ...);
    }(std::make_index_sequence<(width + chunks - 1) / chunks>{});
  }

  // Packets [q * chunks, (q + 1) * chunks) of row i's results.
  template <std::uint64_t width, std::uint64_t i, std::uint64_t q>
  [[gnu::always_inline]] static void store_results(Packet<T>* out, Vector sums) {
    PacketRows::store_packets(out + q * chunks, shuffle(sums, sums, [](std::size_t j) {
                                return i * width + q * chunks + j / packet_lanes;
                              }));
  }

  // One tile loads its terms' columns straight from the right operand but
  // for the last few, packed. Otherwise the terms go a block at a time,
  // packed and then taken by every row tile; partial sums wait between
  // blocks.
  template <std::uint64_t per_row>
  static void products(const DotProblem<T>& problem) {
    constexpr std::uint64_t rows_per_vector = chunks / per_row;
    constexpr std::uint64_t width = per_row * packet_lanes;
    constexpr std::uint64_t vectors_per_tile = packet_rows_tile_rows / rows_per_vector;
    const bool direct = problem.rows <= packet_rows_tile_rows;
    const std::uint64_t block_terms =
        direct || problem.inner < packet_rows_block_terms ? problem.inner : packet_rows_block_terms;
    const bool blocked = problem.inner > block_terms;
    const std::uint64_t row_vectors = (problem.rows + rows_per_vector - 1) / rows_per_vector;
    const std::uint64_t packed_from = direct ? loaded_end<width>(problem) : 0;
    // At least one scalar each, so that every block has an address.
    const Scratch<Lane> sums(blocked ? row_vectors * lanes : 1);
    const Scratch<Lane> packed((direct ? problem.inner - packed_from : block_terms) * lanes + 1);
    for (std::uint64_t start = 0; start == 0 || start < problem.inner; start += block_terms) {
      const std::uint64_t end =
          problem.inner - start < block_terms ? problem.inner : start + block_terms;
      const std::uint64_t block_packed_from = direct ? packed_from : start;
      pack_right<width>(problem, block_packed_from, end, packed.values);
      for (std::uint64_t row0 = 0; row0 < problem.rows; row0 += packet_rows_tile_rows) {
        const TileWork work{
            row0,          start,      end, start == 0, end == problem.inner, block_packed_from,
            packed.values, sums.values};
        const std::uint64_t vectors = (problem.rows - row0 + rows_per_vector - 1) / rows_per_vector;
        with_rows<vectors_per_tile>(vectors, [&](auto count) {
          if (problem.rows - row0 == 1) {
            tile<per_row, 1, true>(problem, work);
          } else {
            tile<per_row, decltype(count)::value>(problem, work);
          }
        });
      }
      if (end == problem.inner) break;
    }
  }

  static void packet_rows(const DotProblem<T>& problem) {
    if constexpr (chunks >= 2) {
      if (chunks_per_row(problem.columns) == 1) {
        products<1>(problem);
      } else if constexpr (chunks >= 4) {
        products<2>(problem);
      }
    }
  }
};

}  // namespace
}  // namespace HALVORN_TARGET
}  // namespace halvorn
