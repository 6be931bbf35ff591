// Released packet blocks kept for the next block of the same size.
//
// An expression such as a * b + a makes and drops a temporary of the same size
// at every step. A block handed back to the heap goes back to the kernel when
// it is large (glibc unmaps or trims it), and the next one is faulted in again
// page by page: hundreds of faults for a result that takes microseconds to
// write. Keeping a few recently released blocks lets the next result of that
// size land in pages that are already mapped, and most likely in cache.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/storage/memory.h"

namespace halvorn {

// The bookkeeping alone, with time passed in; not thread-safe (the process-wide
// cache behind allocate_packets holds it under a mutex). Blocks are matched by
// exact size: a larger block would have to remember its own size, and the
// temporaries of a chain all have the size of its operands anyway.
class BlockCache {
 public:
  static constexpr std::size_t slots = 16;

  struct Limits {
    std::size_t smallest;   // smaller blocks are left to the heap, which reuses them well
    std::size_t capacity;   // bytes held at most, over all kept blocks
    std::uint64_t idle_ns;  // a block kept this long without being taken is given back

    constexpr bool admit(std::size_t bytes) const noexcept {
      return bytes >= smallest && bytes <= capacity;
    }
  };

  struct Entry {
    PacketBlock block;
    std::size_t bytes;
    std::uint64_t kept_ns;
  };

  // The blocks the cache lets go of. The caller gives them back to the system
  // after dropping its lock: unmapping 64 MiB is not quick.
  struct Released {
    std::array<Entry, slots + 1> entries{};
    std::size_t count = 0;
    void add(const Entry& entry) noexcept { entries[count++] = entry; }
  };

  explicit constexpr BlockCache(Limits limits) noexcept : limits_(limits) {}

  // A kept block of exactly `bytes`, the most recently kept of them (its lines
  // are the likeliest to be in cache still); a null address when there is none.
  PacketBlock take(std::size_t bytes, std::uint64_t now_ns, Released& released) noexcept;

  // Keeps `block`, giving back the oldest blocks as far as the slots and the
  // capacity require; a block outside the limits is handed straight back.
  void keep(PacketBlock block, std::size_t bytes, std::uint64_t now_ns,
            Released& released) noexcept;

  // Gives back every block kept idle_ns or longer ago.
  void trim(std::uint64_t now_ns, Released& released) noexcept;

  // Gives back every block.
  void drain(Released& released) noexcept;

  std::size_t held_bytes() const noexcept { return bytes_; }
  std::size_t held_blocks() const noexcept { return count_; }
  const Limits& limits() const noexcept { return limits_; }

 private:
  void drop_front(std::size_t how_many, Released& released) noexcept;

  Limits limits_;
  // Oldest first: kept_ns never decreases along the array.
  std::array<Entry, slots> entries_{};
  std::size_t count_ = 0;
  std::size_t bytes_ = 0;
};

}  // namespace halvorn
