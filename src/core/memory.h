// Packet blocks.
#pragma once

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

// Returns a block from allocate_packets(n, ...).
void release_packets(PacketBlock block, std::uint64_t n) noexcept;

}  // namespace halvorn
