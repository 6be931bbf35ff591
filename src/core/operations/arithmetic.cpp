#include "core/operations/arithmetic.h"

#include <immintrin.h>

#include <cstring>

#include "core/misuse/misuse.h"
#include "core/operations/arithmetic_kernels.h"
#include "core/operations/lane_copy.h"
#include "core/primitives/streaming.h"

namespace halvorn {
namespace {

template <class T>
void require_same_shape(const Tensor<T>& a, const Tensor<T>& b, const char* operation) {
  // Counts first: cheap, and equal shapes always have equal counts.
  if (a.data.size() != b.data.size() || a.shape != b.shape) {
    shapes_do_not_match(operation, a.shape, b.shape);
  }
}

// The entry points of T's kernels, one of which compute() calls.
template <class T>
using Entries = PacketArithmetic<T>;

// Two operands read, one result written. A result written over an operand
// stores each line just after reading it into the cache: there is no
// read-for-ownership left for a non-temporal store to save, and it would
// evict the line the load brought in.
template <class T>
bool streams_result(const Tensor<T>& a, const Tensor<T>& b, const Packet<T>* out) noexcept {
  return worth_streaming(out, 48 * a.data.size()) && out != a.data.packets && out != b.data.packets;
}

// out may be a or b itself: each packet is read before its own result is
// written, and no other packet's result depends on it.
template <class T>
void compute(const Tensor<T>& a, const Tensor<T>& b, Packet<T>* out,
             typename Entries<T>::Binary Entries<T>::* operation) {
  const auto kernel = arithmetic_kernels_builds.chosen().of<T>().*operation;
  const std::uint64_t n = a.data.size();
  kernel(a.data.packets, b.data.packets, out, n, streams_result(a, b, out));
}

// Divisors are checked a block ahead of the division, so the hot loops carry no
// branch per element; the first zero in storage order is still the one
// reported, and nothing is returned.
constexpr std::uint64_t division_block = 1024;

template <class T>
bool has_zero_divisor(const Packet<T>* divisors, std::uint64_t n) noexcept {
  bool zero = false;
  for (std::uint64_t i = 0; i < n; ++i) zero |= divisors[i] == T(0);
  return zero;
}

// Bounded by the block, though a zero is known to be in it: the compiler may
// search an unbounded loop a vector at a time and read past the last packet.
template <class T>
std::uint64_t first_zero_divisor(const Packet<T>* divisors, std::uint64_t n) noexcept {
  std::uint64_t i = 0;
  while (i < n && !(divisors[i] == T(0))) ++i;
  return i;
}

template <class T>
void divide(const Tensor<T>& a, const Tensor<T>& b, Packet<T>* out) {
  const std::uint64_t n = a.data.size();
  const auto divide_block = arithmetic_kernels_builds.chosen().of<T>().divide;
  const bool streaming = streams_result(a, b, out);
  for (std::uint64_t start = 0; start < n; start += division_block) {
    const std::uint64_t count = n - start < division_block ? n - start : division_block;
    // The ordered comparison in the zero test makes -0.0 a zero and lets NaN through.
    if (has_zero_divisor(b.data.packets + start, count)) {
      divisor_is_zero(b.shape, start + first_zero_divisor(b.data.packets + start, count));
    }
    divide_block(a.data.packets + start, b.data.packets + start, out + start, count, streaming);
  }
  if (streaming) _mm_sfence();
}

// The result is built without a fill because every packet is written exactly once.
template <class T, class Write>
Tensor<T> into_new(const Tensor<T>& a, const Tensor<T>& b, const char* operation, Write write) {
  require_same_shape(a, b, operation);
  Tensor<T> result(a.shape);
  write(result.data.packets);
  return result;
}

template <class T, class Write>
void over(Tensor<T>& reused, const Tensor<T>& a, const Tensor<T>& b, const char* operation,
          Write write) {
  require_same_shape(a, b, operation);
  write(reused.data.packets);
  // Whatever factory made the operand, the packets are a result's now.
  reused.fill_kind = FillKind::none;
  reused.fill_value = T(0);
}

}  // namespace

void require_same_shape(const char* operation, const Shape& a, const Shape& b) {
  if (a != b) shapes_do_not_match(operation, a, b);
}

template <class T>
Tensor<T> add(const Tensor<T>& a, const Tensor<T>& b) {
  return into_new(a, b, "add", [&](Packet<T>* out) { compute(a, b, out, &Entries<T>::add); });
}

template <class T>
Tensor<T> sub(const Tensor<T>& a, const Tensor<T>& b) {
  return into_new(a, b, "sub", [&](Packet<T>* out) { compute(a, b, out, &Entries<T>::sub); });
}

template <class T>
Tensor<T> mul(const Tensor<T>& a, const Tensor<T>& b) {
  return into_new(a, b, "mul", [&](Packet<T>* out) { compute(a, b, out, &Entries<T>::mul); });
}

template <class T>
Tensor<T> div(const Tensor<T>& a, const Tensor<T>& b) {
  return into_new(a, b, "div", [&](Packet<T>* out) { divide(a, b, out); });
}

// Packets of each operand in a tile: three tiles of 8 KiB stay in the
// first-level cache between the broadcast in, the kernel and the copy out.
constexpr std::uint64_t values_tile = 512;

template <class T>
void operate_on_values(const char* operation, const void* a, const void* b, void* out,
                       const Shape& shape) {
  const std::uint64_t n = element_count(shape);
  const PacketArithmetic<T>& operations = arithmetic_kernels_builds.chosen().of<T>();
  const bool dividing = std::strcmp(operation, "div") == 0;
  const auto combine = std::strcmp(operation, "add") == 0   ? operations.add
                       : std::strcmp(operation, "sub") == 0 ? operations.sub
                                                            : operations.mul;
  alignas(64) std::byte tiles[3][values_tile * sizeof(Packet<T>)];
  Packet<T>* const left = reinterpret_cast<Packet<T>*>(tiles[0]);
  Packet<T>* const right = reinterpret_cast<Packet<T>*>(tiles[1]);
  Packet<T>* const result = reinterpret_cast<Packet<T>*>(tiles[2]);
  const auto* const a_values = static_cast<const std::byte*>(a);
  const auto* const b_values = static_cast<const std::byte*>(b);
  auto* const out_values = static_cast<std::byte*>(out);
  for (std::uint64_t start = 0; start < n; start += values_tile) {
    const std::uint64_t count = n - start < values_tile ? n - start : values_tile;
    broadcast_values(a_values + start * sizeof(T), count, left);
    broadcast_values(b_values + start * sizeof(T), count, right);
    if (dividing) {
      if (has_zero_divisor(right, count)) {
        divisor_is_zero(shape, start + first_zero_divisor(right, count));
      }
      operations.divide(left, right, result, count, false);
    } else {
      combine(left, right, result, count, false);
    }
    copy_lane0(result, count, out_values + start * sizeof(T));
  }
}

template <class T>
void add_over(Tensor<T>& reused, const Tensor<T>& a, const Tensor<T>& b) {
  over(reused, a, b, "add", [&](Packet<T>* out) { compute(a, b, out, &Entries<T>::add); });
}

template <class T>
void sub_over(Tensor<T>& reused, const Tensor<T>& a, const Tensor<T>& b) {
  over(reused, a, b, "sub", [&](Packet<T>* out) { compute(a, b, out, &Entries<T>::sub); });
}

template <class T>
void mul_over(Tensor<T>& reused, const Tensor<T>& a, const Tensor<T>& b) {
  over(reused, a, b, "mul", [&](Packet<T>* out) { compute(a, b, out, &Entries<T>::mul); });
}

template <class T>
void div_over(Tensor<T>& reused, const Tensor<T>& a, const Tensor<T>& b) {
  over(reused, a, b, "div", [&](Packet<T>* out) { divide(a, b, out); });
}

#define HALVORN_INSTANTIATE(T)                                               \
  template Tensor<T> add<T>(const Tensor<T>&, const Tensor<T>&);             \
  template Tensor<T> sub<T>(const Tensor<T>&, const Tensor<T>&);             \
  template Tensor<T> mul<T>(const Tensor<T>&, const Tensor<T>&);             \
  template Tensor<T> div<T>(const Tensor<T>&, const Tensor<T>&);             \
  template void add_over<T>(Tensor<T>&, const Tensor<T>&, const Tensor<T>&); \
  template void sub_over<T>(Tensor<T>&, const Tensor<T>&, const Tensor<T>&); \
  template void mul_over<T>(Tensor<T>&, const Tensor<T>&, const Tensor<T>&); \
  template void div_over<T>(Tensor<T>&, const Tensor<T>&, const Tensor<T>&); \
  template void operate_on_values<T>(const char*, const void*, const void*, void*, const Shape&);
HALVORN_FOR_EACH_ELEMENT_TYPE(HALVORN_INSTANTIATE)
#undef HALVORN_INSTANTIATE

}  // namespace halvorn
