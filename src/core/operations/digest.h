// A 128-bit digest of a tensor's values, for the names schedulers give data
// (Dask's tokens): equal values give equal digests on every machine, build and
// run, and different values different ones but with a chance of 2**-128 or so.
// A scheduler dedupes by these names, so a collision would silently make two
// tensors one; the mixing is strong for that, though not cryptographic.
//
// The digest is a function of a byte string alone: a tensor's is that of the
// lane-0 bytes of its packets in storage order (n * sizeof(T) bytes), so every
// bit of every value counts (-0.0 and 0.0 differ, as do NaN payloads) and the
// lanes' copies do not. The type and shape are the caller's to name beside it.
#pragma once

#include <cstdint>
#include <string>

#include "core/storage/tensor.h"

namespace halvorn {

struct Digest {
  std::uint64_t high = 0;
  std::uint64_t low = 0;

  bool operator==(const Digest&) const = default;
};

// The digest of the `size` bytes at `bytes` (any alignment).
Digest digest_bytes(const void* bytes, std::uint64_t size) noexcept;

// The digest of the tensor's lane-0 bytes, without gathering them all first:
// one read of the packets, at memory speed.
template <class T>
Digest digest_values(const Tensor<T>& tensor) noexcept;

// 32 lowercase hexadecimal digits, the high half first.
std::string digest_hex(const Digest& digest);

}  // namespace halvorn
