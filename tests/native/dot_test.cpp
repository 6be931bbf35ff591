#include "core/operations/dot.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/misuse/misuse.h"
#include "core/operations/arithmetic.h"
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
      {{9}, {9, 5}, {5}}, {{6, 9}, {9}, {6}},       {{4, 9}, {9, 5}, {4, 5}}, {{40}, {40, 2}, {2}},
      {{1}, {1, 1}, {1}}, {{3, 1}, {1}, {3}},       {{2, 1}, {1, 3}, {2, 3}}, {{0}, {0, 4}, {4}},
      {{3, 0}, {0}, {3}}, {{2, 0}, {0, 3}, {2, 3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.a) + " by " + ::testing::PrintToString(c.b));
    expect_dot(random_tensor<T>(c.a, generator), random_tensor<T>(c.b, generator), c.result);
  }
}

// Terms [begin, end) of a product's operand: those columns of a left one,
// whose last axis is contracted, or those rows of a right one.
template <class T>
Tensor<T> terms_of(const Tensor<T>& operand, bool left, std::uint64_t begin, std::uint64_t end) {
  const std::uint64_t axis = left ? operand.shape.size() - 1 : 0;
  const std::uint64_t extent = operand.shape[axis];
  const std::uint64_t before = left && axis == 1 ? operand.shape[0] : 1;
  const std::uint64_t after = !left && operand.shape.size() == 2 ? operand.shape[1] : 1;
  std::vector<T> values;
  for (std::uint64_t o = 0; o < before; ++o) {
    for (std::uint64_t k = begin; k < end; ++k) {
      for (std::uint64_t i = 0; i < after; ++i) {
        values.push_back(operand.data[(o * extent + k) * after + i]);
      }
    }
  }
  Shape shape = operand.shape;
  shape[axis] = end - begin;
  return tensor_of(shape, values);
}

// A product whose contracted index is cut into uneven chunks, empty ones
// among them, each continuing the sums of those before: bit for bit the
// whole product, with every algorithm's lane layout on the way.
TYPED_TEST(DotTest, ContinuedChunksMatchTheWholeProduct) {
  using T = TypeParam;
  std::mt19937_64 generator(0xc417);
  const struct {
    Shape a, b;
  } cases[] = {{{40}, {40, 70}},   {{40}, {40, 5}},    {{9, 40}, {40}},   {{300, 40}, {40}},
               {{6, 40}, {40, 3}}, {{300, 5}, {5, 2}}, {{13, 8}, {8, 9}}, {{10, 1100}, {1100, 70}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.a) + " by " + ::testing::PrintToString(c.b));
    const Tensor<T> a = random_tensor<T>(c.a, generator);
    const Tensor<T> b = random_tensor<T>(c.b, generator);
    const std::uint64_t k = c.a.back();
    const std::uint64_t bounds[] = {0, 0, k / 3, k / 3, k / 2 + 1, k - 1, k};
    std::vector<Tensor<T>> chain;
    chain.push_back(dot(terms_of(a, true, 0, 0), terms_of(b, false, 0, 0)));
    for (std::size_t i = 1; i + 1 < std::size(bounds); ++i) {
      const auto handed_in = bytes_of(chain.back());
      chain.push_back(dot_continued(chain.back(), terms_of(a, true, bounds[i], bounds[i + 1]),
                                    terms_of(b, false, bounds[i], bounds[i + 1])));
      EXPECT_EQ(bytes_of(chain[chain.size() - 2]), handed_in);
    }
    const Tensor<T> whole = dot(a, b);
    for (std::uint64_t i = 0; i < whole.data.size(); ++i) {
      ASSERT_EQ(std::memcmp(&chain.back().data[i], &whole.data[i], sizeof(Packet<T>)), 0)
          << "element " << i << ": " << +static_cast<T>(chain.back().data[i])
          << " != " << +static_cast<T>(whole.data[i]);
    }
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
  } cases[] = {// 2^40 empty rows: no elements, and the call comes back at once.
               {{1ull << 40, 0}, {0, 0}, {1ull << 40, 0}},
               {{0, 3}, {3, 4}, {0, 4}},
               {{3}, {3, 0}, {0}},
               {{0, 5}, {5}, {0}},
               {{0}, {0, 0}, {0}}};
  for (const auto& c : cases) {
    const Tensor<T> a(c.a, T(1));
    const Tensor<T> b(c.b, T(1));
    for (const Tensor<T>& result : {dot(a, b), dot_continued(Tensor<T>(c.result), a, b)}) {
      EXPECT_EQ(result.shape, c.result);
      EXPECT_EQ(result.data.size(), 0u);
      EXPECT_EQ(result.data.packets, nullptr);
    }
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
      {{3}, {3}},          {{}, {1, 1}},     {{1, 1}, {}},     {{}, {}},      {{1, 1, 1}, {1, 1}},
      {{2, 2}, {2, 2, 2}}, {{2}, {2, 1, 1}}, {{3}, {2, 2}},    {{3}, {4, 2}}, {{2, 3}, {2}},
      {{2, 3}, {5}},       {{2, 3}, {2, 2}}, {{2, 3}, {4, 2}}, {{0}, {1, 0}}, {{2, 0}, {1}},
  };
  for (const auto& c : cases) {
    const Tensor<T> a(c.a, T(1));
    const Tensor<T> b(c.b, T(1));
    EXPECT_EXIT(dot(a, b), ::testing::ExitedWithCode(1),
                "^quorva dot\\(\\) : Shape doesn't match!\n$");
  }
}

// Sums of any shape but the product's are a caller's bug, reported as the
// operands' shapes not fitting; so are operands that make no product.
TYPED_TEST(DotDeathTest, ContinuedSumsOfAnotherShapeAreMisuse) {
  using T = TypeParam;
  const struct {
    Shape sums, a, b;
  } cases[] = {{{4}, {3}, {3, 5}},       {{5, 1}, {3}, {3, 5}},    {{3}, {2, 3}, {3}},
               {{3, 2}, {2, 3}, {3, 3}}, {{2, 3}, {2, 3}, {2, 3}}, {{}, {2, 3}, {3, 3}}};
  set_misuse_policy([]() noexcept { return true; });
  const auto thrown = [](auto&& call) { return testing::thrown_misuse(call); };
  for (const auto& c : cases) {
    const Tensor<T> a(c.a, T(1));
    const Tensor<T> b(c.b, T(1));
    EXPECT_EQ(thrown([&] { dot_continued(Tensor<T>(c.sums, T(0)), a, b); }),
              thrown([&] { dot_shapes_do_not_fit(c.a, c.b); }));
  }
  set_misuse_policy(nullptr);
}

}  // namespace
}  // namespace halvorn
