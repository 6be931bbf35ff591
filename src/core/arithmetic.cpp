#include "core/arithmetic.h"

#include "core/dispatch.h"
#include "core/misuse.h"
#include "core/packet_loops.h"

namespace halvorn {
namespace {

template <class T>
void require_same_shape(const Tensor<T>& a, const Tensor<T>& b, const char* operation) {
  // Counts first: cheap, and equal shapes always have equal counts.
  if (a.data.size() != b.data.size() || a.shape != b.shape) {
    shapes_do_not_match(operation, a.shape, b.shape);
  }
}

// The result is built without a fill because every packet is written exactly once.
template <class T, class Operation>
Tensor<T> elementwise(const Tensor<T>& a, const Tensor<T>& b, Operation operation) {
  Tensor<T> result(a.shape);
  transform_packets(a.data.packets, b.data.packets, result.data.packets, a.data.size(), operation);
  return result;
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

}  // namespace

template <class T>
Tensor<T> add(const Tensor<T>& a, const Tensor<T>& b) {
  require_same_shape(a, b, "add");
  return elementwise(a, b, PacketMath<T>::add);
}

template <class T>
Tensor<T> sub(const Tensor<T>& a, const Tensor<T>& b) {
  require_same_shape(a, b, "sub");
  return elementwise(a, b, PacketMath<T>::sub);
}

template <class T>
Tensor<T> mul(const Tensor<T>& a, const Tensor<T>& b) {
  require_same_shape(a, b, "mul");
  return elementwise(a, b, PacketMath<T>::mul);
}

template <class T>
Tensor<T> div(const Tensor<T>& a, const Tensor<T>& b) {
  require_same_shape(a, b, "div");
  Tensor<T> result(a.shape);
  const std::uint64_t n = a.data.size();
  const bool wide = chosen_instruction_set() >= InstructionSet::avx2;
  for (std::uint64_t start = 0; start < n; start += division_block) {
    const std::uint64_t count = n - start < division_block ? n - start : division_block;
    // The ordered comparison in the zero test makes -0.0 a zero and lets NaN through.
    if (has_zero_divisor(b.data.packets + start, count)) {
      divisor_is_zero(b.shape, start + first_zero_divisor(b.data.packets + start, count));
    }
    const auto divide = wide ? PacketMath<T>::div_many_avx2 : PacketMath<T>::div_many;
    divide(a.data.packets + start, b.data.packets + start, result.data.packets + start, count);
  }
  return result;
}

#define HALVORN_INSTANTIATE(T)                                    \
  template Tensor<T> add<T>(const Tensor<T>&, const Tensor<T>&); \
  template Tensor<T> sub<T>(const Tensor<T>&, const Tensor<T>&); \
  template Tensor<T> mul<T>(const Tensor<T>&, const Tensor<T>&); \
  template Tensor<T> div<T>(const Tensor<T>&, const Tensor<T>&);
HALVORN_INSTANTIATE(short)
HALVORN_INSTANTIATE(int)
HALVORN_INSTANTIATE(float)
HALVORN_INSTANTIATE(double)
#undef HALVORN_INSTANTIATE

}  // namespace halvorn
