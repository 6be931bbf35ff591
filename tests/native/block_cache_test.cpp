#include "core/storage/block_cache.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include "core/storage/memory.h"
#include "core/storage/tensor.h"
#include "lanes.h"

namespace halvorn {
namespace {

// The bookkeeping alone: made-up addresses (never dereferenced), a clock of
// its own. Block i is kept at time i.
constexpr std::size_t KiB = 1024;
PacketBlock fake(std::size_t i) { return {reinterpret_cast<void*>((i + 1) << 12), i % 2 == 1}; }

struct Keeping {
  const char* name;
  std::vector<std::size_t> kept;  // sizes in KiB
  std::size_t asked;              // size in KiB asked for at time `now`
  std::uint64_t now;
  int taken;                // index of the block handed out, -1 for none
  std::vector<int> let_go;  // indices given back, in order, by keep and take
};

class BlockCacheKeeping : public ::testing::TestWithParam<Keeping> {};

TEST_P(BlockCacheKeeping, TakesTheNewestExactMatchAndLetsTheOldestGo) {
  const Keeping& c = GetParam();
  BlockCache cache({64 * KiB, 2048 * KiB, 100});
  BlockCache::Released released;
  for (std::size_t i = 0; i < c.kept.size(); ++i) cache.keep(fake(i), c.kept[i] * KiB, i, released);
  const PacketBlock got = cache.take(c.asked * KiB, c.now, released);
  std::vector<void*> let_go, expected;
  for (std::size_t i = 0; i < released.count; ++i)
    let_go.push_back(released.entries[i].block.address);
  std::size_t held = 0;
  for (std::size_t i = 0; i < c.kept.size(); ++i) held += c.kept[i] * KiB;
  for (const int i : c.let_go) {
    expected.push_back(fake(static_cast<std::size_t>(i)).address);
    held -= c.kept[static_cast<std::size_t>(i)] * KiB;
  }
  EXPECT_EQ(let_go, expected);
  const PacketBlock wanted = c.taken < 0 ? PacketBlock{nullptr, false} : fake(std::size_t(c.taken));
  EXPECT_EQ(got.address, wanted.address);
  EXPECT_EQ(got.mapped, wanted.mapped);
  EXPECT_EQ(cache.held_bytes(), held - (c.taken < 0 ? 0 : c.asked * KiB));
  EXPECT_LE(cache.held_blocks(), BlockCache::slots);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BlockCacheKeeping,
    ::testing::Values(
        Keeping{"NewestOfTheSize", {64, 96, 64, 80}, 64, 4, 2, {}},
        Keeping{"ExactSizeOnly", {96, 128}, 100, 2, -1, {}},
        Keeping{"TooSmallGoesStraightBack", {63, 64}, 63, 2, -1, {0}},
        Keeping{"LargerThanCapacityGoesStraightBack", {2049}, 2049, 1, -1, {0}},
        Keeping{"CapacityLetsTheOldestGo", {1024, 512, 256, 512, 1024}, 512, 5, 3, {0, 1}},
        Keeping{"SlotsLetTheOldestGo", std::vector<std::size_t>(18, 64), 64, 18, 17, {0, 1}},
        // Idle 100 time units: the first two go at the next call,
        // whatever it asks for.
        Keeping{"IdleBlocksGo", {64, 64, 96}, 128, 101, -1, {0, 1}},
        Keeping{"NotYetIdle", {64, 96}, 64, 99, 0, {}}),
    [](const auto& test) { return test.param.name; });

// The process-wide cache behind every tensor. 64 KiB is the smallest block
// kept; zero blocks of 1 MiB and more are mapped.
constexpr std::uint64_t kept_count = 4096, mapped_count = 1 << 16;

template <class T>
class KeptBlockTest : public ::testing::Test {
 protected:
  void SetUp() override { release_kept_packets(); }
  void TearDown() override { release_kept_packets(); }
};
TYPED_TEST_SUITE(KeptBlockTest, testing::ElementTypes);

TYPED_TEST(KeptBlockTest, UninitialisedTensorsReuseBlocksOfTheirSizeZeroTensorsNever) {
  using T = TypeParam;
  for (const std::uint64_t n : {kept_count, kept_count + 1, mapped_count}) {
    const void* address = Tensor<T>(Shape{n}, T(3)).data.packets;
    EXPECT_EQ(kept_packets().bytes, n * 16);
    {
      const Tensor<T> zeros(Shape{n}, T(0));  // fresh and all zero
      EXPECT_NE(zeros.data.packets, address);
      for (std::uint64_t i = 0; i < n; ++i) ASSERT_EQ(testing::lanes_of(zeros.data[i])[1], T(0));
      const Tensor<T> other(Shape{n + 1});
      EXPECT_NE(other.data.packets, address);
      const Tensor<double> same_size(Shape{n});
      EXPECT_EQ(same_size.data.packets, address);
    }
    release_kept_packets();
  }
  // Smaller blocks are left to the heap; a mapped zero block (never written)
  // is kept apart, for the next zero tensor of its size alone.
  const void* zero_block = nullptr;
  {
    const Tensor<T> small(Shape{kept_count - 1}, T(1)), zeros(Shape{mapped_count}, T(0));
    zero_block = zeros.data.packets;
  }
  EXPECT_EQ(kept_packets().blocks, 0u);
  EXPECT_EQ(kept_packets().zero_blocks, 1u);
  EXPECT_NE(Tensor<T>(Shape{mapped_count}).data.packets, zero_block);
  const Tensor<T> zeros(Shape{mapped_count}, T(0));
  EXPECT_EQ(zeros.data.packets, zero_block);
  for (std::uint64_t i = 0; i < mapped_count; ++i)
    ASSERT_EQ(testing::lanes_of(zeros.data[i]).back(), T(0));
}

// Runs `body` in a forked child and expects it to exit with status 0.
void in_child(const std::function<int()>& body) {
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) _exit(body());
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

int churn(int rounds, unsigned char mark) {
  int clashes = 0;
  for (int round = 0; round < rounds; ++round) {
    const std::uint64_t n = kept_count * (1 + static_cast<std::uint64_t>(round % 3));
    const PacketBlock block = allocate_packets(n, false);
    if (block.address == nullptr) return -1;
    auto* bytes = static_cast<unsigned char*>(block.address);
    std::memset(bytes, mark, n * 16);
    std::this_thread::yield();
    for (std::uint64_t i = 0; i < n * 16; i += 4000) clashes += bytes[i] != mark;
    release_packets(block, n);
  }
  return clashes;
}

TEST(KeptBlockSharing, ThreadsNeverShareABlockAndForksDoNotInheritALock) {
  release_kept_packets();
  std::atomic<int> clashes{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (unsigned char mark = 1; mark <= 4; ++mark) {
    threads.emplace_back([&, mark] {
      while (!stop.load()) clashes += churn(50, mark);
    });
  }
  // A lock held by a churning thread at the fork would hang the child; the
  // alarm turns that into a death by signal.
  for (int i = 0; i < 20; ++i) {
    in_child([] {
      alarm(5);
      return churn(50, 9);
    });
  }
  stop.store(true);
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(clashes.load(), 0);
  EXPECT_GT(kept_packets().blocks, 0u);
  release_kept_packets();
}

TEST(KeptBlockPressure, KeptBlocksGoBackBeforeAnAllocationFails) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer's shadow memory needs more address space than any limit here";
#endif
  release_kept_packets();
  in_child([] {
    // 96 MiB kept, then room for 64 MiB more: 112 MiB fit only without it.
    const std::uint64_t kept = (96 << 20) / 16, wanted = (112 << 20) / 16;
    release_packets(allocate_packets(kept, false), kept);
    rlim_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t limit = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (rlim_t{64} << 20);
    const rlimit address_space{limit, limit};
    if (kept_packets().blocks != 1 || setrlimit(RLIMIT_AS, &address_space) != 0) return 2;
    return allocate_packets(wanted, false).address != nullptr && kept_packets().blocks == 0 ? 0 : 3;
  });
}

}  // namespace
}  // namespace halvorn
