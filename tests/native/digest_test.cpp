// The digest against its definition (core/operations/digest.cpp) restated a
// word at a time, for strings that end anywhere in a stripe and a block, and
// for tensors of every type spanning several of the gathers' chunks, whose
// other lanes must not count.
#include "core/operations/digest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "lanes.h"
#include "tensors.h"

namespace halvorn {
namespace {

std::uint64_t next_constant(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
  return z ^ (z >> 31);
}

Digest reference_digest(const std::vector<unsigned char>& bytes) {
  std::uint64_t state = 0;
  std::uint64_t start[8], key[8], scramble[8], merge[2][8], length[2];
  for (auto& c : start) c = next_constant(state);
  for (auto& c : key) c = next_constant(state);
  for (auto& c : scramble) c = next_constant(state);
  for (auto& half : merge) {
    for (auto& c : half) c = next_constant(state);
  }
  for (auto& c : length) c = next_constant(state);

  std::uint64_t acc[8];
  std::memcpy(acc, start, sizeof acc);
  const std::uint64_t size = bytes.size();
  for (std::uint64_t s = 0; 64 * s < size; ++s) {
    std::uint64_t w[8] = {};
    std::memcpy(w, bytes.data() + 64 * s, std::min<std::uint64_t>(64, size - 64 * s));
    for (int j = 0; j < 8; ++j) {
      const std::uint64_t x = w[j] ^ (key[j] + s * 0x9E3779B97F4A7C15);
      acc[j] += (x & 0xFFFFFFFF) * (x >> 32) + w[j ^ 1];
    }
    if ((s + 1) % 16 == 0) {
      for (int j = 0; j < 8; ++j) acc[j] = (acc[j] ^ (acc[j] >> 47) ^ scramble[j]) * 0x9E3779B1;
    }
  }
  auto fmix64 = [](std::uint64_t k) {
    k = (k ^ (k >> 33)) * 0xFF51AFD7ED558CCD;
    k = (k ^ (k >> 33)) * 0xC4CEB9FE1A85EC53;
    return k ^ (k >> 33);
  };
  std::uint64_t halves[2];
  for (int h = 0; h < 2; ++h) {
    std::uint64_t r = length[h] ^ (size * 0x9E3779B97F4A7C15);
    for (int i = 0; i < 8; i += 2) {
      __extension__ using Wide = unsigned __int128;
      const Wide p = Wide{acc[i] ^ merge[h][i]} * (acc[i + 1] ^ merge[h][i + 1]);
      r += static_cast<std::uint64_t>(p) ^ static_cast<std::uint64_t>(p >> 64);
    }
    halves[h] = fmix64(r);
  }
  return {halves[0], halves[1]};
}

TEST(DigestTest, BytesFollowTheDefinitionAtEveryLength) {
  std::mt19937_64 generator(11);
  std::vector<unsigned char> bytes;
  for (std::uint64_t size = 0; size <= 3000; size += size < 200 ? 1 : 97) {
    bytes.resize(size);
    for (auto& b : bytes) b = static_cast<unsigned char>(generator());
    EXPECT_EQ(digest_bytes(bytes.data(), size), reference_digest(bytes)) << size;
  }
  EXPECT_EQ(digest_hex({0x0123456789ABCDEF, 0xFEDCBA9876543210}),
            "0123456789abcdeffedcba9876543210");
}

template <class T>
class TensorDigestTest : public ::testing::Test {};
TYPED_TEST_SUITE(TensorDigestTest, testing::ElementTypes);

TYPED_TEST(TensorDigestTest, IsTheDigestOfTheLaneZeroBytes) {
  using T = TypeParam;
  std::mt19937_64 generator(5);
  const std::uint64_t block = 1024 / sizeof(T);
  for (const std::uint64_t n :
       {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{33}, block, 2 * block + 37}) {
    const std::vector<T> values = testing::random_bits<T>(n, generator);
    Tensor<T> tensor = testing::tensor_of<T>(Shape{n}, values);
    // Only lane 0 carries the value, as after an integer division.
    for (std::uint64_t i = 0; i < n; i += 3) {
      const T other = static_cast<T>(i + 1);
      std::memcpy(reinterpret_cast<char*>(&tensor.data[i]) + sizeof(T), &other, sizeof(T));
    }
    std::vector<unsigned char> bytes(n * sizeof(T));
    if (n > 0) std::memcpy(bytes.data(), values.data(), bytes.size());
    EXPECT_EQ(digest_values(tensor), reference_digest(bytes)) << n;
  }
}

}  // namespace
}  // namespace halvorn
