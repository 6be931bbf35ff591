// The digest: an NH accumulation, the universal hash of UMAC (Black, Halevi,
// Krawczyk, Krovetz and Rogaway, 1999) in the form XXH3 of xxHash (Collet,
// as xxHash's own format description gives it), over eight 64-bit lanes, with XXH3's scramble
// between blocks and its merge of the lanes, each half of the result
// finalised by MurmurHash3's fmix64 (Appleby). The keys are halvorn's own:
// a Weyl sequence per lane in place of XXH3's secret, so that a word's key
// depends on its position everywhere in the string, not only within a block.
//
// The definition, which tests/native/digest_test.cpp restates in scalar code:
// - Constants: the outputs of SplitMix64 (Steele, Lea and Flood, 2014) from
//   state 0, in this order: start[8], key[8], scramble[8], merge[2][8],
//   length[2]. G = 0x9E3779B97F4A7C15, SplitMix64's own increment.
// - The L bytes are read as 64-byte stripes, the last padded with zero bytes,
//   each stripe eight little-endian 64-bit words w[0..7].
// - acc[j] starts at start[j]. For stripe s and lane j, with
//   x = w[j] ^ (key[j] + s * G): acc[j] += lo32(x) * hi32(x) + w[j ^ 1].
//   The neighbour's word keeps every bit of the input in the sum even where
//   the product is zero.
// - After every 16th stripe (a 1 KiB block), each lane is scrambled:
//   acc[j] = (acc[j] ^ (acc[j] >> 47) ^ scramble[j]) * 0x9E3779B1.
// - Half h (0 the high, 1 the low): r = length[h] ^ (L * G), plus, for
//   i = 0..3, fold(acc[2i] ^ merge[h][2i], acc[2i + 1] ^ merge[h][2i + 1]),
//   fold being the 128-bit product's two halves xored; the half is fmix64(r).
// All arithmetic is modulo 2**64. Every step is a fixed function of the bytes,
// computed here with SSE2 integer instructions every x86-64 build has, not
// with the instruction set chosen at run time: each 16-byte register holds
// two whole lanes, so the vector steps are the scalar ones, lane by lane.
#include "core/operations/digest.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "core/operations/lane_copy.h"

