// What every dot-product algorithm shares, included once per instruction set
// through dot_kernels-inl.h: vectors gathered from lane 0 of packets, working
// storage, and one output element summed on its own.
//
// Every lane of every accumulator is one output element, summed from zero over
// the terms t in increasing order, one multiply then one add per term (built
// with -ffp-contract=off, so the two are never fused). Vectorising across
// output elements keeps each element's own order, so the results are bit for
// bit those of the plain sequential loops. Integers compute in unsigned lanes
// of the same width, where wrapping is defined.
//
// A vector's lanes are collected from lane 0 of several packets: with the
// value in every lane of its packet, a blend that takes lane i from the load
// that covers the wanted packet at position i gathers them, with no shuffle
// across the vector; whole 16-byte chunks then move where the order needs it.
//
// The helpers are always inlined: a call would pass every vector through
// memory, and one product calls them once per term or per stored vector.
//
// Nothing here uses inline code from elsewhere: every function is these files'
// own or kernel_helpers-inl.h's, in this instruction set's namespace, so the
// linker can never hand a wider build's copy to the baseline.
#pragma once

#include <cstring>
#include <type_traits>
#include <utility>

#include "core/misuse/misuse.h"
#include "core/operations/dot_kernels.h"
#include "core/primitives/element.h"
#include "core/primitives/kernel_helpers-inl.h"
#include "core/storage/memory.h"

namespace halvorn {
namespace HALVORN_TARGET {
namespace {

// Vectors of `bytes` bytes over T's lanes, and how they gather packets.
template <class T, std::uint64_t bytes>
struct Vectors {
  using Lane = typename ElementTraits<T>::Lane;
  using Vector = LanesOf<T, bytes>;
  using LaneIndex = typename ElementTraits<T>::LaneIndex;
  using IndexVector = typename VectorOf<LaneIndex, bytes>::type;
  static constexpr std::uint64_t lanes = bytes / sizeof(Lane);
  static constexpr std::uint64_t packet_lanes = 16 / sizeof(Lane);
  static constexpr std::uint64_t packets = bytes / 16;  // per vector

  [[gnu::always_inline]] static Lane lane0(const Packet<T>& packet) {
    Lane value;
    std::memcpy(&value, &packet, sizeof(Lane));
    return value;
  }

  // The packet's own broadcast is inline code shared with the baseline build,
  // so the kernel fills packets by hand.
  // One broadcast and one 16-byte store: filling the lanes one by one in
  // memory and copying them would stall the copy's load on the small stores.
  [[gnu::always_inline]] static void store_broadcast(Packet<T>* to, Lane value) {
    using Chunk = typename VectorOf<Lane, 16>::type;
    const Chunk chunk = [value]<std::size_t... lane>(std::index_sequence<lane...>)
                            __attribute__((always_inline)) {
                              return Chunk{(static_cast<void>(lane), value)...};
                            }(std::make_index_sequence<packet_lanes>{});
    std::memcpy(static_cast<void*>(to), &chunk, 16);
  }

  [[gnu::always_inline]] static Vector load(const void* from) {
    return HALVORN_TARGET::load<Vector>(from);
  }

  [[gnu::always_inline]] static void store(void* to, Vector value) {
    HALVORN_TARGET::store(to, value);
  }

  // `value` over the packets from `to`, through a vector type that may sit
  // anywhere and alias them: a copy into a packet (store) went out as two
  // 8-byte stores from general registers, which made the short sums twice
  // as slow as the tiles for many rows.
  typedef Vector Unaligned __attribute__((aligned(1), may_alias));
  [[gnu::always_inline]] static void store_packets(Packet<T>* to, Vector value) {
    *reinterpret_cast<Unaligned*>(to) = value;
  }

  // Every lane `value`, as one broadcast (an add to a zero vector would be a
  // real add for floating point).
  template <std::size_t... lane>
  [[gnu::always_inline]] static Vector splat(Lane value, std::index_sequence<lane...>) {
    return Vector{(static_cast<void>(lane), value)...};
  }
  [[gnu::always_inline]] static Vector splat(Lane value) {
    return splat(value, std::make_index_sequence<lanes>{});
  }

  template <class Function, std::size_t... lane>
  [[gnu::always_inline]] static IndexVector indices(Function f, std::index_sequence<lane...>) {
    return IndexVector{static_cast<LaneIndex>(f(lane))...};
  }
  // Lane i of the result from lane f(i) of a (below lanes) or of b (from lanes up).
  template <class Function>
  [[gnu::always_inline]] static Vector shuffle(Vector a, Vector b, Function f) {
    return __builtin_shuffle(a, b, indices(f, std::make_index_sequence<lanes>{}));
  }

