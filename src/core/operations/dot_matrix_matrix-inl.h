// A matrix times a matrix, one build per instruction set (through
// dot_kernels-inl.h): register tiles over packed blocks of both operands.
#include "core/operations/dot_vectors-inl.h"

namespace halvorn {
namespace HALVORN_TARGET {
namespace {

// 6 x 2 accumulators and their operands fill the 16 registers of SSE and
// AVX2. With AVX-512, 4 x 4 ran faster on Zen 4 than 6 x 4, 3 x 8 or 5 x 4
// (the inner loop of each reaches some 85% of the multiply and add rate
// either way; 4 x 4 also covers 256 and 512 rows with no short tile), and its
// 4-vector panels divide the common power-of-two widths with no padding.
#if HALVORN_VECTOR_BYTES == 64
constexpr std::uint64_t tile_rows = 4;
constexpr std::uint64_t tile_vectors = 4;
#else
constexpr std::uint64_t tile_rows = 6;
constexpr std::uint64_t tile_vectors = 2;
#endif
// Terms per block. A packed panel block is depth_block x panel_width scalars:
// 32 KiB with SSE, 64 KiB with AVX2 and 256 KiB with AVX-512, the last served
// from the second-level cache, whose bandwidth keeps the register tile busy.
// Between blocks a partial sum makes a round trip through its 16-byte result
// packet, in memory once the result outgrows the caches: 1024 terms keep
// products up to 1024 x 1024 in one block, where 512 cost 1024 x 1024 float32
// about a fifth more time.
constexpr std::uint64_t depth_block = 1024;
// A finished result at least this large (the size of the second-level cache,
// which the packed blocks share, so it could not stay there anyway) is written
// with non-temporal stores, which skip reading every line before writing it.
// From 1 MiB rather than 2, 256 x 256 products took 2 to 6% less time with
// AVX-512, and as long as before with narrower vectors.
constexpr std::uint64_t streamed_result_bytes = std::uint64_t{1} << 20;
// Scalars packed at once from each operand: the left one's lanes a row block
// at a time, the right one's a column block at a time, each a depth block
// deep. Both blocks wait in the 32 MiB last-level cache while the panels and
// row tiles go over them, so every packet of the right operand is packed once
// per column block rather than once per row block. That cache is shared with
// whatever else runs: 4 MiB blocks keep 8 MiB of it busy rather than 16, and
// held 1024 x 1024 float64 products nearer their quiet speed than 8 MiB
// blocks did while another process worked beside them.
constexpr std::uint64_t packed_block_bytes = std::uint64_t{4} << 20;

template <class T>
struct MatrixByMatrix : Widest<T> {
  HALVORN_VECTOR_NAMES(Widest<T>);
  static constexpr std::uint64_t panel_width = lanes * tile_vectors;

  // Adds to `acc` (rows x panel_width sums) the terms of `depth` packed left
  // rows (term by term, `rows` lanes each) times a packed panel block (depth x
  // panel_width).
  template <std::uint64_t rows>
  [[gnu::always_inline]] static void accumulate(Vector (&acc)[rows][tile_vectors], const Lane* left,
                                                const Lane* panel, std::uint64_t depth) {
    for (std::uint64_t t = 0; t < depth; ++t) {
      Vector right[tile_vectors];
#pragma GCC unroll 32
      for (std::uint64_t v = 0; v < tile_vectors; ++v) {
        right[v] = load(panel + t * panel_width + v * lanes);
      }
#pragma GCC unroll 32
      for (std::uint64_t r = 0; r < rows; ++r) {
        const Vector factor = splat(left[t * rows + r]);
#pragma GCC unroll 32
        for (std::uint64_t v = 0; v < tile_vectors; ++v) {
          const Vector product = factor * right[v];
          acc[r][v] = acc[r][v] + product;
        }
      }
    }
  }

  // A tile of a panel narrower than panel_width, through `sums` (rows x
  // panel_width scalars): it starts from them (first == false) or from zero.
  template <std::uint64_t rows>
  static void tile(const Lane* left, const Lane* panel, std::uint64_t depth, Lane* sums,
                   bool first) {
    Vector acc[rows][tile_vectors];
    each_accumulator<rows, tile_vectors>(
        [&](std::uint64_t r, std::uint64_t v) __attribute__((always_inline)) {
          acc[r][v] = first ? Vector{} : load(sums + r * panel_width + v * lanes);
        });
    accumulate<rows>(acc, left, panel, depth);
    each_accumulator<rows, tile_vectors>([&](std::uint64_t r, std::uint64_t v)
                                             __attribute__((always_inline)) {
                                               store(sums + r * panel_width + v * lanes, acc[r][v]);
                                             });
  }