namespace halvorn {
namespace {

constexpr std::uint64_t golden = 0x9E3779B97F4A7C15;
constexpr std::uint64_t scramble_multiplier = 0x9E3779B1;
constexpr std::uint64_t stripe_bytes = 64;
constexpr std::uint64_t block_stripes = 16;

struct Constants {
  std::uint64_t start[8];
  std::uint64_t key[8];
  std::uint64_t scramble[8];
  std::uint64_t merge[2][8];
  std::uint64_t length[2];
};

constexpr std::uint64_t splitmix64(std::uint64_t& state) {
  std::uint64_t z = (state += golden);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
  return z ^ (z >> 31);
}

constexpr Constants make_constants() {
  Constants c{};
  std::uint64_t state = 0;
  for (auto& value : c.start) value = splitmix64(state);
  for (auto& value : c.key) value = splitmix64(state);
  for (auto& value : c.scramble) value = splitmix64(state);
  for (auto& half : c.merge) {
    for (auto& value : half) value = splitmix64(state);
  }
  for (auto& value : c.length) value = splitmix64(state);
  return c;
}

constexpr Constants constants = make_constants();

std::uint64_t fmix64(std::uint64_t k) noexcept {
  k ^= k >> 33;
  k *= 0xFF51AFD7ED558CCD;
  k ^= k >> 33;
  k *= 0xC4CEB9FE1A85EC53;
  return k ^ (k >> 33);
}

std::uint64_t fold(std::uint64_t a, std::uint64_t b) noexcept {
  __extension__ using Wide = unsigned __int128;
  const Wide product = static_cast<Wide>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

__m128i load_pair(const std::uint64_t* at) noexcept {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

void load_stripe(const unsigned char* at, __m128i* words) noexcept {
  for (int v = 0; v < 4; ++v) {
    words[v] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 16 * v));
  }
}

__m128i packet_at(const char* at) noexcept {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// Lane 0 of the 16 / sizeof(T) packets at `at`, in storage order.
template <class T>
__m128i lane0_register(const char* at) noexcept {
  if constexpr (sizeof(T) == 8) {
    return _mm_unpacklo_epi64(packet_at(at), packet_at(at + 16));
  } else if constexpr (sizeof(T) == 4) {
    return _mm_unpacklo_epi64(_mm_unpacklo_epi32(packet_at(at), packet_at(at + 16)),
                              _mm_unpacklo_epi32(packet_at(at + 32), packet_at(at + 48)));
  } else {
    const __m128i p01 = _mm_unpacklo_epi16(packet_at(at), packet_at(at + 16));
    const __m128i p23 = _mm_unpacklo_epi16(packet_at(at + 32), packet_at(at + 48));
    const __m128i p45 = _mm_unpacklo_epi16(packet_at(at + 64), packet_at(at + 80));
    const __m128i p67 = _mm_unpacklo_epi16(packet_at(at + 96), packet_at(at + 112));
    return _mm_unpacklo_epi64(_mm_unpacklo_epi32(p01, p23), _mm_unpacklo_epi32(p45, p67));
  }
}

class Digester {
 public:
  Digester() noexcept {
    for (int v = 0; v < 4; ++v) {
      acc_[v] = load_pair(constants.start + 2 * v);
      key_[v] = load_pair(constants.key + 2 * v);
    }
  }

  // `count` whole stripes, stripe i's four registers of words from read(i, w).
  template <class Read>
  void absorb(Read read, std::uint64_t count) noexcept {
    // The state in locals, which stay in registers: the members could be
    // stored to before every load of the input, which may alias them.
    __m128i acc[4];
    __m128i key[4];
    for (int v = 0; v < 4; ++v) {
      acc[v] = acc_[v];
      key[v] = key_[v];
    }
    const __m128i step = _mm_set1_epi64x(static_cast<long long>(golden));
    std::uint64_t done = 0;
    while (count > 0) {
      const std::uint64_t take = std::min(count, block_stripes - in_block_);
      for (std::uint64_t i = 0; i < take; ++i) {
        __m128i words[4];
        read(done + i, words);
        for (int v = 0; v < 4; ++v) {
          const __m128i w = words[v];
          const __m128i x = _mm_xor_si128(w, key[v]);
          // PMULUDQ: the low 32 bits of each lane times its high 32 bits, to 64.
          const __m128i product = _mm_mul_epu32(x, _mm_srli_epi64(x, 32));
          const __m128i neighbour = _mm_shuffle_epi32(w, _MM_SHUFFLE(1, 0, 3, 2));
          acc[v] = _mm_add_epi64(acc[v], _mm_add_epi64(product, neighbour));
          key[v] = _mm_add_epi64(key[v], step);
        }
      }
      count -= take;
      done += take;
      in_block_ += take;
      if (in_block_ == block_stripes) {
        scramble(acc);
        in_block_ = 0;
      }
    }
    for (int v = 0; v < 4; ++v) {
      acc_[v] = acc[v];
      key_[v] = key[v];
    }
  }

  // The `tail` bytes at `rest` that fill no stripe, then the halves, for a
  // string of `total` bytes.
  Digest finish(const unsigned char* rest, std::uint64_t tail, std::uint64_t total) noexcept {
    if (tail > 0) {
      unsigned char last[stripe_bytes] = {};
      std::memcpy(last, rest, tail);
      absorb([&](std::uint64_t, __m128i* words) { load_stripe(last, words); }, 1);
    }
    std::uint64_t acc[8];
    for (int v = 0; v < 4; ++v) _mm_storeu_si128(reinterpret_cast<__m128i*>(acc + 2 * v), acc_[v]);
    std::uint64_t halves[2];
    for (int h = 0; h < 2; ++h) {
      std::uint64_t r = constants.length[h] ^ (total * golden);
      for (int i = 0; i < 8; i += 2) {
        r += fold(acc[i] ^ constants.merge[h][i], acc[i + 1] ^ constants.merge[h][i + 1]);
      }
      halves[h] = fmix64(r);
    }
    return {halves[0], halves[1]};
  }

 private:
  static void scramble(__m128i* acc) noexcept {
    const __m128i multiplier = _mm_set1_epi64x(static_cast<long long>(scramble_multiplier));
    for (int v = 0; v < 4; ++v) {
      __m128i a = _mm_xor_si128(acc[v], _mm_srli_epi64(acc[v], 47));
      a = _mm_xor_si128(a, load_pair(constants.scramble + 2 * v));
      // A 64-bit lane times a 32-bit multiplier, modulo 2**64, from two
      // 32 x 32 -> 64 products.
      const __m128i low = _mm_mul_epu32(a, multiplier);
      const __m128i high = _mm_mul_epu32(_mm_srli_epi64(a, 32), multiplier);
      acc[v] = _mm_add_epi64(low, _mm_slli_epi64(high, 32));
    }
  }

  __m128i acc_[4];
  __m128i key_[4];
  std::uint64_t in_block_ = 0;
};

}  // namespace

Digest digest_bytes(const void* bytes, std::uint64_t size) noexcept {
  const auto* at = static_cast<const unsigned char*>(bytes);
  Digester digester;
  const std::uint64_t stripes = size / stripe_bytes;
  digester.absorb(
      [at](std::uint64_t i, __m128i* words) { load_stripe(at + stripe_bytes * i, words); },
      stripes);
  return digester.finish(at + stripe_bytes * stripes, size % stripe_bytes, size);
}

template <class T>
Digest digest_values(const Tensor<T>& tensor) noexcept {
  // Each stripe's words gathered from lane 0 of its packets straight into
  // registers: one read of the packets, the absorption between the loads.
  constexpr std::uint64_t per_stripe = stripe_bytes / sizeof(T);
  const auto* packets = reinterpret_cast<const char*>(tensor.data.packets);
  const std::uint64_t n = tensor.data.size();
  Digester digester;
  digester.absorb(
      [packets](std::uint64_t i, __m128i* words) {
        const char* p = packets + 16 * per_stripe * i;
        for (int v = 0; v < 4; ++v, p += 16 * (16 / sizeof(T))) words[v] = lane0_register<T>(p);
      },
      n / per_stripe);
  const std::uint64_t rest = n % per_stripe;
  unsigned char last[stripe_bytes];
  copy_lane0(tensor.data.packets + (n - rest), rest, last);
  return digester.finish(last, rest * sizeof(T), n * sizeof(T));
}

std::string digest_hex(const Digest& digest) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text(32, '0');
  for (int i = 0; i < 16; ++i) {
    text[static_cast<std::size_t>(15 - i)] = digits[(digest.high >> (4 * i)) & 15];
    text[static_cast<std::size_t>(31 - i)] = digits[(digest.low >> (4 * i)) & 15];
  }
  return text;
}

#define HALVORN_INSTANTIATE(T) template Digest digest_values<T>(const Tensor<T>&) noexcept;
HALVORN_FOR_EACH_ELEMENT_TYPE(HALVORN_INSTANTIATE)
#undef HALVORN_INSTANTIATE

}  // namespace halvorn