  // One term of a sequential sum in scalars, as the vector lanes do it.
  [[gnu::always_inline]] static Lane multiply_add(Lane sum, Lane x, Lane y) {
    if constexpr (std::is_floating_point_v<Lane>) {
      const Lane product = x * y;
      return sum + product;
    } else {
      // unsigned short would widen to int, where the product can overflow.
      using Product = std::conditional_t<(sizeof(Lane) < sizeof(unsigned)), unsigned, Lane>;
      return static_cast<Lane>(
          sum + static_cast<Lane>(static_cast<Product>(x) * static_cast<Product>(y)));
    }
  }

  // Every lane of each packet loaded in `loaded` from the packet's lane 0.
  // Floating-point packets hold their value in every lane already: every
  // operation on them is lane-wise. An integer quotient holds it in lane 0
  // alone, and a sum with one carries the other operand's lanes beside it.
  // With `only_lane0`, whatever any packet's other lanes hold.
  template <bool only_lane0 = false>
  [[gnu::always_inline]] static Vector spread_lane0(Vector loaded) {
    if constexpr (std::is_floating_point_v<Lane> && !only_lane0) {
      return loaded;
    } else {
      return shuffle(loaded, loaded, [](std::size_t i) { return i / packet_lanes * packet_lanes; });
    }
  }

  // One vector from packet_lanes loads, load(m) covering `packets` packets:
  // lane packet_lanes * j + m comes from load m, where it is that load's
  // packet j.
  template <bool only_lane0 = false, class Load>
  [[gnu::always_inline]] static Vector blend(Load load_of) {
    Vector gathered = spread_lane0<only_lane0>(load_of(0));
    [&]<std::size_t... m>(std::index_sequence<m...>) __attribute__((always_inline)) {
      ((gathered =
            shuffle(gathered, spread_lane0<only_lane0>(load_of(m + 1)),
                    [](std::size_t i) { return i % packet_lanes == m + 1 ? lanes + i : i; })),
       ...);
    }(std::make_index_sequence<packet_lanes - 1>{});
    return gathered;
  }

  // Lane 0 of `lanes` consecutive packets, in the order of gathered_packet.
  [[gnu::always_inline]] static Vector gather(const Packet<T>* from) {
    return blend([from](std::size_t m) { return load(from + packets * m); });
  }
  // As gather(), for sums handed in to continue: their packets promise lane 0
  // alone, where a float packet otherwise holds its value in every lane.
  [[gnu::always_inline]] static Vector gather_sums(const Packet<T>* from) {
    return blend<true>([from](std::size_t m) { return load(from + packets * m); });
  }
  // Which of the packets gather() read sits in lane i.
  static constexpr std::uint64_t gathered_packet(std::uint64_t i) {
    return packets * (i % packet_lanes) + i / packet_lanes;
  }
  // The lane in which gather() puts packet p of those it reads.
  static constexpr std::uint64_t gathered_lane(std::uint64_t p) {
    return p % packets * packet_lanes + p / packets;
  }

  // The inverse of gather(): the `lanes` packets from `to`, packet
  // gathered_packet(i) all lane i of `value`. A vector's worth of packets at a
  // time, each one permutation of `value` and one store; with `stream`,
  // non-temporal stores a packet at a time (packets are only 16-byte
  // aligned).
  [[gnu::always_inline]] static void store_gathered(Packet<T>* to, Vector value,
                                                    bool stream = false) {
    [&]<std::size_t... k>(std::index_sequence<k...>) __attribute__((always_inline)) {
      ((put(to + packets * k,
            shuffle(value, value,
                    [](std::size_t lane) {
                      const std::size_t packet = packets * k + lane / packet_lanes;
                      return (packet % packets) * packet_lanes + packet / packets;
                    }),
            stream)),
       ...);
    }(std::make_index_sequence<packet_lanes>{});
  }
  [[gnu::always_inline]] static void put(Packet<T>* to, Vector value, bool stream) {
    if (!stream) {
      store(to, value);
      return;
    }
    __m128i chunks[packets];
    std::memcpy(chunks, &value, sizeof(Vector));
    for (std::uint64_t c = 0; c < packets; ++c) HALVORN_TARGET::put<true>(to + c, chunks[c]);
  }

