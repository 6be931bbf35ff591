// The loops that write whole packet blocks: fills and element-wise transforms.
// Unrolled by four, with no branch per element, and with non-temporal stores
// for blocks too large to stay in cache: such a result is not read back soon,
// and bypassing the cache saves the read-for-ownership of every line.
#pragma once

#include <cstdint>

#include "core/primitives/packet.h"

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

namespace detail {

template <bool streaming, class T>
inline void put(Packet<T>* out, typename Packet<T>::Register value) noexcept {
  if constexpr (streaming) {
    PacketMath<T>::stream(out, value);
  } else {
    PacketMath<T>::store(out, value);
  }
}

template <bool streaming, class T, class Operation>
void transform(const Packet<T>* a, const Packet<T>* b, Packet<T>* out, std::uint64_t n,
               Operation operation) noexcept {
  std::uint64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const auto r0 = operation(a[i].load(), b[i].load());
    const auto r1 = operation(a[i + 1].load(), b[i + 1].load());
    const auto r2 = operation(a[i + 2].load(), b[i + 2].load());
    const auto r3 = operation(a[i + 3].load(), b[i + 3].load());
    put<streaming, T>(out + i, r0);
    put<streaming, T>(out + i + 1, r1);
    put<streaming, T>(out + i + 2, r2);
    put<streaming, T>(out + i + 3, r3);
  }
  for (; i < n; ++i) put<streaming, T>(out + i, operation(a[i].load(), b[i].load()));
}

}  // namespace detail

// Writes the 16-byte `pattern` into each of the n packets at `out`, with the
// widest stores this CPU has (filling is no arithmetic: any store width writes
// the same packets).
void fill_block(void* out, std::uint64_t n, __m128i pattern) noexcept;

// Every one of the n packets at `out` becomes `value` in all lanes.
template <class T>
void fill_packets(Packet<T>* out, std::uint64_t n, T value) noexcept {
  Packet<T> pattern(value);
  fill_block(out, n, _mm_loadu_si128(reinterpret_cast<const __m128i*>(&pattern)));
}

// out[i] = operation(a[i], b[i]) on whole registers, for i in storage order.
template <class T, class Operation>
void transform_packets(const Packet<T>* a, const Packet<T>* b, Packet<T>* out, std::uint64_t n,
                       Operation operation) noexcept {
  // Two operands read, one result written.
  if (worth_streaming(out, 48 * n)) {
    detail::transform<true>(a, b, out, n, operation);
    _mm_sfence();
  } else {
    detail::transform<false>(a, b, out, n, operation);
  }
}

}  // namespace halvorn
