// The copies between packets and plain arrays, and the fills, on every build
// this CPU runs: at every count up to a few wide registers, at every
// misalignment of either side, streaming or not, only the wanted bytes move,
// and they move unchanged (NaN payloads and -0.0 included).
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "builds.h"
#include "core/operations/lane_copy_kernels.h"
#include "core/primitives/fill_kernels.h"
#include "core/primitives/packet.h"
#include "lanes.h"

namespace halvorn {
namespace {

constexpr unsigned char untouched = 0xA5;

// Counts 0 to 70 one by one, then a few long ones.
std::vector<std::uint64_t> counts() {
  std::vector<std::uint64_t> all;
  for (std::uint64_t n = 0; n <= 70; ++n) all.push_back(n);
  for (const std::uint64_t n : {127u, 129u, 1000u}) all.push_back(n);
  return all;
}

// `count` values cycling through the interesting ones, with a signalling NaN
// payload among them for the floating types.
template <class T>
std::vector<T> values_of(std::uint64_t count) {
  std::vector<T> pool = testing::interesting_values<T>();
  if constexpr (sizeof(T) == 4 && std::is_floating_point_v<T>) {
    pool.push_back(std::bit_cast<T>(std::uint32_t{0x7F800123}));
  } else if constexpr (sizeof(T) == 8) {
    pool.push_back(std::bit_cast<T>(std::uint64_t{0xFFF0000000000ABC}));
  }
  std::vector<T> values(count);
  for (std::uint64_t i = 0; i < count; ++i) values[i] = pool[(7 * i + 3) % pool.size()];
  return values;
}

class LaneCopies : public testing::BuildTest {};
HALVORN_TEST_EVERY_BUILD(LaneCopies);

TEST_P(LaneCopies, Lane0OutAndValuesInMoveOnlyTheirBits) {
  testing::for_each_type_traced([&]<class T>() {
    const LaneCopy<T>& copy = lane_copy_kernels_builds.of(GetParam()).of<T>();
    for (const std::uint64_t n : counts()) {
      const std::vector<T> values = values_of<T>(n);
      std::vector<Packet<T>> packets;
      for (const T value : values) packets.emplace_back(value);
      for (std::uint64_t shift = 0; shift < 8; ++shift) {
        // Lane 0 out, into a plain array at any byte offset.
        std::vector<unsigned char> plain(sizeof(T) * n + 24, untouched);
        copy.copy_lane0(packets.data(), n, plain.data() + shift);
        ASSERT_EQ(n == 0 ? 0 : std::memcmp(plain.data() + shift, values.data(), sizeof(T) * n), 0)
            << n << " values at byte offset " << shift;
        for (std::uint64_t i = sizeof(T) * n + shift; i < plain.size(); ++i) {
          ASSERT_EQ(plain[i], untouched) << "a byte past the end was written";
        }
        // Values in, from that array, into packets at any packet offset.
        const std::uint64_t offset = shift % 4;
        std::vector<Packet<T>> out(n + offset + 1, Packet<T>(T(0)));
        std::memset(static_cast<void*>(out.data()), untouched, 16 * out.size());
        copy.broadcast(plain.data() + shift, n, out.data() + offset, shift % 2 == 1);
        for (std::uint64_t i = 0; i < n; ++i) {
          for (const T lane : testing::lanes_of(out[offset + i])) {
            ASSERT_EQ(std::memcmp(&lane, &values[i], sizeof(T)), 0)
                << "packet " << i << " of " << n;
          }
        }
        const auto* last = reinterpret_cast<const unsigned char*>(&out[offset + n]);
        for (int byte = 0; byte < 16; ++byte) ASSERT_EQ(last[byte], untouched);
      }
    }
  });
}

class Fills : public testing::BuildTest {};
HALVORN_TEST_EVERY_BUILD(Fills);

TEST_P(Fills, WriteThePatternIntoExactlyTheGivenPackets) {
  // Any 16 bytes, and 8 repeated, as a packet's value in its lanes.
  for (const int period : {16, 8}) {
    unsigned char pattern[16];
    for (int byte = 0; byte < 16; ++byte)
      pattern[byte] = static_cast<unsigned char>(17 * (byte % period) + 1);
    const FillKernels& kernels = fill_kernels_builds.of(GetParam());
    for (const std::uint64_t n : counts()) {
      for (std::uint64_t offset = 0; offset < 4; ++offset) {
        for (const bool streaming : {false, true}) {
          std::vector<Packet<int>> block(n + offset + 1, Packet<int>(0));
          std::memset(static_cast<void*>(block.data()), untouched, 16 * block.size());
          kernels.fill(block.data() + offset, n, pattern, streaming);
          const auto* bytes = reinterpret_cast<const unsigned char*>(block.data());
          for (std::uint64_t i = 0; i < 16 * block.size(); ++i) {
            const bool filled = i >= 16 * offset && i < 16 * (offset + n);
            ASSERT_EQ(bytes[i], filled ? pattern[i % 16] : untouched)
                << "byte " << i << ", " << n << " packets at offset " << offset;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace halvorn
