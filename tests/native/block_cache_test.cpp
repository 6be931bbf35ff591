#include "core/block_cache.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "core/memory.h"
#include "core/tensor.h"
#include "lanes.h"

namespace halvorn {
namespace {

// The bookkeeping on its own, with made-up addresses (never dereferenced) and
// a clock of its own.
constexpr std::size_t KiB = 1024;
constexpr BlockCache::Limits small_limits{64 * KiB, 2048 * KiB, 1000};

PacketBlock fake_block(std::uintptr_t tag) {
  return {reinterpret_cast<void*>(tag << 12), (tag & 1) != 0};
}

std::vector<void*> addresses(const BlockCache::Released& released) {
  std::vector<void*> out;
  for (std::size_t i = 0; i < released.count; ++i) out.push_back(released.entries[i].block.address);
  return out;
}

struct Keeping {
  const char* name;
  std::vector<std::size_t> kept;  // sizes kept in this order, one time unit apart
  std::size_t asked;              // the size then asked for
  int taken;                      // index into kept of the block handed out, -1 for none
  std::vector<int> let_go;        // indices into kept given back, in order
};

class BlockCacheKeeping : public ::testing::TestWithParam<Keeping> {};

TEST_P(BlockCacheKeeping, TakesTheNewestExactMatchAndGivesBackTheOldestFirst) {
  const Keeping& c = GetParam();
  BlockCache cache(small_limits);
  BlockCache::Released released;
  std::size_t expected_bytes = 0;
  for (std::size_t i = 0; i < c.kept.size(); ++i) {
    cache.keep(fake_block(i + 1), c.kept[i], i, released);
    expected_bytes += c.kept[i];
  }
  std::vector<void*> let_go;
  for (const int index : c.let_go) {
    let_go.push_back(fake_block(static_cast<std::uintptr_t>(index) + 1).address);
    expected_bytes -= c.kept[static_cast<std::size_t>(index)];
  }
  EXPECT_EQ(addresses(released), let_go);
  EXPECT_EQ(cache.held_bytes(), expected_bytes);
  EXPECT_LE(cache.held_bytes(), small_limits.capacity);
  EXPECT_LE(cache.held_blocks(), BlockCache::slots);

  BlockCache::Released none;
  const PacketBlock got = cache.take(c.asked, c.kept.size(), none);
  EXPECT_EQ(none.count, 0u);
  if (c.taken < 0) {
    EXPECT_EQ(got.address, nullptr);
    EXPECT_EQ(cache.held_bytes(), expected_bytes);
  } else {
    const PacketBlock wanted = fake_block(static_cast<std::uintptr_t>(c.taken) + 1);
    EXPECT_EQ(got.address, wanted.address);
    EXPECT_EQ(got.mapped, wanted.mapped);
    EXPECT_EQ(cache.held_bytes(), expected_bytes - c.asked);
    // Taken once only.
    EXPECT_NE(cache.take(c.asked, c.kept.size(), none).address, wanted.address);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BlockCacheKeeping,
    ::testing::Values(
        Keeping{"NewestOfTheSize", {64 * KiB, 96 * KiB, 64 * KiB, 80 * KiB}, 64 * KiB, 2, {}},
        Keeping{"ExactSizeOnly", {96 * KiB, 128 * KiB}, 100 * KiB, -1, {}},
        Keeping{"TooSmallGoesStraightBack", {64 * KiB - 16, 64 * KiB}, 64 * KiB - 16, -1, {0}},
        Keeping{"LargerThanCapacityGoesStraightBack", {2048 * KiB + 16}, 2048 * KiB + 16, -1, {0}},
        Keeping{"CapacityLetsTheOldestGo",
                {1024 * KiB, 512 * KiB, 256 * KiB, 512 * KiB, 1024 * KiB},
                512 * KiB,
                3,
                {0, 1}},
        Keeping{"WholeCapacityInOneBlock", {64 * KiB, 2048 * KiB}, 2048 * KiB, 1, {0}},
        Keeping{"SlotsLetTheOldestGo",
                std::vector<std::size_t>(BlockCache::slots + 2, 64 * KiB),
                64 * KiB,
                BlockCache::slots + 1,
                {0, 1}}),
    [](const auto& test) { return test.param.name; });

TEST(BlockCacheIdle, BlocksKeptIdleTooLongGoBackAtTheNextCall) {
  BlockCache cache(small_limits);
  BlockCache::Released released;
  cache.keep(fake_block(1), 64 * KiB, 0, released);
  cache.keep(fake_block(2), 64 * KiB, 500, released);
  cache.keep(fake_block(3), 96 * KiB, 900, released);
  EXPECT_EQ(released.count, 0u);

  cache.trim(999, released);
  EXPECT_EQ(released.count, 0u);
  // Asking for another size still ends the first block's stay.
  EXPECT_EQ(cache.take(128 * KiB, 1000, released).address, nullptr);
  EXPECT_EQ(addresses(released), std::vector<void*>{fake_block(1).address});
  EXPECT_EQ(cache.held_blocks(), 2u);

  BlockCache::Released later;
  cache.keep(fake_block(4), 80 * KiB, 1600, later);
  EXPECT_EQ(addresses(later), std::vector<void*>{fake_block(2).address});
  EXPECT_EQ(cache.held_bytes(), (96 + 80) * KiB);

  BlockCache::Released all;
  cache.drain(all);
  EXPECT_EQ(addresses(all), (std::vector<void*>{fake_block(3).address, fake_block(4).address}));
  EXPECT_EQ(cache.held_blocks(), 0u);
  EXPECT_EQ(cache.held_bytes(), 0u);
}

// The process-wide cache behind every tensor.
template <class T>
class KeptBlockTest : public ::testing::Test {
 protected:
  void SetUp() override { release_kept_packets(); }
  void TearDown() override { release_kept_packets(); }
};
TYPED_TEST_SUITE(KeptBlockTest, testing::ElementTypes);

// 64 KiB is the smallest block kept; 1 MiB and up, zero blocks are mapped.
constexpr std::uint64_t kept_count = 4096;
constexpr std::uint64_t mapped_count = std::uint64_t{1} << 16;

TYPED_TEST(KeptBlockTest, AnUninitialisedTensorReusesAReleasedBlockOfItsSize) {
  using T = TypeParam;
  for (const std::uint64_t n : {kept_count, kept_count + 1, mapped_count}) {
    const void* address = nullptr;
    {
      const Tensor<T> first(Shape{n}, T(3));
      address = first.data.packets;
    }
    EXPECT_EQ(kept_packets().blocks, 1u);
    EXPECT_EQ(kept_packets().bytes, n * 16);
    // Another size misses it; the same size, of any element type, takes it.
    {
      const Tensor<T> other(Shape{n + 1});
      EXPECT_NE(other.data.packets, address);
    }
    {
      const Tensor<double> second(Shape{n});
      EXPECT_EQ(second.data.packets, address);
      EXPECT_EQ(kept_packets().blocks, 1u);  // the other size's block
    }
    release_kept_packets();
  }
}

TYPED_TEST(KeptBlockTest, SmallBlocksAreLeftToTheHeap) {
  {
    const Tensor<TypeParam> small(Shape{kept_count - 1}, TypeParam(1));
  }
  EXPECT_EQ(kept_packets().blocks, 0u);
  EXPECT_EQ(kept_packets().bytes, 0u);
}

TYPED_TEST(KeptBlockTest, ZeroTensorsNeverGetAKeptBlock) {
  using T = TypeParam;
  for (const std::uint64_t n : {kept_count, mapped_count}) {
    const void* address = nullptr;
    {
      const Tensor<T> dirty(Shape{n}, T(7));
      address = dirty.data.packets;
    }
    {
      const Tensor<T> zeros(Shape{n}, T(0));
      EXPECT_NE(zeros.data.packets, address);
      for (std::uint64_t i = 0; i < n; ++i) {
        for (const T lane : testing::lanes_of(zeros.data[i])) ASSERT_EQ(lane, T(0)) << i;
      }
      EXPECT_EQ(kept_packets().blocks, 1u);
    }
    release_kept_packets();
  }
}

TYPED_TEST(KeptBlockTest, MappedZeroBlocksAreNeverKept) {
  // Never written, so nothing is saved by reusing their pages.
  {
    const Tensor<TypeParam> zeros(Shape{mapped_count}, TypeParam(0));
  }
  EXPECT_EQ(kept_packets().blocks, 0u);
  // A zero block from the heap was written by calloc: that one is kept.
  {
    const Tensor<TypeParam> zeros(Shape{kept_count}, TypeParam(0));
  }
  EXPECT_EQ(kept_packets().bytes, kept_count * 16);
}

TEST(KeptBlockThreads, NoBlockIsHandedToTwoThreadsAtOnce) {
  release_kept_packets();
  std::atomic<int> clashes{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &clashes] {
      for (int round = 0; round < 400; ++round) {
        // Sizes shared between threads, so that their blocks change hands.
        const std::uint64_t n = kept_count * (1 + static_cast<std::uint64_t>(round % 3));
        const PacketBlock block = allocate_packets(n, false);
        if (block.address == nullptr) std::abort();
        auto* bytes = static_cast<unsigned char*>(block.address);
        std::memset(bytes, t + 1, n * 16);
        std::this_thread::yield();
        for (std::uint64_t i = 0; i < n * 16; i += 4096 - 16) {
          if (bytes[i] != t + 1) clashes.fetch_add(1);
        }
        release_packets(block, n);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(clashes.load(), 0);
  EXPECT_GT(kept_packets().blocks, 0u);
  release_kept_packets();
}

TEST(KeptBlockFork, ForksWhileAnotherThreadUsesTheCacheLeaveTheChildWorking) {
  release_kept_packets();
  std::atomic<bool> stop{false};
  std::thread churn([&stop] {
    while (!stop.load()) release_packets(allocate_packets(kept_count, false), kept_count);
  });
  for (int i = 0; i < 20; ++i) {
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
      // A lock left held by the churning thread would hang here; the alarm
      // turns that into a death by signal.
      alarm(5);
      for (int round = 0; round < 50; ++round) {
        const PacketBlock block = allocate_packets(kept_count, false);
        if (block.address == nullptr) _exit(2);
        std::memset(block.address, 1, kept_count * 16);
        release_packets(block, kept_count);
      }
      _exit(kept_packets().blocks == 1 ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    if (WIFEXITED(status)) {
      EXPECT_EQ(WEXITSTATUS(status), 0);
    }
  }
  stop.store(true);
  churn.join();
  release_kept_packets();
}

TEST(KeptBlockPressure, KeptBlocksGoBackBeforeAnAllocationFails) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer's shadow memory needs more address space than any limit here";
#endif
  release_kept_packets();
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    // 96 MiB kept, then an address-space limit with room for 64 MiB more:
    // a 112 MiB block fits only once the kept one is gone.
    const std::uint64_t kept = (std::uint64_t{96} << 20) / 16;
    const std::uint64_t wanted = (std::uint64_t{112} << 20) / 16;
    release_packets(allocate_packets(kept, false), kept);
    if (kept_packets().blocks != 1) _exit(2);
    std::ifstream statm("/proc/self/statm");
    rlim_t pages = 0;
    statm >> pages;
    const rlim_t limit = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (rlim_t{64} << 20);
    const rlimit address_space{limit, limit};
    if (setrlimit(RLIMIT_AS, &address_space) != 0) _exit(3);
    const PacketBlock block = allocate_packets(wanted, false);
    if (block.address == nullptr) _exit(4);
    _exit(kept_packets().blocks == 0 ? 0 : 5);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace halvorn
