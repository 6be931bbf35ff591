// The fills, built once per instruction set with HALVORN_TARGET naming it: the
// widest store the set has, several a loop so that the store port, not the
// loop, sets the pace. Nothing here calls inline code from elsewhere but
// kernel_helpers-inl.h's, which is this build's own: the linker could hand
// any other to another set's build.
#include <immintrin.h>

#include <cstdint>

#include "core/primitives/fill_kernels.h"
#include "core/primitives/kernel_helpers-inl.h"

namespace halvorn::HALVORN_TARGET {
namespace {

// The widest store the set has, and the 16-byte pattern repeated across it.
#if HALVORN_VECTOR_BYTES == 64
using Stored = __m512i;
Stored widen(__m128i pattern) noexcept { return _mm512_broadcast_i32x4(pattern); }
#elif HALVORN_VECTOR_BYTES == 32
using Stored = __m256i;
Stored widen(__m128i pattern) noexcept { return _mm256_broadcastsi128_si256(pattern); }
#else
using Stored = __m128i;
Stored widen(__m128i pattern) noexcept { return pattern; }
#endif

constexpr std::uint64_t packets_per_store = sizeof(Stored) / 16;

template <bool streaming>
void fill_packets(char* out, std::uint64_t n, __m128i pattern) noexcept {
  std::uint64_t i = 0;
  // Packets one at a time up to the store width's alignment: streaming stores
  // need it, and ordinary ones that split a cache line cost two. The heap
  // gives 16 bytes.
  while (i < n && (reinterpret_cast<std::uintptr_t>(out + 16 * i) & (sizeof(Stored) - 1)) != 0) {
    put<streaming>(out + 16 * i, pattern);
    ++i;
  }
  const Stored wide = widen(pattern);
  constexpr std::uint64_t step = 4 * packets_per_store;
  for (; i + step <= n; i += step) {
    char* to = out + 16 * i;
    put<streaming>(to, wide);
    put<streaming>(to + sizeof(Stored), wide);
    put<streaming>(to + 2 * sizeof(Stored), wide);
    put<streaming>(to + 3 * sizeof(Stored), wide);
  }
  for (; i + packets_per_store <= n; i += packets_per_store) put<streaming>(out + 16 * i, wide);
  for (; i < n; ++i) put<streaming>(out + 16 * i, pattern);
}

#if HALVORN_VECTOR_BYTES == 16
// Sixteen-byte stores leave a fill at half the speed of the wider sets' from
// 2 KiB on, in cache as well (measured on Zen 4: 1 MiB in 46k cycles against
// 28k); rep stosq, which every x86-64 runs, writes whole lines at the wider
// stores' pace. It repeats eight bytes, as every packet's pattern does: a
// value broadcast into its lanes.
constexpr std::uint64_t string_store_packets = 128;

bool repeats_every_eight_bytes(__m128i pattern) noexcept {
  return _mm_cvtsi128_si64(pattern) == _mm_extract_epi64(pattern, 1);
}

void store_string(void* out, std::uint64_t n, __m128i pattern) noexcept {
  std::uint64_t words = 2 * n;
  __asm__ volatile("rep stosq"
                   : "+D"(out), "+c"(words)
                   : "a"(_mm_cvtsi128_si64(pattern))
                   : "memory");
}
#endif

void fill(void* out, std::uint64_t n, const void* pattern, bool streaming) noexcept {
  const __m128i value = _mm_loadu_si128(static_cast<const __m128i*>(pattern));
#if HALVORN_VECTOR_BYTES == 16
  if (!streaming && n >= string_store_packets && repeats_every_eight_bytes(value)) {
    store_string(out, n, value);
    return;
  }
#endif
  if (streaming) {
    fill_packets<true>(static_cast<char*>(out), n, value);
    _mm_sfence();
  } else {
    fill_packets<false>(static_cast<char*>(out), n, value);
  }
}

}  // namespace

extern const FillKernels fill_kernels{&fill};

}  // namespace halvorn::HALVORN_TARGET
