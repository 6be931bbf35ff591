#include "factories/random.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/storage/tensor.h"
#include "factories/thread_generator.h"
#include "lanes.h"
#include "standard_random.h"

namespace halvorn {
namespace {

using testing::lanes_of;
using testing::same_value;
using testing::standard_distribution;
using testing::standard_engine;
using testing::standard_state;

// Runs body on a thread of its own, so that it starts without any generator.
template <class Body>
void on_fresh_thread(Body body) {
  std::thread thread(body);
  thread.join();
}

// Lane 0 of every packet, after checking that every lane holds the same value.
template <class T>
std::vector<T> values_of(const Tensor<T>& tensor) {
  std::vector<T> values;
  for (std::uint64_t i = 0; i < tensor.data.size(); ++i) {
    const auto lanes = lanes_of(tensor.data[i]);
    for (const T lane : lanes) EXPECT_TRUE(same_value(lane, lanes[0])) << "element " << i;
    values.push_back(lanes[0]);
  }
  return values;
}

// The one 32-bit value an engine was seeded with, provided it has not drawn
// since: the standard initialisation puts the seed in the first state word.
std::uint32_t first_state_word(const MersenneTwister& engine) { return engine.state()[0]; }

template <class T>
class RandomTest : public ::testing::Test {};
using FloatTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(RandomTest, FloatTypes);

TYPED_TEST(RandomTest, RandFillsEveryLaneWithAValueInTheUnitInterval) {
  using T = TypeParam;
  const Tensor<T> tensor = rand<T>(Shape{40, 50});
  EXPECT_EQ(tensor.shape, (Shape{40, 50}));
  EXPECT_EQ(tensor.fill_kind, FillKind::none);
  const std::vector<T> values = values_of(tensor);
  ASSERT_EQ(values.size(), 2000u);
  for (const T value : values) {
    EXPECT_GE(value, T(0));
    EXPECT_LT(value, T(1));
  }
}

TYPED_TEST(RandomTest, RandnFillsEveryLaneWithAFiniteValue) {
  using T = TypeParam;
  const Tensor<T> tensor = randn<T>(Shape{3, 333});
  EXPECT_EQ(tensor.shape, (Shape{3, 333}));
  EXPECT_EQ(tensor.fill_kind, FillKind::none);
  const std::vector<T> values = values_of(tensor);
  ASSERT_EQ(values.size(), 999u);
  for (const T value : values) EXPECT_TRUE(std::isfinite(value));
}

TYPED_TEST(RandomTest, EmptyShapeDrawsOneElement) {
  using T = TypeParam;
  const Tensor<T> uniform = rand<T>(Shape{});
  ASSERT_EQ(uniform.data.size(), 1u);
  EXPECT_EQ(uniform.shape.size(), 0u);
  const T value = values_of(uniform)[0];
  EXPECT_TRUE(value >= T(0) && value < T(1));

  const Tensor<T> normal = randn<T>(Shape{});
  ASSERT_EQ(normal.data.size(), 1u);
  EXPECT_TRUE(std::isfinite(values_of(normal)[0]));
}

// The values are exactly what the standard distribution gives when applied
// to the thread's engine, element after element in storage order, and the
// engine ends where that sequence ends.
TYPED_TEST(RandomTest, RandDrawsStraightFromItsEngineInStorageOrder) {
  using T = TypeParam;
  (void)rand<T>(Shape{});  // makes sure this thread's generator exists
  ASSERT_TRUE(RandGenerator<T>::snapshot().has_value());
  auto replay = standard_state(*RandGenerator<T>::snapshot());

  for (const Shape& shape : {Shape{3, 7}, Shape{5}, Shape{0}, Shape{}}) {
    const std::vector<T> values = values_of(rand<T>(shape));
    ASSERT_EQ(values.size(), element_count(shape));
    for (const T value : values) {
      EXPECT_TRUE(same_value(value, replay.distribution(replay.engine)));
    }
  }
  const auto after = RandGenerator<T>::snapshot();
  ASSERT_TRUE(after.has_value());
  EXPECT_TRUE(standard_engine(after->engine) == replay.engine);
  EXPECT_TRUE(standard_distribution(after->distribution) == replay.distribution);
}

// Normal values come in pairs; after an odd count the second of a pair waits
// in the distribution and opens the next call.
TYPED_TEST(RandomTest, RandnCarriesItsCachedValueIntoTheNextCall) {
  using T = TypeParam;
  const std::normal_distribution<T> uncached(0, 1);
  (void)randn<T>(Shape{});
  ASSERT_TRUE(RandnGenerator<T>::snapshot().has_value());
  auto replay = standard_state(*RandnGenerator<T>::snapshot());
  const auto distribution_now = [] {
    return standard_distribution(RandnGenerator<T>::snapshot()->distribution);
  };

  // Draw as many as leave one value cached at the end, whatever was cached before.
  const bool cached_before = !(replay.distribution == uncached);
  const std::vector<T> first = values_of(randn<T>(Shape{cached_before ? 4u : 5u}));
  EXPECT_FALSE(distribution_now() == uncached);
  // One value from the cache and one fresh pair: nothing is left over.
  const std::vector<T> second = values_of(randn<T>(Shape{3}));
  EXPECT_TRUE(distribution_now() == uncached);

  for (const T value : first) EXPECT_TRUE(same_value(value, replay.distribution(replay.engine)));
  // The cached value comes without touching the engine.
  const std::mt19937 engine_after_first = replay.engine;
  EXPECT_TRUE(same_value(second[0], replay.distribution(replay.engine)));
  EXPECT_TRUE(replay.engine == engine_after_first);
  for (std::size_t i = 1; i < second.size(); ++i) {
    EXPECT_TRUE(same_value(second[i], replay.distribution(replay.engine)));
  }
  EXPECT_TRUE(standard_engine(RandnGenerator<T>::snapshot()->engine) == replay.engine);
  EXPECT_TRUE(distribution_now() == replay.distribution);
}

// Snapshots of all four generators of the calling thread.
struct AllStates {
  std::optional<GeneratorState<UniformDistribution<float>>> rand_float;
  std::optional<GeneratorState<UniformDistribution<double>>> rand_double;
  std::optional<GeneratorState<NormalDistribution<float>>> randn_float;
  std::optional<GeneratorState<NormalDistribution<double>>> randn_double;

