// Every build of the dot kernel that this CPU can run, against the plain
// sequential sum in T, over shapes that exercise every tile and panel tail and
// more than one block of terms.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <type_traits>
#include <vector>

#include "core/dot_kernels.h"
#include "lanes.h"
#include "reference.h"

namespace halvorn {
namespace {

template <class T>
using Kernel = void (*)(const DotProblem<T>&);

template <class T>
struct Build {
  const char* name;
  Kernel<T> kernel;
  bool runs;
};

template <class T>
std::vector<Build<T>> builds() {
  __builtin_cpu_init();
  return {
      {"sse4.1", &dot_sse41::multiply<T>, true},
      {"avx2", &dot_avx2::multiply<T>, __builtin_cpu_supports("avx2") != 0},
      {"avx512", &dot_avx512::multiply<T>,
       __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")},
  };
}

template <class T>
std::vector<Packet<T>> random_packets(std::uint64_t count, std::mt19937_64& engine) {
  std::vector<Packet<T>> packets;
  packets.reserve(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    T value;
    if constexpr (std::is_integral_v<T>) {
      // Full-range integers make every sum wrap.
      value = static_cast<T>(engine());
    } else {
      std::normal_distribution<T> normal(T(0), T(1000));
      value = normal(engine);
      if (i % 17 == 3) value = T(-0.0);
    }
    packets.emplace_back(value);
  }
  return packets;
}

template <class T>
class DotKernelTest : public ::testing::Test {};
TYPED_TEST_SUITE(DotKernelTest, testing::ElementTypes);

TYPED_TEST(DotKernelTest, EveryBuildMatchesSequentialSum) {
  using T = TypeParam;
  std::mt19937_64 engine(7);
  struct Case {
    std::uint64_t rows, inner, columns;
  };
  // Tails of every tile height and panel width, empty sums, and inner lengths
  // beyond one block of terms.
  const Case cases[] = {{1, 1, 1},   {1, 0, 5},   {3, 5, 7},     {6, 3, 16},
                        {7, 9, 33},  {8, 4, 24},  {13, 2, 65},   {9, 700, 5},
                        {17, 130, 49}, {2, 1100, 3}, {1, 37, 200}, {40, 1, 1}};
  for (const Build<T>& build : builds<T>()) {
    if (!build.runs) continue;
    for (const Case& c : cases) {
      const auto left = random_packets<T>(c.rows * c.inner, engine);
      const auto right = random_packets<T>(c.inner * c.columns, engine);
      std::vector<Packet<T>> out(c.rows * c.columns, Packet<T>(T(1)));
      build.kernel(DotProblem<T>{left.data(), right.data(), out.data(), c.rows, c.inner, c.columns,
                                 c.columns, 1});
      for (std::uint64_t r = 0; r < c.rows; ++r) {
        for (std::uint64_t q = 0; q < c.columns; ++q) {
          T expected = T(0);
          for (std::uint64_t t = 0; t < c.inner; ++t) {
            expected = testing::add_term(expected, static_cast<T>(left[r * c.inner + t]),
                                    static_cast<T>(right[t * c.columns + q]));
          }
          const auto lanes = testing::lanes_of(out[r * c.columns + q]);
          for (const T lane : lanes) {
            ASSERT_TRUE(testing::same_value(lane, expected))
                << build.name << " " << c.rows << "x" << c.inner << "x" << c.columns << " at ("
                << r << ", " << q << "): " << +lane << " != " << +expected;
          }
        }
      }
    }
  }
}

// The transposed walk that matrix x vector uses: right(t, column) read with a
// column stride instead of a row stride.
TYPED_TEST(DotKernelTest, ColumnStridedRightOperand) {
  using T = TypeParam;
  std::mt19937_64 engine(11);
  const std::uint64_t inner = 150, columns = 37;
  const auto left = random_packets<T>(inner, engine);
  const auto matrix = random_packets<T>(columns * inner, engine);  // columns x inner, row-major
  for (const Build<T>& build : builds<T>()) {
    if (!build.runs) continue;
    std::vector<Packet<T>> out(columns, Packet<T>(T(0)));
    build.kernel(DotProblem<T>{left.data(), matrix.data(), out.data(), 1, inner, columns, 1, inner});
    for (std::uint64_t q = 0; q < columns; ++q) {
      T expected = T(0);
      for (std::uint64_t t = 0; t < inner; ++t) {
        expected = testing::add_term(expected, static_cast<T>(left[t]),
                                static_cast<T>(matrix[q * inner + t]));
      }
      ASSERT_TRUE(testing::same_value(static_cast<T>(out[q]), expected)) << build.name << " " << q;
    }
  }
}

}  // namespace
}  // namespace halvorn
