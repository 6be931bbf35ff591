#include "factories/random_kernels.h"

#include "core/cpu.h"

namespace halvorn {
namespace {

#define HALVORN_RANDOM_KERNELS(isa, label)                                               \
  RandomKernels {                                                                        \
    label, &isa::twist, &isa::temper, &isa::canonical, &isa::canonical,                  \
        &isa::polar_candidates, &isa::polar_candidates, &isa::polar_values,              \
        &isa::polar_values                                                               \
  }

const RandomKernels sse41_kernels = HALVORN_RANDOM_KERNELS(random_sse41, "sse4.1");
const RandomKernels avx2_kernels = HALVORN_RANDOM_KERNELS(random_avx2, "avx2");
const RandomKernels avx512_kernels = HALVORN_RANDOM_KERNELS(random_avx512, "avx512");
#undef HALVORN_RANDOM_KERNELS

}  // namespace

const RandomKernels& random_kernels() noexcept {
  static const RandomKernels& widest = cpu_has_avx512() ? avx512_kernels
                                       : cpu_has_avx2() ? avx2_kernels
                                                        : sse41_kernels;
  return widest;
}

std::vector<const RandomKernels*> usable_random_kernels() {
  std::vector<const RandomKernels*> usable{&sse41_kernels};
  if (cpu_has_avx2()) usable.push_back(&avx2_kernels);
  if (cpu_has_avx512()) usable.push_back(&avx512_kernels);
  return usable;
}

}  // namespace halvorn
