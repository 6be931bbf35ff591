#include "core/operations/arithmetic.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/operations/dot.h"
#include "lanes.h"
#include "reference.h"
#include "tensors.h"

namespace halvorn {
namespace {

using testing::bytes_of;
using testing::interesting_values;
using testing::lanes_of;
using testing::same_value;
using testing::tensor_of;

template <class T>
using Operation = Tensor<T> (*)(const Tensor<T>&, const Tensor<T>&);
template <class T>
using Reference = T (*)(T, T);

// Checks every lane of every packet of operation(a, b) against the scalar
// reference applied to the operands' values, and that a and b are untouched.
// Integer quotients hold their value in lane 0 only, the other lanes zero.
template <class T>
void expect_elementwise(Operation<T> operation, Reference<T> reference, bool lane_zero_only,
                        const Tensor<T>& a, const Tensor<T>& b, const char* name) {
  const auto a_before = bytes_of(a);
  const auto b_before = bytes_of(b);
  const Tensor<T> result = operation(a, b);
  EXPECT_EQ(result.shape, a.shape) << name;
  ASSERT_EQ(result.data.size(), a.data.size()) << name;
  if (result.data.size() != 0) {
    EXPECT_NE(result.data.packets, a.data.packets) << name;
    EXPECT_NE(result.data.packets, b.data.packets) << name;
  }
  for (std::uint64_t i = 0; i < result.data.size(); ++i) {
    const T x = a.data[i];
    const T y = b.data[i];
    const T expected = reference(x, y);
    const auto lanes = lanes_of(result.data[i]);
    for (std::size_t lane = 0; lane < lanes.size(); ++lane) {
      const T want = lane > 0 && lane_zero_only ? T(0) : expected;
      EXPECT_TRUE(same_value(lanes[lane], want))
          << name << '(' << +x << ", " << +y << ") lane " << lane << ": got " << +lanes[lane]
          << ", expected " << +want;
    }
  }
  EXPECT_EQ(bytes_of(a), a_before) << name << " changed its first operand";
  EXPECT_EQ(bytes_of(b), b_before) << name << " changed its second operand";
}

template <class T>
using OperationOver = void (*)(Tensor<T>&, const Tensor<T>&, const Tensor<T>&);

// Written over either operand, an operation leaves exactly the bytes that a
// new result holds.
template <class T>
void expect_same_over(Operation<T> operation, OperationOver<T> over, const Tensor<T>& a,
                      const Tensor<T>& b, const char* name) {
  const auto want = bytes_of(operation(a, b));
  Tensor<T> left(a.shape);
  if (a.data.size() != 0) std::memcpy(left.data.packets, a.data.packets, a.data.size() * 16);
  over(left, left, b);
  EXPECT_EQ(bytes_of(left), want) << name << " over its first operand";
  Tensor<T> right(b.shape);
  if (b.data.size() != 0) std::memcpy(right.data.packets, b.data.packets, b.data.size() * 16);
  over(right, a, right);
  EXPECT_EQ(bytes_of(right), want) << name << " over its second operand";
}

// On plain arrays of lane-0 values, through packets a tile at a time, an
// operation gives exactly the values of the tensor operation.
template <class T>
void expect_same_on_values(Operation<T> operation, const Tensor<T>& a, const Tensor<T>& b,
                           const char* name) {
  const Tensor<T> want = operation(a, b);
  std::vector<T> left, right, got(a.data.size());
  for (std::uint64_t i = 0; i < a.data.size(); ++i) {
    left.push_back(a.data[i]);
    right.push_back(b.data[i]);
  }
  operate_on_values<T>(name, left.data(), right.data(), got.data(), a.shape);
  for (std::uint64_t i = 0; i < got.size(); ++i) {
    const T expected = want.data[i];
    EXPECT_EQ(std::memcmp(&got[i], &expected, sizeof(T)), 0) << name << " on values at " << i;
  }
}

// b must hold no zero: div refuses it.
template <class T>
void expect_all_operations(const Tensor<T>& a, const Tensor<T>& b) {
  expect_same_on_values<T>(add<T>, a, b, "add");
  expect_same_on_values<T>(sub<T>, a, b, "sub");
  expect_same_on_values<T>(mul<T>, a, b, "mul");
  expect_same_on_values<T>(div<T>, a, b, "div");
  expect_elementwise<T>(add<T>, testing::reference_add<T>, false, a, b, "add");
  expect_elementwise<T>(sub<T>, testing::reference_sub<T>, false, a, b, "sub");
  expect_elementwise<T>(mul<T>, testing::reference_mul<T>, false, a, b, "mul");
  expect_elementwise<T>(div<T>, testing::reference_div<T>, std::is_integral_v<T>, a, b, "div");
  expect_same_over<T>(add<T>, add_over<T>, a, b, "add");
  expect_same_over<T>(sub<T>, sub_over<T>, a, b, "sub");
  expect_same_over<T>(mul<T>, mul_over<T>, a, b, "mul");
  expect_same_over<T>(div<T>, div_over<T>, a, b, "div");
}

template <class T>
class ArithmeticTest : public ::testing::Test {};
TYPED_TEST_SUITE(ArithmeticTest, testing::ElementTypes);

// Every value against every non-zero value, one pair per element. This holds
// the integer wrap-arounds (max + 1, lowest - 1, 65536 * 65536, lowest / -1,
// which wraps to lowest instead of trapping), truncation toward zero (7 / -2,
// -7 / 2), and for floating point -0.0, infinities, subnormals and NaN
// divisors, which divide without a message.
TYPED_TEST(ArithmeticTest, EveryPairOfInterestingValues) {
  using T = TypeParam;
  const std::vector<T> values = interesting_values<T>();
  std::vector<T> left;
  std::vector<T> right;
  std::uint64_t divisors = 0;
  for (const T y : values) {
    if (y == T(0)) continue;
    ++divisors;
    for (const T x : values) {
      left.push_back(x);
      right.push_back(y);
    }
  }
  const Shape shape{divisors, values.size()};
  expect_all_operations(tensor_of(shape, left), tensor_of(shape, right));
}

TYPED_TEST(ArithmeticTest, RandomOperandsOfRankThree) {
  using T = TypeParam;
  std::mt19937_64 generator(0x5eed);
  // The second spans several tiles of values.
  for (const Shape& shape : {Shape{5, 6, 7}, Shape{3, 401, 1}}) {
    const std::vector<T> left = testing::random_bits<T>(element_count(shape), generator);
    std::vector<T> right = testing::random_bits<T>(element_count(shape), generator);
    for (T& y : right) {
      if (y == T(0)) y = T(3);
    }
    expect_all_operations(tensor_of(shape, left), tensor_of(shape, right));
  }
}

TYPED_TEST(ArithmeticTest, NoDimensionsAndZeroExtents) {
  using T = TypeParam;
  // No dimensions: one element, and the result again has no dimensions.
  expect_all_operations(tensor_of<T>(Shape{}, {T(-7)}), tensor_of<T>(Shape{}, {T(2)}));
  // A zero extent: an empty result of that shape. div has no divisor to test,
  // so these zero-filled operands divide without a message.
  const Tensor<T> empty(Shape{3, 0, 2}, T(0));
  for (const Operation<T> operation : {add<T>, sub<T>, mul<T>, div<T>}) {
    const Tensor<T> result = operation(empty, empty);
    EXPECT_EQ(result.shape, (Shape{3, 0, 2}));
    EXPECT_EQ(result.data.size(), 0u);
    EXPECT_EQ(result.data.packets, nullptr);
  }
}

template <class T>
class ArithmeticDeathTest : public ::testing::Test {};
TYPED_TEST_SUITE(ArithmeticDeathTest, testing::ElementTypes);

TYPED_TEST(ArithmeticDeathTest, MismatchedShapesEndTheProcess) {
  using T = TypeParam;
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::pair<Operation<T>, const char*> operations[] = {
      {add<T>, "^quorva add\\(\\) : Shape doesn't match!\n$"},
      {sub<T>, "^quorva sub\\(\\) : Shape doesn't match!\n$"},
      {mul<T>, "^quorva mul\\(\\) : Shape doesn't match!\n$"},
      {div<T>, "^quorva div\\(\\) : Shape doesn't match!\n$"},
  };
  // Equal counts in different shapes, different counts, one element with and
  // without a dimension, and two different empty shapes. The divisors are all
  // zero: the shape test comes first.
  const std::pair<Shape, Shape> shapes[] = {{{2, 3}, {3, 2}}, {{2}, {3}},    {{}, {1}},
                                            {{1}, {1, 1}},    {{0}, {0, 0}}, {{4}, {0}}};
  for (const auto& [operation, message] : operations) {
    for (const auto& [left, right] : shapes) {
      const Tensor<T> a(left, T(1));
      const Tensor<T> b(right, T(0));
      EXPECT_EXIT(operation(a, b), ::testing::ExitedWithCode(1), message);
    }
  }
}

TYPED_TEST(ArithmeticDeathTest, ZeroDivisorEndsTheProcess) {
  using T = TypeParam;
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const char* message = "^quorva div\\(\\) : cannot divide by zero!\n$";
  const Tensor<T> a(Shape{2, 3}, T(1));
  // Only the last divisor is zero, so every divisor is looked at.
  EXPECT_EXIT(div(a, tensor_of<T>({2, 3}, {1, 2, 3, 4, 5, 0})), ::testing::ExitedWithCode(1),
              message);
  if constexpr (std::is_floating_point_v<T>) {
    EXPECT_EXIT(div(a, tensor_of<T>({2, 3}, {1, 2, 3, 4, 5, T(-0.0)})),
                ::testing::ExitedWithCode(1), message);
  }
}

// With a policy that says so, each misuse is thrown, naming what was wrong,
// and what the call had made is released on the way out (the sanitizer run
// checks that).
TYPED_TEST(ArithmeticDeathTest, RaisingPolicyThrowsInsteadOfEnding) {
  using T = TypeParam;
  set_misuse_policy([]() noexcept { return true; });
  const auto thrown = [](auto&& call) { return testing::thrown_misuse(call); };
  const Tensor<T> a(Shape{2, 3}, T(1));
  const Tensor<T> b(Shape{3, 2}, T(1));
  EXPECT_EQ(thrown([&] { mul(a, b); }),
            std::make_pair(MisuseKind::shapes,
                           std::string("quorva mul(): shapes [2, 3] and [3, 2] do not match")));
  // 1025 divisors: the zero is in the second block of the check ahead.
  std::vector<T> divisors(1025, T(1));
  divisors[1024] = T(0);
  const Tensor<T> ones(Shape{5, 205}, T(1));
  EXPECT_EQ(thrown([&] { div(ones, tensor_of<T>({5, 205}, divisors)); }),
            std::make_pair(
                MisuseKind::zero_divisor,
                std::string(
                    "quorva div(): cannot divide by zero: the divisor at index [4, 204] is zero")));
  // So does the division of plain values, whose zero is in its third tile.
  const std::vector<T> dividends(1025, T(1));
  std::vector<T> quotients(1025);
  EXPECT_EQ(thrown([&] {
              operate_on_values<T>("div", dividends.data(), divisors.data(), quotients.data(),
                                   Shape{5, 205});
            }).second,
            "quorva div(): cannot divide by zero: the divisor at index [4, 204] is zero");
  EXPECT_EQ(thrown([&] { dot(a, a); }).first, MisuseKind::shapes);
  EXPECT_EQ(thrown([] { Tensor<T>(Shape{1ull << 40}, T(0)); }),
            std::make_pair(MisuseKind::storage,
                           std::string("quorva: cannot allocate 17592186044416 bytes for a tensor "
                                       "of shape [1099511627776]")));
  EXPECT_EQ(thrown([] { Tensor<T>(Shape{1ull << 60}); }).second,
            "quorva: cannot allocate a tensor of shape [1152921504606846976]: it needs more than "
            "18446744073709551615 bytes");
  set_misuse_policy(nullptr);
  EXPECT_EXIT(add(a, b), ::testing::ExitedWithCode(1),
              "^quorva add\\(\\) : Shape doesn't match!\n$");
}

}  // namespace
}  // namespace halvorn
