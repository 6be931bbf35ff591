// The builds of a kernel family that the tests run: every instruction set this
// CPU runs, from the one list that the dispatch keeps.
#pragma once

#include <cstddef>
#include <vector>

#include "core/primitives/kernel_builds.h"

namespace halvorn::testing {

template <class Kernels>
struct UsableBuild {
  const char* name;
  const Kernels* kernels;
};

// Narrowest first.
template <class Kernels>
std::vector<UsableBuild<Kernels>> usable_builds(const KernelBuilds<Kernels>& builds) {
  std::vector<UsableBuild<Kernels>> usable;
  for (const InstructionSet set : usable_instruction_sets()) {
    usable.push_back({instruction_set_name(set), &builds.of(set)});
  }
  return usable;
}

}  // namespace halvorn::testing