  // A tile of a whole panel, straight from and to the result packets (rows
  // `row_stride` packets apart): partial sums wait there broadcast, in T, and
  // come back with gather(), in the panel's own order; sums handed in
  // (`handed_in`) hold theirs in lane 0 alone. `stream` writes finished sums
  // with non-temporal stores.
  template <std::uint64_t rows>
  static void tile_in_result(const Lane* left, const Lane* panel, std::uint64_t depth,
                             Packet<T>* out, std::uint64_t row_stride, bool first, bool handed_in,
                             bool stream) {
    Vector acc[rows][tile_vectors];
    each_accumulator<rows, tile_vectors>(
        [&](std::uint64_t r, std::uint64_t v) __attribute__((always_inline)) {
          const Packet<T>* sums = out + r * row_stride + v * lanes;
          if (first) {
            acc[r][v] = Vector{};
          } else {
            acc[r][v] = handed_in ? gather_sums(sums) : gather(sums);
          }
        });
    accumulate<rows>(acc, left, panel, depth);
    each_accumulator<rows, tile_vectors>(
        [&](std::uint64_t r, std::uint64_t v) __attribute__((always_inline)) {
          store_gathered(out + r * row_stride + v * lanes, acc[r][v], stream);
        });
  }

  // The column (within its panel) whose sum panel lane c holds: a full row
  // of a panel is packed with gather(), so the panel keeps gather's order.
  static constexpr std::uint64_t panel_column(std::uint64_t c) {
    return c / lanes * lanes + gathered_packet(c % lanes);
  }

  // Lane 0 of one panel's block of the right operand, packed row by row;
  // padding columns beyond the last are zero and their sums never stored.
  static void pack_panel(const DotProblem<T>& problem, std::uint64_t start, std::uint64_t depth,
                         std::uint64_t column0, std::uint64_t width, Lane* panel) {
    if (problem.right_column_stride == 1 && width == panel_width) {
      for (std::uint64_t t = 0; t < depth; ++t) {
        const Packet<T>* row = problem.right + (start + t) * problem.right_row_stride + column0;
#pragma GCC unroll 32
        for (std::uint64_t v = 0; v < tile_vectors; ++v) {
          store(panel + t * panel_width + v * lanes, gather(row + v * lanes));
        }
      }
      return;
    }
    // Padding columns get no pointer at all: one would lie past the operand.
    for (std::uint64_t c = 0; c < panel_width; ++c) {
      const std::uint64_t column = panel_column(c);
      if (column >= width) {
        for (std::uint64_t t = 0; t < depth; ++t) panel[t * panel_width + c] = Lane(0);
        continue;
      }
      const Packet<T>* from = problem.right + (column0 + column) * problem.right_column_stride +
                              start * problem.right_row_stride;
      for (std::uint64_t t = 0; t < depth; ++t) {
        panel[t * panel_width + c] = lane0(from[t * problem.right_row_stride]);
      }
    }
  }

  // Lane 0 of the left operand's rows [row0, row0 + count), terms [start,
  // start + depth), tile by tile: a tile's rows sit side by side for each
  // term, so the register tile reads them in order.
  static void pack_left(const DotProblem<T>& problem, std::uint64_t row0, std::uint64_t count,
                        std::uint64_t start, std::uint64_t depth, Lane* packed) {
    for (std::uint64_t tile0 = 0; tile0 < count; tile0 += tile_rows) {
      const std::uint64_t rows = count - tile0 < tile_rows ? count - tile0 : tile_rows;
      Lane* to = packed + tile0 * depth;
      const Packet<T>* from = problem.left + (row0 + tile0) * problem.inner + start;
      std::uint64_t t = 0;
      if constexpr (tile_rows % packet_lanes == 0 && tile_rows / packet_lanes <= 2) {
        if (rows == tile_rows) t = pack_left_terms(from, problem.inner, depth, to);
      }
      for (std::uint64_t r = 0; r < rows; ++r) {
        for (std::uint64_t u = t; u < depth; ++u) {
          to[u * rows + r] = lane0(from[r * problem.inner + u]);
        }
      }
    }
  }

