#include "core/primitives/packet.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <type_traits>

#include "lanes.h"
#include "reference.h"

namespace halvorn {
namespace {

using testing::interesting_values;
using testing::lanes_of;
using testing::reference_add;
using testing::reference_div;
using testing::reference_mul;
using testing::reference_sub;
using testing::same_value;

template <class T>
class PacketTest : public ::testing::Test {};
TYPED_TEST_SUITE(PacketTest, testing::ElementTypes);

TYPED_TEST(PacketTest, ConstructionBroadcastsIntoEveryLane) {
  using T = TypeParam;
  for (const T value : interesting_values<T>()) {
    const Packet<T> packet(value);
    for (const T lane : lanes_of(packet)) EXPECT_TRUE(same_value(lane, value));
    EXPECT_TRUE(same_value(static_cast<T>(packet), value));
  }
}

TYPED_TEST(PacketTest, AssignmentBroadcastsIntoEveryLane) {
  using T = TypeParam;
  Packet<T> packet(T(3));
  for (const T value : interesting_values<T>()) {
    packet = value;
    for (const T lane : lanes_of(packet)) EXPECT_TRUE(same_value(lane, value));
  }
}

TYPED_TEST(PacketTest, BroadcastFillsRegister) {
  using T = TypeParam;
  const RegisterOf<T> reg = broadcast(T(7));
  T lanes[Packet<T>::lanes];
  std::memcpy(lanes, &reg, sizeof(lanes));
  for (const T lane : lanes) EXPECT_EQ(lane, T(7));
}

template <class T, class Operation, class Reference>
void expect_lanewise(Operation operation, Reference reference, const char* name) {
  for (const T a : interesting_values<T>()) {
    for (const T b : interesting_values<T>()) {
      const T expected = reference(a, b);
      const auto lanes = lanes_of(operation(Packet<T>(a), Packet<T>(b)));
      for (std::size_t lane = 0; lane < lanes.size(); ++lane) {
        EXPECT_TRUE(same_value(lanes[lane], expected))
            << name << '(' << +a << ", " << +b << ") lane " << lane << ": got " << +lanes[lane]
            << ", expected " << +expected;
      }
    }
  }
}

TYPED_TEST(PacketTest, AddSubMulMatchScalarReferenceInEveryLane) {
  using T = TypeParam;
  expect_lanewise<T>([](auto a, auto b) { return a + b; }, reference_add<T>, "add");
  expect_lanewise<T>([](auto a, auto b) { return a - b; }, reference_sub<T>, "sub");
  expect_lanewise<T>([](auto a, auto b) { return a * b; }, reference_mul<T>, "mul");
}

TYPED_TEST(PacketTest, DivisionMatchesScalarReference) {
  using T = TypeParam;
  for (const T a : interesting_values<T>()) {
    for (const T b : interesting_values<T>()) {
      if (std::is_integral_v<T> && b == 0) continue;
      const T expected = reference_div(a, b);
      const auto lanes = lanes_of(Packet<T>(a) / Packet<T>(b));
      EXPECT_TRUE(same_value(lanes[0], expected)) << +a << " / " << +b << ": got " << +lanes[0];
      for (std::size_t lane = 1; lane < lanes.size(); ++lane) {
        // Integer division fills lane 0 only; floating division every lane.
        const T other = std::is_integral_v<T> ? T(0) : expected;
        EXPECT_TRUE(same_value(lanes[lane], other)) << +a << " / " << +b << " lane " << lane;
      }
    }
  }
}

TYPED_TEST(PacketTest, EqualityLooksAtLaneZeroOnly) {
  using T = TypeParam;
  EXPECT_TRUE(Packet<T>(T(0)) == T(0));
  EXPECT_FALSE(Packet<T>(T(1)) == T(0));
  // An integer quotient has zeros in lanes 1 and up; it still equals its value.
  EXPECT_TRUE((Packet<T>(T(7)) / Packet<T>(T(1))) == T(7));
  if constexpr (std::is_floating_point_v<T>) {
    using limits = std::numeric_limits<T>;
    EXPECT_TRUE(Packet<T>(T(-0.0)) == T(0));
    EXPECT_FALSE(Packet<T>(limits::quiet_NaN()) == T(0));
    EXPECT_FALSE(Packet<T>(limits::quiet_NaN()) == limits::quiet_NaN());
    EXPECT_FALSE(Packet<T>(limits::denorm_min()) == T(0));
  }
}

TEST(PacketEdges, IntegerWrapAround) {
  EXPECT_EQ(static_cast<int>(Packet<int>(2147483647) + Packet<int>(1)), -2147483647 - 1);
  EXPECT_EQ(static_cast<int>(Packet<int>(65536) * Packet<int>(65536)), 0);
  EXPECT_EQ(static_cast<short>(Packet<short>(32767) + Packet<short>(1)), -32768);
  EXPECT_EQ(static_cast<short>(Packet<short>(-32768) - Packet<short>(1)), 32767);
  EXPECT_EQ(static_cast<short>(Packet<short>(300) * Packet<short>(300)), 24464);
}

TEST(PacketEdges, IntegerDivisionTruncatesTowardZero) {
  EXPECT_EQ(static_cast<int>(Packet<int>(7) / Packet<int>(2)), 3);
  EXPECT_EQ(static_cast<int>(Packet<int>(-7) / Packet<int>(2)), -3);
  EXPECT_EQ(static_cast<int>(Packet<int>(7) / Packet<int>(-2)), -3);
  EXPECT_EQ(static_cast<short>(Packet<short>(-7) / Packet<short>(2)), -3);
}

TEST(PacketEdges, MostNegativeDividedByMinusOneWraps) {
  const auto int_lanes = lanes_of(Packet<int>(std::numeric_limits<int>::min()) / Packet<int>(-1));
  EXPECT_EQ(int_lanes[0], std::numeric_limits<int>::min());
  EXPECT_EQ(int_lanes[1], 0);
  const auto short_lanes = lanes_of(Packet<short>(-32768) / Packet<short>(-1));
  EXPECT_EQ(short_lanes[0], -32768);
  for (std::size_t lane = 1; lane < short_lanes.size(); ++lane) EXPECT_EQ(short_lanes[lane], 0);
}

TEST(PacketEdges, FloatingPointSpecials) {
  EXPECT_EQ(static_cast<double>(Packet<double>(1e308) * Packet<double>(10.0)),
            std::numeric_limits<double>::infinity());
  const auto third = lanes_of(Packet<float>(1.0f) / Packet<float>(3.0f));
  for (const float lane : third) EXPECT_EQ(lane, 1.0f / 3.0f);
  EXPECT_TRUE(std::isnan(static_cast<float>(Packet<float>(0.0f) / Packet<float>(0.0f))));
  EXPECT_EQ(static_cast<double>(Packet<double>(-1.0) / Packet<double>(-0.0)),
            std::numeric_limits<double>::infinity());
}

}  // namespace
}  // namespace halvorn