  static AllStates now() {
    return {RandGenerator<float>::snapshot(), RandGenerator<double>::snapshot(),
            RandnGenerator<float>::snapshot(), RandnGenerator<double>::snapshot()};
  }
};

template <class State>
bool same_state(const std::optional<State>& a, const std::optional<State>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a.has_value() || (a->engine == b->engine && a->distribution == b->distribution);
}

// Which generators differ between two snapshots, as rand<float>, rand<double>,
// randn<float>, randn<double>.
std::vector<bool> changed(const AllStates& before, const AllStates& after) {
  return {!same_state(before.rand_float, after.rand_float),
          !same_state(before.rand_double, after.rand_double),
          !same_state(before.randn_float, after.randn_float),
          !same_state(before.randn_double, after.randn_double)};
}

TEST(RandomGenerators, EachOperationAdvancesOnlyItsOwnEngine) {
  on_fresh_thread([] {
    // All four exist, so that a change shows as an advance, not a creation.
    (void)rand<float>(Shape{});
    (void)rand<double>(Shape{});
    (void)randn<float>(Shape{});
    (void)randn<double>(Shape{});

    AllStates before = AllStates::now();
    (void)rand<float>(Shape{8});
    AllStates after = AllStates::now();
    EXPECT_EQ(changed(before, after), (std::vector<bool>{true, false, false, false}));

    before = after;
    (void)rand<double>(Shape{8});
    after = AllStates::now();
    EXPECT_EQ(changed(before, after), (std::vector<bool>{false, true, false, false}));

    before = after;
    (void)randn<float>(Shape{8});
    after = AllStates::now();
    EXPECT_EQ(changed(before, after), (std::vector<bool>{false, false, true, false}));

    before = after;
    (void)randn<double>(Shape{8});
    after = AllStates::now();
    EXPECT_EQ(changed(before, after), (std::vector<bool>{false, false, false, true}));
  });
}

TEST(RandomGenerators, FirstCallInAThreadCreatesAndSeedsEvenWithoutElements) {
  on_fresh_thread([] {
    const AllStates none = AllStates::now();
    EXPECT_FALSE(none.rand_float || none.rand_double || none.randn_float || none.randn_double);

    const Tensor<double> empty = randn<double>(Shape{4, 0});
    EXPECT_EQ(empty.data.size(), 0u);
    EXPECT_EQ(empty.data.packets, nullptr);
    EXPECT_EQ(empty.shape, (Shape{4, 0}));

    const AllStates after = AllStates::now();
    EXPECT_FALSE(after.rand_float || after.rand_double || after.randn_float);
    ASSERT_TRUE(after.randn_double.has_value());
    // Seeded by the standard initialisation from one 32-bit value, not yet
    // drawn from, and the distribution holds no cached value.
    const MersenneTwister& engine = after.randn_double->engine;
    EXPECT_TRUE(standard_engine(engine) == std::mt19937(first_state_word(engine)));
    EXPECT_TRUE(standard_distribution(after.randn_double->distribution) ==
                std::normal_distribution<double>(0, 1));
  });
}

TEST(RandomGenerators, ThreadsAndOperationsAreSeededIndependently) {
  // Seeds that collide by chance do so once in 2^32 pairs.
  std::vector<std::uint32_t> seeds;
  for (int round = 0; round < 2; ++round) {
    on_fresh_thread([&seeds] {
      (void)rand<float>(Shape{0});
      (void)rand<double>(Shape{0});
      seeds.push_back(first_state_word(RandGenerator<float>::snapshot()->engine));
      seeds.push_back(first_state_word(RandGenerator<double>::snapshot()->engine));
    });
  }
  ASSERT_EQ(seeds.size(), 4u);
  for (std::size_t i = 0; i < seeds.size(); ++i) {
    for (std::size_t j = i + 1; j < seeds.size(); ++j) {
      EXPECT_NE(seeds[i], seeds[j]) << i << ", " << j;
    }
  }
}

// A device whose opens and reads fail on demand, standing in for
// std::random_device. Each test gives it a tag of its own, so that every test
// has fresh generators and counters.
template <int Tag>
struct FlakyDevice {
  using result_type = unsigned int;
  static inline int failing_opens = 0;
  static inline int failing_reads = 0;
  static inline int opens = 0;
  static inline int reads = 0;

