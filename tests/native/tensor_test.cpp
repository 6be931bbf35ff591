#include "core/storage/tensor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

#include "lanes.h"

namespace halvorn {
namespace {

using testing::lanes_of;

template <class T>
class TensorTest : public ::testing::Test {};
TYPED_TEST_SUITE(TensorTest, testing::ElementTypes);

TYPED_TEST(TensorTest, EmptyShapeHoldsOneElement) {
  const Tensor<TypeParam> tensor(Shape{}, TypeParam(5));
  EXPECT_EQ(tensor.shape.size(), 0u);
  EXPECT_EQ(tensor.data.size(), 1u);
  ASSERT_NE(tensor.data.packets, nullptr);
  EXPECT_EQ(static_cast<TypeParam>(tensor.data[0]), TypeParam(5));
}

TYPED_TEST(TensorTest, ZeroExtentGivesNullBlock) {
  for (const Shape& shape :
       {Shape{3, 0, 2}, Shape{0}, Shape{1ull << 32, 1ull << 32, 0}, Shape{0, UINT64_MAX}}) {
    const Tensor<TypeParam> tensor(shape, TypeParam(1));
    EXPECT_EQ(tensor.shape, shape);
    EXPECT_EQ(tensor.data.size(), 0u);
    EXPECT_EQ(tensor.data.packets, nullptr);
  }
}

TYPED_TEST(TensorTest, ValueConstructorFillsEveryLaneOfEveryPacket) {
  using T = TypeParam;
  const Tensor<T> tensor(Shape{2, 3}, T(5));
  EXPECT_EQ(tensor.shape, (Shape{2, 3}));
  ASSERT_EQ(tensor.data.size(), 6u);
  for (std::uint64_t i = 0; i < 6; ++i) {
    for (const T lane : lanes_of(tensor.data[i])) EXPECT_EQ(lane, T(5));
  }
  EXPECT_EQ(tensor.fill_kind, FillKind::none);
  EXPECT_EQ(tensor.fill_value, T(0));
  // One 16-byte packet per element, contiguous.
  EXPECT_EQ(reinterpret_cast<const char*>(&tensor.data[5]) -
                reinterpret_cast<const char*>(&tensor.data[0]),
            5 * 16);
}

TYPED_TEST(TensorTest, ShapeConstructorSizesWithoutFilling) {
  const Tensor<TypeParam> tensor(Shape{4, 5, 6});
  EXPECT_EQ(tensor.data.size(), 120u);
  EXPECT_NE(tensor.data.packets, nullptr);
  EXPECT_EQ(tensor.fill_kind, FillKind::none);
}

TYPED_TEST(TensorTest, MoveTakesShapeBlockAndTags) {
  using T = TypeParam;
  Tensor<T> source(Shape{2, 2}, T(9));
  source.fill_kind = FillKind::ones;
  source.fill_value = T(4);
  const Packet<T>* block = source.data.packets;

  Tensor<T> moved(std::move(source));
  EXPECT_EQ(moved.shape, (Shape{2, 2}));
  EXPECT_EQ(moved.data.packets, block);
  EXPECT_EQ(moved.data.size(), 4u);
  EXPECT_EQ(moved.fill_kind, FillKind::ones);
  EXPECT_EQ(moved.fill_value, T(4));
  EXPECT_EQ(static_cast<T>(moved.data[3]), T(9));

  EXPECT_EQ(source.shape.size(), 0u);
  EXPECT_EQ(source.data.size(), 0u);
  EXPECT_EQ(source.data.packets, nullptr);
}

TYPED_TEST(TensorTest, BufferResize) {
  using T = TypeParam;
  PacketBuffer<T> buffer;
  EXPECT_EQ(buffer.size(), 0u);
  EXPECT_EQ(buffer.packets, nullptr);

  ASSERT_TRUE(buffer.resize(3));
  ASSERT_NE(buffer.packets, nullptr);
  buffer[2] = T(11);
  const Packet<T>* block = buffer.packets;
  ASSERT_TRUE(buffer.resize(3));  // same count: block and contents stay
  EXPECT_EQ(buffer.packets, block);
  EXPECT_EQ(static_cast<T>(buffer[2]), T(11));

  ASSERT_TRUE(buffer.resize(5));
  EXPECT_EQ(buffer.size(), 5u);
  ASSERT_NE(buffer.packets, nullptr);

  PacketBuffer<T> taken(std::move(buffer));
  EXPECT_EQ(taken.size(), 5u);
  EXPECT_EQ(buffer.size(), 0u);
  EXPECT_EQ(buffer.packets, nullptr);

  ASSERT_TRUE(taken.resize(0));
  EXPECT_EQ(taken.size(), 0u);
  EXPECT_EQ(taken.packets, nullptr);
}

TEST(TensorDeathTest, ImpossibleAllocationsEndTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const char* message = "^Failed to allocate memory!\n$";
  // The count alone overflows 64 bits.
  EXPECT_EXIT(Tensor<float>(Shape{1ull << 32, 1ull << 32}), ::testing::ExitedWithCode(1), message);
  // The count fits, the block size (count x 16) does not.
  EXPECT_EXIT(Tensor<short>(Shape{1ull << 61}), ::testing::ExitedWithCode(1), message);
  // The block size fits in 64 bits but no heap can give it.
  EXPECT_EXIT(Tensor<double>(Shape{1ull << 58}), ::testing::ExitedWithCode(1), message);
}

TEST(ElementCount, IsTheProductOfExtents) {
  EXPECT_EQ(element_count(Shape{}), 1u);
  EXPECT_EQ(element_count(Shape{2, 3, 4}), 24u);
  EXPECT_EQ(element_count(Shape{UINT64_MAX}), UINT64_MAX);
  EXPECT_EQ(element_count(Shape{UINT64_MAX, 0}), 0u);
}

}  // namespace
}  // namespace halvorn
