// When a pass over packet blocks writes with non-temporal stores: for blocks
// too large to stay in cache, where the result is not read back soon and
// bypassing the cache saves the read-for-ownership of every line.
#pragma once

#include <cstdint>

namespace halvorn {

// A pass that touches at least this many bytes writes its result with
// non-temporal stores. Below it, everything the pass reads and writes fits a
// server's last-level cache, where ordinary stores are faster and the result
// is still there when it is read next; above it, the data streams from memory
// anyway and skipping the read-for-ownership of the result saves a third of
// an element-wise pass's traffic. (Measured with ./dev bench: a 16 MiB fill ran
// twice as fast cached, a 48 MiB addition about 10% faster streamed.)
inline constexpr std::uint64_t streaming_threshold_bytes = std::uint64_t{32} << 20;

// Non-temporal stores need 16-byte alignment, which malloc gives on x86-64;
// anything else takes the ordinary path. `touched` counts every byte the pass
// reads or writes.
inline bool worth_streaming(const void* out, std::uint64_t touched) noexcept {
  return touched >= streaming_threshold_bytes && (reinterpret_cast<std::uintptr_t>(out) & 15) == 0;
}

}  // namespace halvorn
