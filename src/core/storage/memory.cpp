#include "core/storage/memory.h"

#include <pthread.h>
#include <sys/mman.h>
#include <time.h>

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <type_traits>

#include "core/storage/block_cache.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace halvorn {
namespace {

constexpr std::uintptr_t huge_page = std::uintptr_t{2} << 20;

// Zero blocks from this size on are mapped directly. The heap would hand them
// out from reused memory that calloc must clear first; fresh pages are zero
// already and cost nothing until they are touched.
constexpr std::size_t mapping_threshold = std::size_t{1} << 20;

}  // namespace

void advise_huge_pages(void* address, std::size_t bytes) noexcept {
  if (bytes < 2 * huge_page) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(address);
  const std::uintptr_t first = (begin + huge_page - 1) & ~(huge_page - 1);
  const std::uintptr_t last = (begin + bytes) & ~(huge_page - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

namespace {

// A kept block belongs to no tensor: under AddressSanitizer a read or write
// through a stale pointer to it is reported as it would be after free().
void mark_owned(PacketBlock block, std::size_t bytes, bool owned) noexcept {
#if defined(__SANITIZE_ADDRESS__)
  if (owned) {
    ASAN_UNPOISON_MEMORY_REGION(block.address, bytes);
  } else {
    ASAN_POISON_MEMORY_REGION(block.address, bytes);
  }
#else
  (void)block;
  (void)bytes;
  (void)owned;
#endif
}

void give_back(PacketBlock block, std::size_t bytes) noexcept {
  mark_owned(block, bytes, true);
  if (block.mapped) {
    munmap(block.address, bytes);
  } else {
    std::free(block.address);
  }
}

void give_back(const BlockCache::Released& released) noexcept {
  for (std::size_t i = 0; i < released.count; ++i) {
    give_back(released.entries[i].block, released.entries[i].bytes);
  }
}

// Blocks from 64 KiB (4096 packets) up are kept: below that glibc's heap
// reuses freed memory without returning it. 128 MiB holds the two live
// temporaries of a chain on four million elements; a second without reuse
// ends a block's stay.
constexpr BlockCache::Limits kept_blocks{std::size_t{64} << 10, std::size_t{128} << 20,
                                         std::uint64_t{1'000'000'000}};

// The coarse clock is read without a system call; its few milliseconds of
// resolution are nothing against a second of idleness.
std::uint64_t now_ns() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000 +
         static_cast<std::uint64_t>(now.tv_nsec);
}

// Both are trivially destructible, so tensors that die during exit, after
// static destructors would have run, still find them intact; blocks kept at
// exit stay reachable from here.
constinit BlockCache cache{kept_blocks};
// Mapped zero blocks, kept apart: no tensor writes one (operators.cpp leaves
// them alone), so each is as zero when it comes back as when it was mapped,
// and the next zeros of its size takes it without an mmap and a munmap,
// which cost more than NumPy's whole np.zeros at a megabyte. Its untouched
// pages hold no memory; pages that were read map the kernel's one zero page.
constinit BlockCache zero_cache{kept_blocks};
constinit std::mutex cache_mutex;
static_assert(std::is_trivially_destructible_v<BlockCache>);
static_assert(std::is_trivially_destructible_v<std::mutex>);

// fork() copies the cache with the rest of memory, and its blocks are as valid
// in the child as in the parent, but a lock held by another thread at that
// moment would stay held in the child forever. Forking waits until no thread
// holds it. Where the handlers cannot be registered (out of memory), nothing
// is kept and every block goes straight back.
void lock_before_fork() noexcept { cache_mutex.lock(); }
void unlock_after_fork() noexcept { cache_mutex.unlock(); }

bool cache_usable() noexcept {
  static const bool registered =
      pthread_atfork(&lock_before_fork, &unlock_after_fork, &unlock_after_fork) == 0;
  return registered;
}

bool worth_keeping(std::size_t bytes) noexcept {
  return kept_blocks.admit(bytes) && cache_usable();
}

PacketBlock fresh_block(std::size_t bytes, bool zeroed) noexcept {
  if (zeroed && bytes >= mapping_threshold) {
    void* address =
        mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return {address == MAP_FAILED ? nullptr : address, true};
  }
  return {zeroed ? std::calloc(bytes / 16, 16) : std::malloc(bytes), false};
}

}  // namespace

PacketBlock allocate_packets(std::uint64_t n, bool zeroed) noexcept {
  // n * 16 must fit in a size_t: a block smaller than its count would be
  // written past its end.
  if (n > SIZE_MAX / 16) return {nullptr, false};
  const std::size_t bytes = static_cast<std::size_t>(n) * 16;
  // A kept block is dirty: a zeroed request takes a kept zero block, or fresh
  // pages, which are zero without being written.
  if ((!zeroed || bytes >= mapping_threshold) && worth_keeping(bytes)) {
    BlockCache::Released released, idle;
    PacketBlock reused{nullptr, false};
    {
      const std::lock_guard<std::mutex> hold(cache_mutex);
      const std::uint64_t now = now_ns();
      reused = (zeroed ? zero_cache : cache).take(bytes, now, released);
      (zeroed ? cache : zero_cache).trim(now, idle);
    }
    give_back(released);
    give_back(idle);
    if (reused.address != nullptr) {
      mark_owned(reused, bytes, true);
      return reused;
    }
  }
  PacketBlock block = fresh_block(bytes, zeroed);
  if (block.address == nullptr) {
    // Memory that blocks of other sizes are kept in is no reason to fail:
    // they go back, and the request is tried once more.
    release_kept_packets();
    block = fresh_block(bytes, zeroed);
    if (block.address == nullptr) return block;
  }
  advise_huge_pages(block.address, bytes);
  return block;
}

void release_packets(PacketBlock block, std::uint64_t n) noexcept {
  const std::size_t bytes = static_cast<std::size_t>(n) * 16;
  // A mapped block is a zero tensor's, never written after it is made (not
  // even as a temporary whose block a result reuses): it is still zero, and
  // serves the next zeros, never a result, whose writes would fault its pages
  // in just like fresh ones.
  if (!worth_keeping(bytes)) {
    give_back(block, bytes);
    return;
  }
  mark_owned(block, bytes, false);
  BlockCache::Released released, idle;
  {
    const std::lock_guard<std::mutex> hold(cache_mutex);
    const std::uint64_t now = now_ns();
    (block.mapped ? zero_cache : cache).keep(block, bytes, now, released);
    (block.mapped ? cache : zero_cache).trim(now, idle);
  }
  give_back(released);
  give_back(idle);
}

void release_kept_packets() noexcept {
  if (!cache_usable()) return;
  BlockCache::Released released, zero;
  {
    const std::lock_guard<std::mutex> hold(cache_mutex);
    cache.drain(released);
    zero_cache.drain(zero);
  }
  give_back(released);
  give_back(zero);
}

KeptPackets kept_packets() noexcept {
  if (!cache_usable()) return {0, 0, 0};
  const std::lock_guard<std::mutex> hold(cache_mutex);
  return {cache.held_blocks(), cache.held_bytes(), zero_cache.held_blocks()};
}

}  // namespace halvorn