  // A whole tile's terms a vector's packets at a time, as far as they go
  // (returns how far): chunk j of the blend of packet_lanes rows' loads holds
  // term j of each of those rows side by side, already the packed order; two
  // such groups of rows interleave their chunks.
  static std::uint64_t pack_left_terms(const Packet<T>* from, std::uint64_t row_stride,
                                       std::uint64_t depth, Lane* to) {
    constexpr std::uint64_t groups = tile_rows / packet_lanes;
    std::uint64_t t = 0;
    for (; depth - t >= packets; t += packets) {
      Vector blended[groups];
#pragma GCC unroll 32
      for (std::uint64_t g = 0; g < groups; ++g) {
        const Packet<T>* group = from + g * packet_lanes * row_stride + t;
        blended[g] =
            blend([group, row_stride](std::size_t m) { return load(group + m * row_stride); });
      }
      if constexpr (groups == 1) {
        store(to + t * tile_rows, blended[0]);
      } else {
        // Output lane q (of both vectors) is term q / tile_rows of row q % tile_rows.
        [&]<std::size_t... k>(std::index_sequence<k...>) {
          // Named through the base: GCC finds none of the class's using-declarations
          // inside these lambdas.
          ((Widest<T>::store(to + t * tile_rows + k * Widest<T>::lanes,
                             Widest<T>::shuffle(blended[0], blended[1],
                                                [](std::size_t lane) {
                                                  const std::size_t q = k * Widest<T>::lanes + lane;
                                                  const std::size_t row = q % tile_rows;
                                                  return row / Widest<T>::packet_lanes *
                                                             Widest<T>::lanes +
                                                         q / tile_rows * Widest<T>::packet_lanes +
                                                         row % Widest<T>::packet_lanes;
                                                }))),
           ...);
        }(std::make_index_sequence<groups>{});
      }
    }
    return t;
  }

  // Rows of the left operand and columns of the right packed at once.
  static constexpr std::uint64_t row_block =
      packed_block_bytes / sizeof(Lane) / depth_block / tile_rows * tile_rows;
  static constexpr std::uint64_t column_block =
      packed_block_bytes / sizeof(Lane) / depth_block / panel_width * panel_width;

  // The panels of columns [column0, column0 + width), terms [start, start +
  // depth), one after the other at depth x panel_width scalars each. Whole
  // panels are packed term by term across all of them, so each row of the
  // right operand is read in storage order, as the prefetchers like it,
  // rather than a panel's width from every row, a page apart.
  static void pack_columns(const DotProblem<T>& problem, std::uint64_t start, std::uint64_t depth,
                           std::uint64_t column0, std::uint64_t width, Lane* packed) {
    const std::uint64_t whole = problem.right_column_stride == 1 ? width / panel_width : 0;
    for (std::uint64_t t = 0; t < depth && whole > 0; ++t) {
      const Packet<T>* row = problem.right + (start + t) * problem.right_row_stride + column0;
      for (std::uint64_t k = 0; k < whole; ++k) {
        Lane* to = packed + (k * depth + t) * panel_width;
#pragma GCC unroll 32
        for (std::uint64_t v = 0; v < tile_vectors; ++v) {
          store(to + v * lanes, gather(row + k * panel_width + v * lanes));
        }
      }
    }
    for (std::uint64_t k = whole; k * panel_width < width; ++k) {
      const std::uint64_t rest = width - k * panel_width;
      pack_panel(problem, start, depth, column0 + k * panel_width,
                 rest < panel_width ? rest : panel_width, packed + k * depth * panel_width);
    }
  }

  // Terms [start, start + depth) of every sum: the first block starts the
  // sums from zero, or from those handed in (`handed_in`, then not `first`);
  // the last one finishes them.
  struct TermBlock {
    std::uint64_t start;
    std::uint64_t depth;
    bool first;
    bool handed_in;
    bool last;
  };

  // A tile of the last, narrower panel (`width` columns), whose sums go
  // through `sums` (tile_rows x panel_width scalars): only the real columns
  // come from and go to the result packets, rows `row_stride` packets apart.
  static void narrow_tile(const Lane* left, const Lane* panel, const TermBlock& terms,
                          Packet<T>* out, std::uint64_t row_stride, std::uint64_t rows,
                          std::uint64_t width, Lane* sums) {
    if (!terms.first) {
      for (std::uint64_t r = 0; r < rows; ++r) {
        for (std::uint64_t c = 0; c < panel_width; ++c) {
          const std::uint64_t column = panel_column(c);
          if (column < width) sums[r * panel_width + c] = lane0(out[r * row_stride + column]);
        }
      }
    }
    with_rows<tile_rows>(rows, [&](auto height) {
      tile<decltype(height)::value>(left, panel, terms.depth, sums, terms.first);
    });
    for (std::uint64_t r = 0; r < rows; ++r) {
      for (std::uint64_t c = 0; c < panel_width; ++c) {
        const std::uint64_t column = panel_column(c);
        if (column >= width) continue;
        Packet<T>* to = out + r * row_stride + column;
        if (terms.last) {
          store_broadcast(to, sums[r * panel_width + c]);
        } else {
          std::memcpy(static_cast<void*>(to), &sums[r * panel_width + c], sizeof(Lane));
        }
      }
    }
  }

