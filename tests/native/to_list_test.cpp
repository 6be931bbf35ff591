#include "core/operations/to_list.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "lanes.h"
#include "tensors.h"

namespace halvorn {
namespace {

template <class T>
class ToListTest : public ::testing::Test {};
TYPED_TEST_SUITE(ToListTest, testing::ElementTypes);

TYPED_TEST(ToListTest, ListsLaneZeroInStorageOrder) {
  using T = TypeParam;
  Tensor<T> tensor(Shape{2, 3});
  for (std::uint64_t i = 0; i < 6; ++i) {
    tensor.data[i] = T(-1);
    // Only lane 0 carries the value, as after an integer division; the other
    // lanes keep -1 and must not leak into the list.
    const T value = static_cast<T>(10 * i + 1);
    std::memcpy(static_cast<void*>(&tensor.data[i]), &value, sizeof(T));
  }
  const std::vector<unsigned char> before = testing::bytes_of(tensor);
  EXPECT_EQ(to_list(tensor), (std::vector<T>{1, 11, 21, 31, 41, 51}));
  // The tensor is only read: every lane of every packet as it was.
  EXPECT_EQ(testing::bytes_of(tensor), before);
}

TYPED_TEST(ToListTest, ZeroElementsGiveAnEmptyListAndNoDimensionsOne) {
  using T = TypeParam;
  EXPECT_TRUE(to_list(Tensor<T>(Shape{3, 0}, T(4))).empty());
  EXPECT_EQ(to_list(Tensor<T>(Shape{}, T(-3))), std::vector<T>{T(-3)});
}

}  // namespace
}  // namespace halvorn
