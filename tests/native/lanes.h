// Helpers shared by the native tests: every lane of a packet, bit-exact
// comparison, and the values each element type is exercised with.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "core/primitives/packet.h"

namespace halvorn::testing {

using ElementTypes = ::testing::Types<short, int, float, double>;

template <class T>
std::array<T, Packet<T>::lanes> lanes_of(const Packet<T>& packet) {
  std::array<T, Packet<T>::lanes> lanes;
  static_assert(sizeof(lanes) == sizeof(packet));
  std::memcpy(lanes.data(), &packet, sizeof(lanes));
  return lanes;
}

// Equal bit patterns, except that any NaN matches any NaN.
template <class T>
bool same_value(T a, T b) {
  if constexpr (std::is_floating_point_v<T>) {
    if (std::isnan(a) && std::isnan(b)) return true;
  }
  return std::memcmp(&a, &b, sizeof(T)) == 0;
}

// Values every operation is checked with: zeros, small values of both signs,
// the limits and, for floating point, -0.0, the infinities, NaN and subnormals.
template <class T>
std::vector<T> interesting_values() {
  using limits = std::numeric_limits<T>;
  std::vector<T> values = {T(0), T(1), T(-1), T(2), T(-2), T(7), T(-7), T(100), T(-3)};
  values.push_back(limits::max());
  values.push_back(limits::lowest());
  values.push_back(static_cast<T>(limits::max() - 1));
  values.push_back(static_cast<T>(limits::lowest() + 1));
  if constexpr (std::is_floating_point_v<T>) {
    values.push_back(T(-0.0));
    values.push_back(T(0.1));
    values.push_back(T(1) / T(3));
    values.push_back(limits::infinity());
    values.push_back(-limits::infinity());
    values.push_back(limits::quiet_NaN());
    values.push_back(limits::denorm_min());
    values.push_back(-limits::denorm_min());
    values.push_back(limits::min());
  } else {
    values.push_back(T(300));
    values.push_back(T(1 << 8));
    if constexpr (sizeof(T) == 4) values.push_back(T(65536));
  }
  return values;
}

}  // namespace halvorn::testing