  // Chunk g of vector j becomes chunk j of vector g (chunks of 16 bytes): the
  // first chunks of every vector gather in the first vector, and so on.
  [[gnu::always_inline]] static void transpose_chunks(Vector (&chunks)[packets]) {
    if constexpr (packets > 1) {
      // Of the chunks of a then b, the even ones and the odd ones.
      const auto evens = [](Vector a, Vector b) {
        return shuffle(a, b, [](std::size_t i) {
          return 2 * (i / packet_lanes) * packet_lanes + i % packet_lanes;
        });
      };
      const auto odds = [](Vector a, Vector b) {
        return shuffle(a, b, [](std::size_t i) {
          return (2 * (i / packet_lanes) + 1) * packet_lanes + i % packet_lanes;
        });
      };
      if constexpr (packets == 2) {
        const Vector a = chunks[0], b = chunks[1];
        chunks[0] = evens(a, b);
        chunks[1] = odds(a, b);
      } else {
        static_assert(packets == 4);
        const Vector t0 = evens(chunks[0], chunks[1]), t1 = odds(chunks[0], chunks[1]);
        const Vector t2 = evens(chunks[2], chunks[3]), t3 = odds(chunks[2], chunks[3]);
        chunks[0] = evens(t0, t2);
        chunks[1] = evens(t1, t3);
        chunks[2] = odds(t0, t2);
        chunks[3] = odds(t1, t3);
      }
    }
  }
};

// The vectors of this build's full width.
template <class T>
using Widest = Vectors<T, HALVORN_VECTOR_BYTES>;

// The names of Vectors that an algorithm deriving from Base = Vectors<T, ...>
// uses unqualified: a class template sees no name of a base that depends on
// its parameters until they are declared, and this declares them once for
// every algorithm.
#define HALVORN_VECTOR_NAMES(Base) \
  using typename Base::Lane;       \
  using typename Base::Vector;     \
  using Base::blend;               \
  using Base::gather;              \
  using Base::gather_sums;         \
  using Base::gathered_lane;       \
  using Base::gathered_packet;     \
  using Base::lane0;               \
  using Base::lanes;               \
  using Base::load;                \
  using Base::multiply_add;        \
  using Base::packet_lanes;        \
  using Base::packets;             \
  using Base::shuffle;             \
  using Base::splat;               \
  using Base::spread_lane0;        \
  using Base::store;               \
  using Base::store_broadcast;     \
  using Base::store_gathered;      \
  using Base::store_packets

// Working storage for `count` lanes, given back however the kernel is left.
// It comes from the packet blocks that tensors use, which keep a released
// block of a large size for the next request of that size: from the heap, the
// packed blocks of a matrix product were faulted in afresh at every product
// (500 to 1000 faults at 512 x 512, whose products took some 60% longer).
// Failing to get it is reported like any storage that cannot be had, which
// may throw.
template <class Lane>
struct Scratch {
  explicit Scratch(std::uint64_t count)
      : packet_count((count * sizeof(Lane) + 15) / 16),
        block(allocate_packets(packet_count, false)),
        values(static_cast<Lane*>(block.address)) {
    if (values == nullptr) {
      storage_unavailable(count * sizeof(Lane), "of working storage for a dot product");
    }
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() { release_packets(block, packet_count); }
  const std::uint64_t packet_count;
  const PacketBlock block;
  Lane* const values;
};

// Where a tile of a product blocked by terms is and which terms it adds, as
// the narrow and packet-row products share it: the block's terms [start,
// end), whether it is the first or last block, and where the packed terms and
// the partial sums between blocks wait.
template <class Lane>
struct BlockTileWork {
  std::uint64_t row0;
  std::uint64_t start;
  std::uint64_t end;
  bool first;
  bool last;
  // Terms from packed_from on come from `packed`; those before it are read
  // straight from the right operand's packets.
  std::uint64_t packed_from;
  const Lane* packed;
  Lane* sums;
};

// f(r, v) for each of a tile's rows x vectors accumulators, unrolled so that
// each accumulator stays in its own register.
template <std::uint64_t rows, std::uint64_t vectors, class Function>
[[gnu::always_inline]] inline void each_accumulator(Function f) {
#pragma GCC unroll 32
  for (std::uint64_t r = 0; r < rows; ++r) {
#pragma GCC unroll 32
    for (std::uint64_t v = 0; v < vectors; ++v) f(r, v);
  }
}

// f(std::integral_constant<min(count, most)>) for count >= 1: a tile height
// known at compile time for the rows that remain.
template <std::uint64_t most, class Function>
void with_rows(std::uint64_t count, Function f) {
  if constexpr (most == 1) {
    f(std::integral_constant<std::uint64_t, 1>{});
  } else if (count >= most) {
    f(std::integral_constant<std::uint64_t, most>{});
  } else {
    with_rows<most - 1>(count, f);
  }
}

// The terms before the returned one, whose rows of the right operand (its
// columns one packet apart) can be read `width` packets wide from column0
// without passing the operand's end. A read past the last column takes the
// next row's packets, whose lanes are never stored.
template <class T>
std::uint64_t wide_terms_end(const DotProblem<T>& problem, std::uint64_t column0,
                             std::uint64_t width) {
  if (column0 + width <= problem.columns) return problem.inner;
  const std::uint64_t stride = problem.right_row_stride;
  const std::uint64_t spilled_rows = (column0 + width - problem.columns + stride - 1) / stride;
  return spilled_rows < problem.inner ? problem.inner - spilled_rows : 0;
}

}  // namespace
}  // namespace HALVORN_TARGET
}  // namespace halvorn
