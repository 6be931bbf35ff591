// The bulk element-wise arithmetic, built once per instruction set
// (core/primitives/kernel_builds.h). Every build gives the bits that
// Packet<T>'s operators give packet by packet; wider builds only do more
// packets at once.
#pragma once

#include <cstdint>

#include "core/primitives/element.h"
#include "core/primitives/kernel_builds.h"

namespace halvorn {

template <class T>
struct PacketArithmetic {
  // out[i] = a[i] op b[i] for each of the n packets at a, b and out, lane by
  // lane: wrapping for the integers, IEEE rounding for the floats. out may be
  // a or b. Streaming stores need out 16-byte aligned and are fenced before
  // the return.
  using Binary = void (*)(const void* a, const void* b, void* out, std::uint64_t n,
                          bool streaming) noexcept;
  Binary add;
  Binary sub;
  Binary mul;
  // out[i] = a[i] / b[i] as Packet<T>'s operator/ gives it, for each of the n
  // packets, stored as `streaming` says, as above but not fenced: a caller
  // dividing block by block fences once after the last, rather than waiting
  // on the memory at every block. No lane 0 of b may be zero for the
  // integers. out may be a or b.
  Binary divide;
};

using ArithmeticKernels = ForEachElementType<PacketArithmetic>;

HALVORN_KERNEL_BUILDS(ArithmeticKernels, arithmetic_kernels)

}  // namespace halvorn
