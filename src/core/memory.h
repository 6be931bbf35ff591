// Packet blocks from the process heap.
#pragma once

#include <cstdint>

namespace halvorn {

// A block of n 16-byte packets from malloc (or calloc, when `zeroed`), to be
// returned with free. n must not be 0. A block that cannot be had (n * 16 does
// not fit in a size_t, or the heap refuses) ends the process with "Failed to
// allocate memory!\n".
void* allocate_packets(std::uint64_t n, bool zeroed) noexcept;

}  // namespace halvorn