  // Every row tile of the packed rows [block0, block0 + block_rows) against
  // every packed panel of the column block at column0 (`block_columns` wide).
  // Whole panels move their sums a vector at a time, `stream` writing
  // finished ones with non-temporal stores; only the last, narrower panel goes
  // through scalars.
  static void row_block_tiles(const DotProblem<T>& problem, const Lane* left, const Lane* right,
                              std::uint64_t block0, std::uint64_t block_rows, std::uint64_t column0,
                              std::uint64_t block_columns, const TermBlock& terms, bool stream,
                              Lane* sums) {
    for (std::uint64_t panel0 = 0; panel0 < block_columns; panel0 += panel_width) {
      const std::uint64_t width =
          block_columns - panel0 < panel_width ? block_columns - panel0 : panel_width;
      const Lane* const panel = right + panel0 * terms.depth;
      for (std::uint64_t tile0 = 0; tile0 < block_rows; tile0 += tile_rows) {
        const std::uint64_t rows = block_rows - tile0 < tile_rows ? block_rows - tile0 : tile_rows;
        Packet<T>* out = problem.result + (block0 + tile0) * problem.columns + column0 + panel0;
        const Lane* tile_left = left + tile0 * terms.depth;
        if (width == panel_width) {
          with_rows<tile_rows>(rows, [&](auto height) {
            tile_in_result<decltype(height)::value>(tile_left, panel, terms.depth, out,
                                                    problem.columns, terms.first, terms.handed_in,
                                                    stream);
          });
        } else {
          narrow_tile(tile_left, panel, terms, out, problem.columns, rows, width, sums);
        }
      }
    }
  }

  // Columns go a column block at a time, terms a depth block at a time, rows
  // a row block at a time and then columns a panel at a time: one packed
  // panel serves every row tile of its row block, and one packed column block
  // every row block. Between term blocks a partial sum waits in its result
  // packet (at least lane 0), in T, and comes back unchanged, so each element
  // keeps its order of additions; the last block broadcasts the finished sum
  // into the whole packet. Sums handed in to continue are read the same way
  // by the first block.
  static void matrix_by_matrix(const DotProblem<T>& problem) {
    const std::uint64_t block_depth = problem.inner < depth_block ? problem.inner : depth_block;
    const std::uint64_t padded_columns =
        (problem.columns + panel_width - 1) / panel_width * panel_width;
    const std::uint64_t right_columns =
        padded_columns < column_block ? padded_columns : column_block;
    const std::uint64_t left_rows = problem.rows < row_block ? problem.rows : row_block;
    // At least one scalar, so that an empty sum still has a block to point at.
    const Scratch<Lane> right_block(right_columns * block_depth + 1);
    const Scratch<Lane> left_block(left_rows * block_depth + 1);
    Lane* const right = right_block.values;
    Lane* const left = left_block.values;
    Lane sums[tile_rows * panel_width] = {};
    const bool large = problem.rows * problem.columns >= streamed_result_bytes / 16;
    for (std::uint64_t column0 = 0; column0 < problem.columns; column0 += column_block) {
      const std::uint64_t block_columns =
          problem.columns - column0 < column_block ? problem.columns - column0 : column_block;
      for (std::uint64_t start = 0; start == 0 || start < problem.inner; start += depth_block) {
        const std::uint64_t depth =
            problem.inner - start < depth_block ? problem.inner - start : depth_block;
        const bool handed_in = start == 0 && problem.continues;
        const TermBlock terms{start, depth, start == 0 && !handed_in, handed_in,
                              start + depth >= problem.inner};
        pack_columns(problem, start, depth, column0, block_columns, right);
        for (std::uint64_t block0 = 0; block0 < problem.rows; block0 += row_block) {
          const std::uint64_t block_rows =
              problem.rows - block0 < row_block ? problem.rows - block0 : row_block;
          pack_left(problem, block0, block_rows, start, depth, left);
          row_block_tiles(problem, left, right, block0, block_rows, column0, block_columns, terms,
                          terms.last && large, sums);
        }
        if (terms.last) break;
      }
    }
    // Non-temporal stores are weakly ordered: they reach memory before anything
    // the caller stores next.
    if (large) _mm_sfence();
  }
};

}  // namespace
}  // namespace HALVORN_TARGET
}  // namespace halvorn
