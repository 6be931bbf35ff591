// Every build of the dot kernel that this CPU can run, each element type
// against the plain sequential sum in T, over shapes that exercise every tile
// and panel tail and more than one block of terms.
#include "core/operations/dot_kernels.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <type_traits>
#include <vector>

#include "builds.h"
#include "lanes.h"
#include "reference.h"

namespace halvorn {
namespace {

template <class T>
using Kernel = void (*)(const DotProblem<T>&);

// Full-range integers make every sum wrap; their packets hold other values
// beside lane 0, as the sum of a quotient (lane 0 alone) and a tensor does.
// Floating values are normal ones with, when `special` is set, -0.0,
// infinities, NaN and subnormals mixed in.
template <class T>
std::vector<Packet<T>> random_packets(std::uint64_t count, std::mt19937_64& engine,
                                      bool special = false) {
  const std::vector<T> specials = testing::interesting_values<T>();
  std::vector<Packet<T>> packets;
  packets.reserve(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    T value;
    if constexpr (std::is_integral_v<T>) {
      value = static_cast<T>(engine());
    } else {
      std::normal_distribution<T> normal(T(0), T(1000));
      value = normal(engine);
      if (i % 17 == 3) value = T(-0.0);
    }
    if (special && engine() % 5 == 0) value = specials[engine() % specials.size()];
    packets.emplace_back(value);
    if constexpr (std::is_integral_v<T>) {
      const std::uint64_t other_lanes = engine();
      std::memcpy(reinterpret_cast<char*>(&packets.back()) + 8, &other_lanes, 8);
      std::memcpy(reinterpret_cast<char*>(&packets.back()) + sizeof(T), &other_lanes,
                  8 - sizeof(T));
    }
  }
  return packets;
}

// One problem through one kernel, every lane of every result against the
// plain sequential sum in T. The right operand is inner x columns, or
// columns x inner read along its rows (as matrix x vector lays it out) when
// `transposed`. With `continues`, each sum continues from a random one handed
// in, with random bits in the lanes beside it.
template <class T>
void expect_sequential(Kernel<T> kernel, std::uint64_t rows, std::uint64_t inner,
                       std::uint64_t columns, bool transposed, bool special,
                       std::mt19937_64& engine, bool continues = false) {
  const auto left = random_packets<T>(rows * inner, engine, special);
  const auto right = random_packets<T>(inner * columns, engine, special);
  const std::uint64_t row_stride = transposed ? 1 : columns;
  const std::uint64_t column_stride = transposed ? inner : 1;
  std::vector<Packet<T>> out(rows * columns, Packet<T>(T(1)));
  if (continues) {
    out = random_packets<T>(rows * columns, engine, special);
    for (Packet<T>& packet : out) {
      const std::uint64_t other_lanes[2] = {engine(), engine()};
      std::memcpy(reinterpret_cast<char*>(&packet) + sizeof(T), other_lanes, 16 - sizeof(T));
    }
  }
  const std::vector<Packet<T>> handed_in = out;
  kernel(DotProblem<T>{left.data(), right.data(), out.data(), rows, inner, columns, row_stride,
                       column_stride, continues});
  for (std::uint64_t r = 0; r < rows; ++r) {
    for (std::uint64_t q = 0; q < columns; ++q) {
      T expected = continues ? static_cast<T>(handed_in[r * columns + q]) : T(0);
      for (std::uint64_t t = 0; t < inner; ++t) {
        expected = testing::add_term(expected, static_cast<T>(left[r * inner + t]),
                                     static_cast<T>(right[t * row_stride + q * column_stride]));
      }
      for (const T lane : testing::lanes_of(out[r * columns + q])) {
        ASSERT_TRUE(testing::same_value(lane, expected))
            << rows << "x" << inner << "x" << columns << (transposed ? " transposed" : "")
            << (continues ? " continued" : "") << " at (" << r << ", " << q << "): " << +lane
            << " != " << +expected;
      }
    }
  }
}

struct Case {
  std::uint64_t rows, inner, columns;
  bool transposed = false;
};

// Tails of every tile height and panel width, empty sums, inner lengths
// beyond one block of terms (partial sums of whole panels wait in the result
// packets, of narrower ones in scratch), and row and column counts beyond one
// packed block of either operand for every type (2048 rows or columns of
// int16 at most), the columns also with several blocks of terms. Up to 64
// columns: every tile height, a last vector reaching past the last column
// into the next row and, on the last terms, past the operand's end, blocks of
// terms (at most 2048 of them) with such a vector, and long columns of few
// terms. Fewer columns than half a vector's lanes: one tile of rows or
// several, over one block of terms or several, the last vector of rows part
// filled, one row alone.
const Case shape_cases[] = {
    {1, 1, 1},     {1, 0, 5},       {3, 5, 7},     {6, 3, 16},    {7, 9, 33},   {8, 4, 24},
    {13, 2, 65},   {9, 700, 5},     {17, 130, 49}, {2, 1100, 3},  {1, 37, 200}, {40, 1, 1},
    {5, 3, 64},    {12, 6, 129},    {4100, 3, 2},  {7, 1025, 66}, {2, 0, 3},    {7, 1030, 260},
    {2, 3, 8200},  {3, 1030, 4200}, {4100, 3, 70}, {2, 2, 1},     {9, 1, 12},   {8, 300, 8},
    {3, 2100, 5},  {64, 300, 64},   {40, 700, 33}, {11, 4500, 2}, {1000, 7, 3}, {3000, 40, 17},
    {13, 2100, 4}, {5, 2050, 2},    {12, 9, 16},   {2, 600, 6},   {1, 2100, 3}, {9, 2100, 2},
    {3, 40, 13}};

// Results of 1 MiB and more are written with non-temporal stores: whole
// panels, a narrow last panel and a short last tile. Long narrow columns
// fetch the lines of their results ahead of the tiles.
const Case large_result_cases[] = {{5, 3, 26300}, {70001, 3, 8}, {17001, 2, 40}};

// A vector times a matrix sums a tile of columns' packets at a time, over
// blocks of terms when the columns take several tiles: column counts around
// one vector, a tile and several, with a last block of terms cut short, and
// rows 4 KiB apart, which go in strips gathered a row at a time.
std::vector<Case> vector_times_matrix_cases() {
  std::vector<Case> cases;
  for (const std::uint64_t columns :
       {1u, 3u, 4u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 63u, 65u, 129u, 256u}) {
    cases.push_back({1, 19, columns});
  }
  for (const std::uint64_t columns : {1023u, 1024u, 2047u, 2048u, 2049u, 4096u, 4100u}) {
    cases.push_back({1, 2, columns});
  }
  return cases;
}

// The transposed walk that matrix x vector uses: right(t, column) read with a
// column stride instead of a row stride, rows summed eight at a time and the
// terms a vector's packets at a time, with tails of both (whole groups of
// short rows store their results a vector at a time); a few integer rows
// each summed across a vector's lanes.
const Case column_strided_cases[] = {
    {1, 150, 37, true}, {1, 1, 9, true},   {1, 3, 8, true},  {1, 7, 17, true},  {1, 0, 5, true},
    {1, 64, 16, true},  {1, 5, 1, true},   {1, 4, 24, true}, {1, 33, 40, true}, {1, 256, 64, true},
    {1, 0, 9, true},    {1, 150, 1, true}, {1, 97, 3, true}, {1, 0, 2, true},   {1, 8, 19, true}};

// -0.0, infinities, NaN and subnormals on every path: products and sums of
// them are those of the sequential loop, lane by lane. The last three: sums
// of a few terms, summed straight from the packets, and by several rows'
// packets at a time.
const Case special_value_cases[] = {{1, 23, 70}, {1, 23, 70, true}, {14, 23, 70},     {10, 23, 3},
                                    {300, 3, 1}, {300, 3, 2},       {1, 4, 300, true}};

template <class T, class Cases>
void expect_each_sequential(Kernel<T> kernel, const Cases& cases, bool special,
                            std::mt19937_64& engine, bool continues = false) {
  for (const Case& c : cases) {
    expect_sequential(kernel, c.rows, c.inner, c.columns, c.transposed, special, engine, continues);
  }
}

class DotBuilds : public testing::BuildTest {
 protected:
  // f(kernel, engine) with this build's kernel for each element type, each
  // type's engine seeded with `seed`.
  template <class Function>
  void for_each_type(std::uint64_t seed, Function f) {
    testing::for_each_type_traced([&]<class T>() {
      std::mt19937_64 engine(seed);
      f(dot_kernels_builds.of(GetParam()).of<T>(), engine);
    });
  }
};
HALVORN_TEST_EVERY_BUILD(DotBuilds);

TEST_P(DotBuilds, MatchesSequentialSum) {
  for_each_type(7, [](auto kernel, std::mt19937_64& engine) {
    expect_each_sequential(kernel, shape_cases, false, engine);
  });
}

TEST_P(DotBuilds, LargeResultsStreamTheirSums) {
  for_each_type(19, [](auto kernel, std::mt19937_64& engine) {
    expect_each_sequential(kernel, large_result_cases, false, engine);
  });
}

TEST_P(DotBuilds, VectorTimesMatrixEveryColumnTail) {
  for_each_type(13, [](auto kernel, std::mt19937_64& engine) {
    expect_each_sequential(kernel, vector_times_matrix_cases(), false, engine);
  });
}

TEST_P(DotBuilds, ColumnStridedRightOperand) {
  for_each_type(11, [](auto kernel, std::mt19937_64& engine) {
    expect_each_sequential(kernel, column_strided_cases, false, engine);
  });
}

TEST_P(DotBuilds, SpecialValuesOnEveryPath) {
  for_each_type(17, [](auto kernel, std::mt19937_64& engine) {
    expect_each_sequential(kernel, special_value_cases, true, engine);
  });
}

// Every case above once more, each sum continuing from one handed in in lane
// 0 of its result packet, whatever the other lanes hold: every lane layout of
// every algorithm starts from them, with no terms as well.
TEST_P(DotBuilds, ContinuesHandedInSums) {
  for_each_type(23, [](auto kernel, std::mt19937_64& engine) {
    expect_each_sequential(kernel, shape_cases, false, engine, true);
    expect_each_sequential(kernel, large_result_cases, false, engine, true);
    expect_each_sequential(kernel, vector_times_matrix_cases(), false, engine, true);
    expect_each_sequential(kernel, column_strided_cases, false, engine, true);
    expect_each_sequential(kernel, special_value_cases, true, engine, true);
  });
}

}  // namespace
}  // namespace halvorn
