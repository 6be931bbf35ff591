#include <immintrin.h>

#include <cstdint>

#include "core/primitives/dispatch.h"
#include "core/primitives/packet_loops.h"

namespace halvorn {
namespace {

template <bool streaming>
void fill_sse(char* out, std::uint64_t n, __m128i pattern) noexcept {
  auto put = [](char* to, __m128i value) {
    if constexpr (streaming) {
      _mm_stream_si128(reinterpret_cast<__m128i*>(to), value);
    } else {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to), value);
    }
  };
  std::uint64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    put(out + 16 * i, pattern);
    put(out + 16 * i + 16, pattern);
    put(out + 16 * i + 32, pattern);
    put(out + 16 * i + 48, pattern);
  }
  for (; i < n; ++i) put(out + 16 * i, pattern);
}

// Two packets per 32-byte store. Called only where the CPU has AVX2; the
// target attribute keeps AVX out of every other function of the module.
template <bool streaming>
__attribute__((target("avx2"))) void fill_avx2(char* out, std::uint64_t n,
                                               __m128i pattern) noexcept {
  std::uint64_t i = 0;
  // 32-byte stores want 32-byte alignment; the heap gives 16.
  if ((reinterpret_cast<std::uintptr_t>(out) & 31) != 0 && n > 0) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), pattern);
    i = 1;
  }
  const __m256i pair = _mm256_broadcastsi128_si256(pattern);
  auto put = [](char* to, __m256i value) __attribute__((target("avx2"))) {
    if constexpr (streaming) {
      _mm256_stream_si256(reinterpret_cast<__m256i*>(to), value);
    } else {
      // Unaligned on purpose: it costs nothing when the address is aligned,
      // and the block's alignment is the allocator's business, not ours.
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), value);
    }
  };
  for (; i + 8 <= n; i += 8) {
    put(out + 16 * i, pair);
    put(out + 16 * i + 32, pair);
    put(out + 16 * i + 64, pair);
    put(out + 16 * i + 96, pair);
  }
  for (; i + 2 <= n; i += 2) put(out + 16 * i, pair);
  if (i < n) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * i), pattern);
}

using Fill = void (*)(char*, std::uint64_t, __m128i) noexcept;

}  // namespace

void fill_block(void* out, std::uint64_t n, __m128i pattern) noexcept {
  const bool wide = chosen_instruction_set() >= InstructionSet::avx2;
  const bool streaming = worth_streaming(out, 16 * n);
  const Fill fill = wide ? (streaming ? fill_avx2<true> : fill_avx2<false>)
                         : (streaming ? fill_sse<true> : fill_sse<false>);
  fill(static_cast<char*>(out), n, pattern);
  if (streaming) _mm_sfence();
}

}  // namespace halvorn
