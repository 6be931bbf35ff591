#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/operations/arithmetic.h"
#include "core/operations/dot.h"
#include "lanes.h"
#include "reference.h"
#include "tensors.h"

namespace halvorn {
namespace {

using testing::bytes_of;
using testing::lanes_of;
using testing::same_value;
using testing::tensor_of;

// The three product formulas written out one by one, each output element
// summed from zero in increasing term order.
template <class T>
std::vector<T> reference_dot(const Tensor<T>& a, const Tensor<T>& b) {
  const auto x = [&](std::uint64_t i) { return static_cast<T>(a.data[i]); };
  const auto y = [&](std::uint64_t i) { return static_cast<T>(b.data[i]); };
  std::vector<T> out;
  if (a.shape.size() == 1) {
    const std::uint64_t n = a.shape[0], m = b.shape[1];
    for (std::uint64_t i = 0; i < m; ++i) {
      T acc = T(0);
      for (std::uint64_t j = 0; j < n; ++j) acc = testing::add_term(acc, x(j), y(j * m + i));
      out.push_back(acc);
    }
  } else if (b.shape.size() == 1) {
    const std::uint64_t r = a.shape[0], c = a.shape[1];
    for (std::uint64_t k = 0; k < r; ++k) {
      T acc = T(0);
      for (std::uint64_t l = 0; l < c; ++l) acc = testing::add_term(acc, x(k * c + l), y(l));
      out.push_back(acc);
    }
  } else {
    const std::uint64_t rows = a.shape[0], inner = a.shape[1], columns = b.shape[1];
    for (std::uint64_t p = 0; p < rows; ++p) {
      for (std::uint64_t q = 0; q < columns; ++q) {
        T acc = T(0);
        for (std::uint64_t t = 0; t < inner; ++t) {
          acc = testing::add_term(acc, x(p * inner + t), y(t * columns + q));
        }
        out.push_back(acc);
      }
    }
  }
  return out;
}

// dot(a, b) has the expected shape, holds the reference's values bit for bit
// in every lane of every packet, and leaves its operands alone.
template <class T>
void expect_dot(const Tensor<T>& a, const Tensor<T>& b, const Shape& shape) {
  const auto a_before = bytes_of(a);
  const auto b_before = bytes_of(b);
  const Tensor<T> result = dot(a, b);
  EXPECT_EQ(result.shape, shape);
  const std::vector<T> expected = reference_dot(a, b);
  ASSERT_EQ(result.data.size(), expected.size());
  for (std::uint64_t i = 0; i < expected.size(); ++i) {
    for (const T lane : lanes_of(result.data[i])) {
      EXPECT_TRUE(same_value(lane, expected[i]))
          << "element " << i << ": got " << +lane << ", expected " << +expected[i];
    }
  }
  EXPECT_EQ(bytes_of(a), a_before);
  EXPECT_EQ(bytes_of(b), b_before);
}

// Integers over their whole range, so products and sums wrap. Floating values
// of both signs spread over many binades, so that the summation order and
// fused multiply-adds would show in the low bits.
template <class T>
std::vector<T> random_operand(std::uint64_t n, std::mt19937_64& generator) {
  if constexpr (std::is_integral_v<T>) {
    return testing::random_bits<T>(n, generator);
  } else {
    std::uniform_real_distribution<T> mantissa(T(-1), T(1));
    std::uniform_int_distribution<int> exponent(-16, 16);
    std::vector<T> values(n);
    for (T& value : values) value = std::ldexp(mantissa(generator), exponent(generator));
    return values;
  }
}

template <class T>
Tensor<T> random_tensor(const Shape& shape, std::mt19937_64& generator) {
  return tensor_of(shape, random_operand<T>(element_count(shape), generator));
}

template <class T>
class DotTest : public ::testing::Test {};
TYPED_TEST_SUITE(DotTest, testing::ElementTypes);

TYPED_TEST(DotTest, RandomOperandsMatchTheSequentialDefinition) {
  using T = TypeParam;
  std::mt19937_64 generator(0xd07);
  // (1, 2), (2, 1) and (2, 2), with long and single-term sums, and a zero
  // contracted length, which gives zeros of the full result shape.
  const struct {
    Shape a, b, result;
  } cases[] = {
      {{9}, {9, 5}, {5}}, {{6, 9}, {9}, {6}}, {{4, 9}, {9, 5}, {4, 5}}, {{40}, {40, 2}, {2}},
      {{1}, {1, 1}, {1}}, {{3, 1}, {1}, {3}}, {{2, 1}, {1, 3}, {2, 3}},
      {{0}, {0, 4}, {4}}, {{3, 0}, {0}, {3}}, {{2, 0}, {0, 3}, {2, 3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.a) + " by " + ::testing::PrintToString(c.b));
    expect_dot(random_tensor<T>(c.a, generator), random_tensor<T>(c.b, generator), c.result);
  }
}

TYPED_TEST(DotTest, SmallProducts) {
  using T = TypeParam;
  const auto values = [](const Tensor<T>& t) {
    std::vector<T> out;
    for (std::uint64_t i = 0; i < t.data.size(); ++i) out.push_back(t.data[i]);
    return out;
  };
  const Tensor<T> row = tensor_of<T>({3}, {1, 2, 3});
  const Tensor<T> three_by_two = tensor_of<T>({3, 2}, {1, 2, 3, 4, 5, 6});
  EXPECT_EQ(values(dot(row, three_by_two)), (std::vector<T>{22, 28}));
  const Tensor<T> two_by_three = tensor_of<T>({2, 3}, {1, 2, 3, 4, 5, 6});
  EXPECT_EQ(values(dot(two_by_three, tensor_of<T>({3}, {1, 1, 1}))), (std::vector<T>{6, 15}));
  const Tensor<T> left = tensor_of<T>({2, 2}, {1, 2, 3, 4});
  const Tensor<T> right = tensor_of<T>({2, 2}, {5, 6, 7, 8});
  EXPECT_EQ(values(dot(left, right)), (std::vector<T>{19, 22, 43, 50}));
}

// Integer quotients leave lanes 1 and up zero; dot reads lane 0 and
// broadcasts every sum into all lanes all the same.
TYPED_TEST(DotTest, SumsFillEveryLaneAlsoFromIntegerQuotients) {
  using T = TypeParam;
  const Tensor<T> a = div(tensor_of<T>({2, 2}, {8, -9, 10, 12}), Tensor<T>(Shape{2, 2}, T(2)));
  if constexpr (std::is_integral_v<T>) {
    ASSERT_EQ(lanes_of(a.data[0])[1], T(0));
  }
  expect_dot(a, a, {2, 2});
  expect_dot(tensor_of<T>({2}, {3, 5}), a, {2});
  expect_dot(a, tensor_of<T>({2}, {3, 5}), {2});
}

TYPED_TEST(DotTest, EmptyResultsKeepTheirShape) {
  using T = TypeParam;
  const struct {
    Shape a, b, result;
  } cases[] = {
      // 2^40 empty rows: no elements, and the call comes back at once.
      {{1ull << 40, 0}, {0, 0}, {1ull << 40, 0}},
      {{0, 3}, {3, 4}, {0, 4}}, {{3}, {3, 0}, {0}}, {{0, 5}, {5}, {0}}, {{0}, {0, 0}, {0}}};
  for (const auto& c : cases) {
    const Tensor<T> result = dot(Tensor<T>(c.a, T(1)), Tensor<T>(c.b, T(1)));
    EXPECT_EQ(result.shape, c.result);
    EXPECT_EQ(result.data.size(), 0u);
    EXPECT_EQ(result.data.packets, nullptr);
  }
}

// Cases whose sums tell the summation order apart, in each type's own
// precision.
template <class T>
void expect_sequential_in_own_precision() {
  constexpr int digits = std::numeric_limits<T>::digits;
  const T big = std::ldexp(T(1), digits);
  // big + 1 rounds back to big, and so does the next + 1. Summed in a wider
  // type, or the ones first, the result would be big + 2.
  const Tensor<T> ones = tensor_of<T>({3}, {1, 1, 1});
  EXPECT_EQ(static_cast<T>(dot(ones, tensor_of<T>({3, 1}, {big, 1, 1})).data[0]), big);
  // x * x = 1 + 2^(1-k) + 2^-2k rounds to 1 + 2^(1-k), which cancels the first
  // term exactly. A fused multiply-add would keep 2^-2k.
  constexpr int k = (digits + 1) / 2;
  const T x = 1 + std::ldexp(T(1), -k);
  const T first = -(1 + std::ldexp(T(1), 1 - k));
  const Tensor<T> cancelled = dot(tensor_of<T>({2}, {first, x}), tensor_of<T>({2, 1}, {1, x}));
  EXPECT_EQ(static_cast<T>(cancelled.data[0]), T(0));
}

TEST(DotEdges, FloatingSumsRoundEveryStepInTermOrder) {
  expect_sequential_in_own_precision<float>();
  expect_sequential_in_own_precision<double>();
}

template <class T>
class DotDeathTest : public ::testing::Test {};
TYPED_TEST_SUITE(DotDeathTest, testing::ElementTypes);

// None of these is a product: no rank pair applies, or the second operand's
// matching extent is smaller (reading it would run past its storage) or larger
// than the contracted length.
TYPED_TEST(DotDeathTest, ShapesThatMakeNoProductEndTheProcess) {
  using T = TypeParam;
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const struct {
    Shape a, b;
  } cases[] = {
      {{3}, {3}},       {{}, {1, 1}},     {{1, 1}, {}},       {{}, {}},
      {{1, 1, 1}, {1, 1}}, {{2, 2}, {2, 2, 2}}, {{2}, {2, 1, 1}},
      {{3}, {2, 2}},    {{3}, {4, 2}},    {{2, 3}, {2}},      {{2, 3}, {5}},
      {{2, 3}, {2, 2}}, {{2, 3}, {4, 2}}, {{0}, {1, 0}},      {{2, 0}, {1}},
  };
  for (const auto& c : cases) {
    const Tensor<T> a(c.a, T(1));
    const Tensor<T> b(c.b, T(1));
    EXPECT_EXIT(dot(a, b), ::testing::ExitedWithCode(1),
                "^quorva dot\\(\\) : Shape doesn't match!\n$");
  }
}

}  // namespace
}  // namespace halvorn
