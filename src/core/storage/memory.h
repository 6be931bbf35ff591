// Packet blocks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace halvorn {

struct PacketBlock {
  void* address;
  // Mapped straight from the kernel rather than taken from the heap.
  bool mapped;
};

// A block of n 16-byte packets, n > 0, from malloc; with `zeroed`, every byte
// zero (calloc, or for a large block fresh pages mapped from the kernel, which
// are zero without being written). A block that cannot be had (n * 16 does not
// fit in a size_t, or the system refuses) comes back with a null address; the
// caller, which knows what the block was for, reports it.
PacketBlock allocate_packets(std::uint64_t n, bool zeroed) noexcept;

// Returns a block from allocate_packets(n, ...). A heap block of 64 KiB to
// 128 MiB is kept for the next uninitialised request of exactly its size instead (up
// to 16 blocks and 128 MiB in all, the oldest going first), and a mapped zero
// block for the next zeroed one, under the same limits apart; a kept block
// goes back to the system once it has waited a second, checked whenever a
// block is asked for or released, and every kept block goes back before a
// request is refused. Safe from any thread, and across fork().
void release_packets(PacketBlock block, std::uint64_t n) noexcept;

// A block of 4 MiB or more that is about to be written for the first time is
// touched page by page, a fault every 4 KiB; transparent huge pages on its
// aligned interior cut that 512-fold. Advice only: where the kernel declines,
// nothing changes. Any block: one of the allocator's, or a Python object's.
void advise_huge_pages(void* address, std::size_t bytes) noexcept;

// Gives every kept block back to the system now.
void release_kept_packets() noexcept;

struct KeptPackets {
  std::size_t blocks;
  std::size_t bytes;
  std::size_t zero_blocks;  // mapped zero blocks, apart from those above
};

// What is kept at this moment.
KeptPackets kept_packets() noexcept;

}  // namespace halvorn
