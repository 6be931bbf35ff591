// The fills of packet blocks, built once per instruction set (kernel_builds.h).
#pragma once

#include <cstdint>

#include "core/primitives/kernel_builds.h"

namespace halvorn {

struct FillKernels {
  // Writes the 16 bytes at `pattern` into each of the n packets at `out`.
  // Streaming stores need `out` 16-byte aligned and are fenced before the
  // return. Filling is no arithmetic: any store width writes the same bytes.
  void (*fill)(void* out, std::uint64_t n, const void* pattern, bool streaming) noexcept;
};

HALVORN_KERNEL_BUILDS(FillKernels, fill_kernels)

}  // namespace halvorn
