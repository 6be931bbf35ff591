// The copies between packets and plain arrays, built once per instruction set
// (core/primitives/kernel_builds.h). They move bits and never compute, so one
// kernel per element width serves the integer and the floating-point type of
// that width alike.
#pragma once

#include <cstdint>

#include "core/primitives/element.h"
#include "core/primitives/kernel_builds.h"

namespace halvorn {

template <class T>
struct LaneCopy {
  // Lane 0 of the n packets at `packets`, as n consecutive Ts at `out`, which
  // needs no alignment.
  void (*copy_lane0)(const void* packets, std::uint64_t n, void* out) noexcept;
  // The n consecutive Ts at `values` (any alignment), each put into every lane
  // of its packet at `out`. Streaming stores need `out` 16-byte aligned and
  // are fenced before the return.
  void (*broadcast)(const void* values, std::uint64_t n, void* out, bool streaming) noexcept;
};

using LaneCopyKernels = ForEachElementType<LaneCopy>;

HALVORN_KERNEL_BUILDS(LaneCopyKernels, lane_copy_kernels)

}  // namespace halvorn
