#include "factories/random_kernels.h"

#include "core/primitives/dispatch.h"

namespace halvorn {
namespace {

#define HALVORN_RANDOM_KERNELS(isa, label)                                               \
  RandomKernels {                                                                        \
    label, &isa::twist, &isa::temper, &isa::canonical, &isa::canonical,                  \
        &isa::polar_candidates, &isa::polar_candidates, &isa::polar_values,              \
        &isa::polar_values                                                               \
  }

// By the instruction set's index.
const RandomKernels kernels[instruction_set_count] = {
    HALVORN_RANDOM_KERNELS(random_sse41, "sse4.1"),
    HALVORN_RANDOM_KERNELS(random_avx2, "avx2"),
    HALVORN_RANDOM_KERNELS(random_avx512, "avx512"),
};
#undef HALVORN_RANDOM_KERNELS

}  // namespace

const RandomKernels& random_kernels() noexcept {
  return kernels[static_cast<int>(chosen_instruction_set())];
}

std::vector<const RandomKernels*> usable_random_kernels() {
  std::vector<const RandomKernels*> usable;
  for (int set = 0; set <= static_cast<int>(widest_instruction_set()); ++set) {
    usable.push_back(&kernels[set]);
  }
  return usable;
}

}  // namespace halvorn
