// halvorn's MT19937 and distributions against the standard library's own
// std::mt19937, std::uniform_real_distribution and std::normal_distribution,
// seeded alike, with every build of the random kernels that this CPU runs:
// millions of outputs, calls of every size across block and state
// boundaries, the normal value cached between calls, and the rare canonical
// values that round up to 1.
#include "factories/random_kernels.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "builds.h"
#include "factories/distributions.h"
#include "factories/mersenne_twister.h"
#include "lanes.h"
#include "standard_random.h"

namespace halvorn {
namespace {

using testing::draw_values;
using testing::same_value;
using testing::standard_distribution;
using testing::standard_engine;

// Call sizes around every boundary: vector widths, the state's 624 words and
// its 397-word shift, the distributions' 256-value blocks (512 for the normal
// pairs' uniform values), and odd counts that leave a normal value cached.
const std::vector<std::uint64_t> call_sizes = {0,   1,   2,   3,   5,    7,    15,   16,   17,  31,
                                               33,  227, 255, 256, 257,  396,  397,  511,  512, 513,
                                               623, 624, 625, 999, 1024, 1025, 1247, 1249, 4099};

TEST(MersenneTwister, SeedsAsTheStandardEngineDoes) {
  for (const std::uint32_t seed : {0u, 1u, 5489u, 20240607u, 0xffffffffu}) {
    EXPECT_TRUE(standard_engine(MersenneTwister(seed)) == std::mt19937(seed)) << seed;
  }
}

// The tests of one build of the random kernels.
class RandomBuilds : public testing::BuildTest {
 protected:
  const RandomKernels& kernels() const { return random_kernels_builds.of(GetParam()); }
};
HALVORN_TEST_EVERY_BUILD(RandomBuilds);

TEST_P(RandomBuilds, MersenneTwisterOutputsWhatTheStandardEngineOutputs) {
  for (const std::uint32_t seed : {5489u, 0x9e3779b9u}) {
    MersenneTwister engine(seed);
    std::mt19937 standard(seed);
    std::vector<std::uint32_t> words;
    std::uint64_t compared = 0;
    for (int round = 0; compared < 1'200'000; ++round) {
      for (const std::uint64_t size : call_sizes) {
        words.resize(size);
        engine.generate(words.data(), size, kernels());
        for (std::uint64_t i = 0; i < size; ++i) {
          ASSERT_EQ(words[i], standard()) << "output " << compared + i;
        }
        compared += size;
        // A single draw between blocks shifts every later boundary by one.
        if (round % 2 == 1) {
          ASSERT_EQ(engine(), standard());
          ++compared;
        }
      }
    }
    EXPECT_TRUE(standard_engine(engine) == standard);
  }
}

// Runs `calls` rounds of every call size through both and compares every value
// and, after each call, both states.
template <class Distribution, class Standard>
void compare_with_standard(MersenneTwister engine, Distribution distribution, int rounds,
                           const RandomKernels& kernels) {
  std::mt19937 standard_generator = standard_engine(engine);
  Standard standard = standard_distribution(distribution);
  for (int round = 0; round < rounds; ++round) {
    for (const std::uint64_t size : call_sizes) {
      const auto values = draw_values(distribution, engine, size, kernels);
      for (std::uint64_t i = 0; i < size; ++i) {
        const auto expected = standard(standard_generator);
        ASSERT_TRUE(same_value(values[i], expected))
            << "call of " << size << ", value " << i << ": " << values[i] << " != " << expected;
      }
      ASSERT_TRUE(standard_distribution(distribution) == standard) << "after a call of " << size;
    }
  }
  EXPECT_TRUE(standard_engine(engine) == standard_generator);
}

TEST_P(RandomBuilds, UniformValuesAreTheStandardLibrarys) {
  testing::for_types_traced<float, double>([&]<class T>() {
    compare_with_standard<UniformDistribution<T>, std::uniform_real_distribution<T>>(
        MersenneTwister(20240607u), UniformDistribution<T>(), 40, kernels());
  });
}

TEST_P(RandomBuilds, NormalValuesAreTheStandardLibrarysWithTheCachedValueCarriedOver) {
  testing::for_types_traced<float, double>([&]<class T>() {
    compare_with_standard<NormalDistribution<T>, std::normal_distribution<T>>(
        MersenneTwister(777u), NormalDistribution<T>(), 20, kernels());
    // Starting from a cached value, as a thread's distribution may.
    compare_with_standard<NormalDistribution<T>, std::normal_distribution<T>>(
        MersenneTwister(778u), NormalDistribution<T>(T(-0.625)), 2, kernels());
  });
}

// The inverse of MT19937's tempering: the state word that outputs `word`.
std::uint32_t untempered(std::uint32_t word) {
  word ^= word >> 18;
  word ^= (word << 15) & 0xefc60000u;
  std::uint32_t result = word;
  for (int i = 0; i < 5; ++i) result = word ^ ((result << 7) & 0x9d2c5680u);
  word = result;
  for (int i = 0; i < 3; ++i) result = word ^ (result >> 11);
  return result;
}

// An engine whose next 624 outputs are those of a seeded engine, except the
// given words at the given positions.
MersenneTwister engine_outputting(const std::vector<std::pair<std::size_t, std::uint32_t>>& words) {
  std::mt19937 source(31337u);
  std::array<std::uint32_t, 624> outputs;
  for (std::uint32_t& output : outputs) output = static_cast<std::uint32_t>(source());
  for (const auto& [position, word] : words) outputs[position] = word;
  MersenneTwister::State state;
  for (std::size_t i = 0; i < 624; ++i) state[i] = untempered(outputs[i]);
  MersenneTwister engine(state, 0);
  MersenneTwister probe = engine;
  for (std::size_t i = 0; i < 624; ++i) EXPECT_EQ(probe(), outputs[i]) << "untempering " << i;
  return engine;
}

// Words whose canonical value rounds up to 1 (float: from 2^32 - 128 on;
// double: a high word of all ones over a low word from 2^32 - 1024 on) sit at
// the start, in the middle and at the end of vectors, blocks and the state,
// beside words just below that edge.
MersenneTwister engine_at_the_top(bool for_double) {
  if (!for_double) {
    return engine_outputting({{0, 0xffffff80u},
                              {9, 0xffffffffu},
                              {10, 0xffffff7fu},
                              {15, 0xffffffc0u},
                              {16, 0xffffff80u},
                              {300, 0xffffffffu},
                              {301, 0xffffffffu},
                              {511, 0xfffffff0u},
                              {623, 0xffffffffu}});
  }
  return engine_outputting({{0, 0xfffffc00u},
                            {1, 0xffffffffu},
                            {2, 0xfffffbffu},
                            {3, 0xffffffffu},
                            {14, 0xffffffffu},
                            {15, 0xffffffffu},
                            {16, 0xffffffffu},
                            {17, 0xffffffffu},
                            {400, 0xfffffe00u},
                            {401, 0xffffffffu},
                            {622, 0xffffffffu},
                            {623, 0xffffffffu}});
}

TEST_P(RandomBuilds, ValuesThatRoundUpToOneAreLeftToTheStandardLibrary) {
  testing::for_types_traced<float, double>([&]<class T>() {
    constexpr bool for_double = sizeof(T) == 8;
    compare_with_standard<UniformDistribution<T>, std::uniform_real_distribution<T>>(
        engine_at_the_top(for_double), UniformDistribution<T>(), 1, kernels());
    compare_with_standard<NormalDistribution<T>, std::normal_distribution<T>>(
        engine_at_the_top(for_double), NormalDistribution<T>(), 1, kernels());
    // One call over the whole crafted stretch and beyond.
    for (const std::uint64_t size : {1u, 700u}) {
      MersenneTwister engine = engine_at_the_top(for_double);
      std::mt19937 standard_generator = standard_engine(engine);
      UniformDistribution<T> distribution;
      std::uniform_real_distribution<T> standard(0, 1);
      for (const T value : draw_values(distribution, engine, size, kernels())) {
        const T expected = standard(standard_generator);
        EXPECT_TRUE(same_value(value, expected)) << value << " != " << expected;
        EXPECT_LT(value, T(1));
      }
      EXPECT_TRUE(standard_engine(engine) == standard_generator);
    }
  });
}

// x = 0 and y = -1 lie on the unit circle: r2 = 1 is accepted, log(1) = 0
// makes the multiplier sqrt(-0) = -0, and the products are zeros whose signs
// only the distribution's final "* 1 + 0" settles.
TEST_P(RandomBuilds, APairOnTheUnitCircleGivesTheStandardZeros) {
  testing::for_types_traced<float, double>([&]<class T>() {
    const MersenneTwister engine =
        sizeof(T) == 4 ? engine_outputting({{0, 0x80000000u}, {1, 0u}})
                       : engine_outputting({{0, 0u}, {1, 0x80000000u}, {2, 0u}, {3, 0u}});
    MersenneTwister ours = engine;
    std::mt19937 standard_generator = standard_engine(engine);
    NormalDistribution<T> distribution;
    std::normal_distribution<T> standard(0, 1);
    for (const T value : draw_values(distribution, ours, 3, kernels())) {
      EXPECT_TRUE(same_value(value, standard(standard_generator)));
    }
    EXPECT_TRUE(standard_distribution(distribution) == standard);
    // The first two are the pair on the circle.
    MersenneTwister again = engine;
    NormalDistribution<T> fresh;
    const auto zeros = draw_values(fresh, again, 2, kernels());
    EXPECT_TRUE(same_value(zeros[0], T(0)) && same_value(zeros[1], T(0)));
  });
}

}  // namespace
}  // namespace halvorn
