#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <utility>

#include "factories/constant.h"
#include "lanes.h"

namespace halvorn {
namespace {

using testing::interesting_values;
using testing::lanes_of;
using testing::same_value;

// True when every lane of every packet is bit-for-bit `value`.
template <class T>
::testing::AssertionResult every_lane_is(const Tensor<T>& tensor, T value) {
  for (std::uint64_t i = 0; i < tensor.data.size(); ++i) {
    const auto lanes = lanes_of(tensor.data[i]);
    for (std::size_t lane = 0; lane < lanes.size(); ++lane) {
      if (!same_value(lanes[lane], value)) {
        return ::testing::AssertionFailure()
               << "packet " << i << " lane " << lane << " holds " << lanes[lane];
      }
    }
  }
  return ::testing::AssertionSuccess();
}

template <class T>
class ConstantFactoryTest : public ::testing::Test {};
TYPED_TEST_SUITE(ConstantFactoryTest, testing::ElementTypes);

TYPED_TEST(ConstantFactoryTest, FillKindNamesTheFactory) {
  using T = TypeParam;
  // The tags are part of the tensor's layout, so their numbers are fixed too.
  EXPECT_EQ(static_cast<std::int32_t>(FillKind::none), 0);
  EXPECT_EQ(static_cast<std::int32_t>(FillKind::full), 1);
  EXPECT_EQ(static_cast<std::int32_t>(FillKind::zeros), 2);
  EXPECT_EQ(static_cast<std::int32_t>(FillKind::ones), 3);

  EXPECT_EQ(full<T>(Shape{2}, T(5)).fill_kind, FillKind::full);
  EXPECT_EQ(zeros<T>(Shape{2}).fill_kind, FillKind::zeros);
  EXPECT_EQ(ones<T>(Shape{2}).fill_kind, FillKind::ones);
  // Zero-element and dimensionless results are tagged all the same.
  EXPECT_EQ(full<T>(Shape{0}, T(5)).fill_kind, FillKind::full);
  EXPECT_EQ(zeros<T>(Shape{}).fill_kind, FillKind::zeros);
  EXPECT_EQ(ones<T>(Shape{3, 0}).fill_kind, FillKind::ones);
}

TYPED_TEST(ConstantFactoryTest, FullBroadcastsTheValueIntoEveryLane) {
  using T = TypeParam;
  for (const T value : interesting_values<T>()) {
    const Tensor<T> tensor = full<T>(Shape{2, 3, 2}, value);
    EXPECT_EQ(tensor.shape, (Shape{2, 3, 2}));
    ASSERT_EQ(tensor.data.size(), 12u);
    EXPECT_TRUE(every_lane_is(tensor, value)) << "value " << value;
    // fill_value belongs to the constructors alone; the factory does not record it.
    EXPECT_TRUE(same_value(tensor.fill_value, T(0)));
  }
}

TYPED_TEST(ConstantFactoryTest, ZerosArePositiveZeroInEveryLane) {
  using T = TypeParam;
  const Tensor<T> tensor = zeros<T>(Shape{3, 4});
  ASSERT_EQ(tensor.data.size(), 12u);
  // same_value compares bits, so -0.0 would fail here.
  EXPECT_TRUE(every_lane_is(tensor, T(0)));
  if constexpr (std::is_floating_point_v<T>) {
    for (std::uint64_t i = 0; i < tensor.data.size(); ++i) {
      for (const T lane : lanes_of(tensor.data[i])) EXPECT_FALSE(std::signbit(lane));
    }
  }
}

TYPED_TEST(ConstantFactoryTest, OnesAreOneInEveryLane) {
  using T = TypeParam;
  const Tensor<T> tensor = ones<T>(Shape{5, 1, 3});
  ASSERT_EQ(tensor.data.size(), 15u);
  EXPECT_TRUE(every_lane_is(tensor, T(1)));
}

TYPED_TEST(ConstantFactoryTest, FullOfZeroDiffersFromZerosOnlyInItsTag) {
  using T = TypeParam;
  const Tensor<T> zero_filled = full<T>(Shape{4}, T(0));
  EXPECT_TRUE(every_lane_is(zero_filled, T(0)));
  EXPECT_EQ(zero_filled.fill_kind, FillKind::full);
  // The binding layer moves every result into its Python object; the tag goes along.
  Tensor<T> made = zeros<T>(Shape{4});
  const Tensor<T> owner(std::move(made));
  EXPECT_EQ(owner.fill_kind, FillKind::zeros);
  EXPECT_TRUE(every_lane_is(owner, T(0)));
}

}  // namespace
}  // namespace halvorn