  FlakyDevice() {
    if (failing_opens > 0) {
      --failing_opens;
      throw std::runtime_error("cannot open");
    }
    ++opens;
  }
  result_type operator()() {
    if (failing_reads > 0) {
      --failing_reads;
      throw std::runtime_error("cannot read");
    }
    ++reads;
    return 20240607u;
  }
};

TEST(RandomGenerators, DeviceThatCannotBeOpenedIsTriedAgainOnTheNextCall) {
  using Device = FlakyDevice<1>;
  using Generator = ThreadGenerator<Device, UniformDistribution<float>>;
  on_fresh_thread([] {
    Device::failing_opens = 2;
    EXPECT_THROW(Generator::get(), std::runtime_error);
    EXPECT_FALSE(Generator::snapshot().has_value());
    EXPECT_THROW(Generator::get(), std::runtime_error);
    EXPECT_EQ(Device::opens, 0);
    EXPECT_EQ(Device::reads, 0);

    (void)Generator::get();
    EXPECT_EQ(Device::opens, 1);
    EXPECT_EQ(Device::reads, 1);
    const auto state = Generator::snapshot();
    ASSERT_TRUE(state.has_value());
    EXPECT_TRUE(standard_engine(state->engine) == std::mt19937(20240607u));

    (void)Generator::get();
    EXPECT_EQ(Device::opens, 1);
    EXPECT_EQ(Device::reads, 1);
  });
}

TEST(RandomGenerators, DeviceThatCannotBeReadIsReadAgainButNotReopened) {
  using Device = FlakyDevice<2>;
  using Generator = ThreadGenerator<Device, NormalDistribution<double>>;
  on_fresh_thread([] {
    Device::failing_reads = 1;
    EXPECT_THROW(Generator::get(), std::runtime_error);
    EXPECT_FALSE(Generator::snapshot().has_value());
    EXPECT_EQ(Device::opens, 1);
    EXPECT_EQ(Device::reads, 0);

    auto [engine, distribution] = Generator::get();
    EXPECT_EQ(Device::opens, 1);
    EXPECT_EQ(Device::reads, 1);
    EXPECT_TRUE(standard_engine(engine) == std::mt19937(20240607u));
    EXPECT_TRUE(standard_distribution(distribution) == std::normal_distribution<double>(0, 1));
  });
}

TEST(RandomGenerators, EveryThreadOpensItsOwnDevice) {
  using Device = FlakyDevice<3>;
  using Generator = ThreadGenerator<Device, UniformDistribution<double>>;
  on_fresh_thread([] { (void)Generator::get(); });
  on_fresh_thread([] {
    EXPECT_FALSE(Generator::snapshot().has_value());
    (void)Generator::get();
    (void)Generator::get();
  });
  EXPECT_EQ(Device::opens, 2);
  EXPECT_EQ(Device::reads, 2);
}

}  // namespace
}  // namespace halvorn
