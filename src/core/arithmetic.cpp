#include "core/arithmetic.h"

#include "core/fatal.h"

namespace halvorn {
namespace {

template <class T>
void require_same_shape(const Tensor<T>& a, const Tensor<T>& b, const char* message) {
  // Counts first: cheap, and equal shapes always have equal counts.
  if (a.data.size() != b.data.size() || a.shape != b.shape) fail(message);
}

// Applies `operation` to every pair of packets. The result is built without a
// fill because every packet is written exactly once.
template <class T, class Operation>
Tensor<T> elementwise(const Tensor<T>& a, const Tensor<T>& b, Operation operation) {
  Tensor<T> result(a.shape);
  const std::uint64_t n = a.data.size();
  const Packet<T>* left = a.data.packets;
  const Packet<T>* right = b.data.packets;
  Packet<T>* out = result.data.packets;
  for (std::uint64_t i = 0; i < n; ++i) out[i].store(operation(left[i].load(), right[i].load()));
  return result;
}

}  // namespace

template <class T>
Tensor<T> add(const Tensor<T>& a, const Tensor<T>& b) {
  require_same_shape(a, b, "quorva add() : Shape doesn't match!\n");
  return elementwise(a, b, PacketMath<T>::add);
}

template <class T>
Tensor<T> sub(const Tensor<T>& a, const Tensor<T>& b) {
  require_same_shape(a, b, "quorva sub() : Shape doesn't match!\n");
  return elementwise(a, b, PacketMath<T>::sub);
}

template <class T>
Tensor<T> mul(const Tensor<T>& a, const Tensor<T>& b) {
  require_same_shape(a, b, "quorva mul() : Shape doesn't match!\n");
  return elementwise(a, b, PacketMath<T>::mul);
}

template <class T>
Tensor<T> div(const Tensor<T>& a, const Tensor<T>& b) {
  require_same_shape(a, b, "quorva div() : Shape doesn't match!\n");
  // The process ends at the first zero divisor in storage order, so nothing
  // is returned; the zero test reads lane 0 with an ordered comparison.
  const std::uint64_t n = b.data.size();
  for (std::uint64_t i = 0; i < n; ++i) {
    if (b.data[i] == T(0)) fail("quorva div() : cannot divide by zero!\n");
  }
  return elementwise(a, b, PacketMath<T>::div);
}

#define HALVORN_INSTANTIATE(T)                                      \
  template Tensor<T> add<T>(const Tensor<T>&, const Tensor<T>&);   \
  template Tensor<T> sub<T>(const Tensor<T>&, const Tensor<T>&);   \
  template Tensor<T> mul<T>(const Tensor<T>&, const Tensor<T>&);   \
  template Tensor<T> div<T>(const Tensor<T>&, const Tensor<T>&);
HALVORN_INSTANTIATE(short)
HALVORN_INSTANTIATE(int)
HALVORN_INSTANTIATE(float)
HALVORN_INSTANTIATE(double)
#undef HALVORN_INSTANTIATE

}  // namespace halvorn
