// The bulk arithmetic of every build this CPU runs. Each gives, packet for
// packet, what Packet<T>'s operators give, whatever the count, alignment or
// aliasing. The integer division divides through floating point; these tests
// prove it exact: every int16 pair, and for int32 the edge cases plus many
// random pairs, checked against integer arithmetic.
#include "core/operations/arithmetic_kernels.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "builds.h"
#include "core/primitives/packet.h"
#include "lanes.h"

namespace halvorn {
namespace {

using DivideMany = void (*)(const void*, const void*, void*, std::uint64_t, bool) noexcept;

// The division of T's packets in the build of `set`.
template <class T>
DivideMany division_of(InstructionSet set) {
  return arithmetic_kernels_builds.of(set).of<T>().divide;
}

template <class T>
std::vector<Packet<T>> packets_of(const std::vector<T>& values) {
  std::vector<Packet<T>> packets;
  packets.reserve(values.size());
  for (const T value : values) packets.emplace_back(value);
  return packets;
}

// Bytes 2 to 15 (int16) or 4 to 15 (int32) of a quotient packet must be zero.
template <class T>
bool upper_lanes_zero(const Packet<T>& packet) {
  unsigned char bytes[16];
  std::memcpy(bytes, &packet, 16);
  for (std::size_t i = sizeof(T); i < 16; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

// Every pair of interesting values, in runs of every length up to a few wide
// registers and at every packet offset of a 64-byte line, through the build of
// `set` against the packet's own operators, into a fresh block and over the
// first operand.
template <class T>
void expect_packet_operators_bits(InstructionSet set) {
  const std::vector<T> values = testing::interesting_values<T>();
  std::vector<Packet<T>> left, right;
  for (const T a : values) {
    for (const T b : values) {
      if (!std::is_floating_point_v<T> && b == T(0)) continue;
      left.emplace_back(a);
      right.emplace_back(b);
    }
  }
  using Operator = Packet<T> (*)(const Packet<T>&, const Packet<T>&);
  const Operator operators[] = {[](const Packet<T>& a, const Packet<T>& b) { return a + b; },
                                [](const Packet<T>& a, const Packet<T>& b) { return a - b; },
                                [](const Packet<T>& a, const Packet<T>& b) { return a * b; },
                                [](const Packet<T>& a, const Packet<T>& b) { return a / b; }};
  const PacketArithmetic<T>& arithmetic = arithmetic_kernels_builds.of(set).of<T>();
  auto run = [&](int operation, const void* a, const void* b, void* out, std::uint64_t n,
                 bool streaming) {
    if (operation == 0) arithmetic.add(a, b, out, n, streaming);
    if (operation == 1) arithmetic.sub(a, b, out, n, streaming);
    if (operation == 2) arithmetic.mul(a, b, out, n, streaming);
    if (operation == 3) arithmetic.divide(a, b, out, n, streaming);
  };
  for (int operation = 0; operation < 4; ++operation) {
    for (std::uint64_t offset = 0; offset < 4; ++offset) {
      for (std::uint64_t n = offset; n <= left.size(); n += n < 70 ? 1 : 97) {
        const std::uint64_t count = n - offset;
        std::vector<Packet<T>> out(n + 1, Packet<T>(T(5)));
        std::vector<Packet<T>> over(left.begin(), left.begin() + static_cast<std::ptrdiff_t>(n));
        run(operation, left.data() + offset, right.data() + offset, out.data() + offset, count,
            n % 2 == 0);
        run(operation, over.data() + offset, right.data() + offset, over.data() + offset, count,
            false);
        for (std::uint64_t i = offset; i < n; ++i) {
          const Packet<T> expected = operators[operation](left[i], right[i]);
          ASSERT_EQ(std::memcmp(&out[i], &expected, 16), 0) << operation << " at " << i;
          ASSERT_EQ(std::memcmp(&over[i], &expected, 16), 0) << operation << " at " << i;
        }
        ASSERT_TRUE(out[n] == T(5)) << "a packet past the end was written";
      }
    }
  }
}

class BulkArithmetic : public testing::BuildTest {};
HALVORN_TEST_EVERY_BUILD(BulkArithmetic);

TEST_P(BulkArithmetic, GivesThePacketOperatorsBits) {
  testing::for_each_type_traced([&]<class T>() { expect_packet_operators_bits<T>(GetParam()); });
}

// How many of the quotients of `dividends` (every int16, in order) by d in
// `out` are wrong, or carry bits beside lane 0's value. q is the truncated
// quotient exactly when a = q * d + r with |r| < |d| and r zero or of a's
// sign. Only -32768 / -1 (index 0 when d is -1) has a quotient that does not
// fit; it must wrap to -32768. The sanitizer run leaves this count, the test's
// own arithmetic, uninstrumented: instrumented, it took three times as long
// as the kernel it checks, which stays instrumented.
__attribute__((noinline, no_sanitize("address", "undefined"))) std::uint64_t wrong_quotients(
    const std::vector<short>& dividend_list, const std::vector<Packet<short>>& out_list, int d) {
  // Raw pointers: std::vector's operator[] is a call of its own at -O1, and
  // instrumented.
  const short* dividends = dividend_list.data();
  const Packet<short>* out = out_list.data();
  const std::size_t count = dividend_list.size();
  std::uint64_t upper_bits = 0, wrong = 0;
  const int magnitude = d < 0 ? -d : d;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint64_t halves[2];
    std::memcpy(halves, &out[i], 16);
    const int q = static_cast<short>(halves[0] & 0xFFFF);
    upper_bits |= (halves[0] >> 16) | halves[1];
    const int a = dividends[i];
    if (d == -1 && i == 0) {
      wrong += q != -32768;
      continue;
    }
    const int r = a - q * d;
    const int r_magnitude = r < 0 ? -r : r;
    wrong += static_cast<std::uint64_t>((r_magnitude >= magnitude) | ((r != 0) & ((r ^ a) < 0)));
  }
  return wrong + (upper_bits != 0);
}

__attribute__((noinline, no_sanitize("address", "undefined"))) void fill_divisors(
    std::vector<Packet<short>>& divisors, int d) {
  const Packet<short> packet(static_cast<short>(d));
  for (auto& divisor : divisors) std::memcpy(static_cast<void*>(&divisor), &packet, 16);
}

// Every int16 pair, for each build and each sign of the divisors: tests of
// their own, so that ctest runs them side by side.
class EveryInt16Pair : public ::testing::TestWithParam<std::tuple<InstructionSet, bool>> {};

TEST_P(EveryInt16Pair, IsExact) {
  const auto [set, negative] = GetParam();
  const DivideMany divide = division_of<short>(set);
  const std::size_t count = 65536;
  std::vector<short> dividends;
  for (int a = -32768; a <= 32767; ++a) dividends.push_back(static_cast<short>(a));
  const auto left = packets_of(dividends);
  std::vector<Packet<short>> right(count, Packet<short>(1));
  std::vector<Packet<short>> out(count, Packet<short>(0));
  std::uint64_t wrong = 0;
  for (int d = negative ? -32768 : 1; d <= (negative ? -1 : 32767); ++d) {
    fill_divisors(right, d);
    divide(left.data(), right.data(), out.data(), count, d % 2 == 0);
    wrong += wrong_quotients(dividends, out, d);
  }
  EXPECT_EQ(wrong, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    BatchedDivision, EveryInt16Pair,
    ::testing::Combine(::testing::ValuesIn(usable_instruction_sets()), ::testing::Bool()),
    [](const ::testing::TestParamInfo<EveryInt16Pair::ParamType>& case_info) {
      return testing::build_name({std::get<0>(case_info.param), case_info.index}) +
             (std::get<1>(case_info.param) ? "_negative_divisors" : "_positive_divisors");
    });

void expect_int32_quotients(InstructionSet set, const std::vector<int>& dividends,
                            const std::vector<int>& divisors) {
  const auto left = packets_of(dividends);
  const auto right = packets_of(divisors);
  std::vector<Packet<int>> out(left.size(), Packet<int>(0));
  division_of<int>(set)(left.data(), right.data(), out.data(), left.size(), left.size() % 2 == 0);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const auto expected = static_cast<int>(std::int64_t{dividends[i]} / divisors[i]);
    ASSERT_EQ(static_cast<int>(out[i]), expected) << dividends[i] << " / " << divisors[i];
    ASSERT_TRUE(upper_lanes_zero(out[i]));
  }
}

class BatchedDivision : public testing::BuildTest {};
HALVORN_TEST_EVERY_BUILD(BatchedDivision);

TEST_P(BatchedDivision, Int32EdgeCases) {
  const int min = std::numeric_limits<int>::min();
  const int max = std::numeric_limits<int>::max();
  std::vector<int> edges = {min, min + 1, max, max - 1, 0, 1, -1, 2, -2, 3, -3, 7, -7};
  for (int shift = 1; shift < 31; ++shift) {
    const int power = 1 << shift;
    for (const int value : {power, power - 1, power + 1, -power, -power + 1, -power - 1}) {
      edges.push_back(value);
    }
  }
  std::vector<int> dividends, divisors;
  for (const int a : edges) {
    for (const int b : edges) {
      if (b == 0) continue;
      dividends.push_back(a);
      divisors.push_back(b);
    }
  }
  // An odd count also runs the one-packet tail.
  dividends.push_back(min);
  divisors.push_back(-1);
  expect_int32_quotients(GetParam(), dividends, divisors);
}

TEST_P(BatchedDivision, Int32RandomPairs) {
  std::mt19937_64 engine(20261207);
  std::uniform_int_distribution<int> any(std::numeric_limits<int>::min(),
                                         std::numeric_limits<int>::max());
  std::uniform_int_distribution<int> small(-1000, 1000);
  std::vector<int> dividends, divisors;
  for (int i = 0; i < 2'000'000; ++i) {
    int divisor = (i % 2 == 0) ? any(engine) : small(engine);
    if (divisor == 0) divisor = 1;
    dividends.push_back(any(engine));
    divisors.push_back(divisor);
  }
  expect_int32_quotients(GetParam(), dividends, divisors);
}

// Dividing lane 0 of several packets at once must give the very bits of the
// lane-wise packet division, specials included, in every lane.
template <class T>
void expect_lanewise_quotients(InstructionSet set) {
  std::vector<T> dividends, divisors;
  for (const T a : testing::interesting_values<T>()) {
    for (const T b : testing::interesting_values<T>()) {
      dividends.push_back(a);
      divisors.push_back(b);
    }
  }
  // Odd counts leave a tail for the one-packet path.
  for (const std::size_t count : {dividends.size(), dividends.size() - 1, std::size_t{3}}) {
    const auto left = packets_of(dividends);
    const auto right = packets_of(divisors);
    std::vector<Packet<T>> out(count, Packet<T>(T(0)));
    division_of<T>(set)(left.data(), right.data(), out.data(), count, count % 2 == 0);
    for (std::size_t i = 0; i < count; ++i) {
      const Packet<T> expected = left[i] / right[i];
      EXPECT_EQ(std::memcmp(&out[i], &expected, 16), 0) << +dividends[i] << " / " << +divisors[i];
    }
  }
}

TEST_P(BatchedDivision, FloatingMatchesLanewiseDivisionBitForBit) {
  testing::for_types_traced<float, double>(
      [&]<class T>() { expect_lanewise_quotients<T>(GetParam()); });
}

}  // namespace
}  // namespace halvorn
