// The builds of every kernel family chosen at run time (element-wise
// arithmetic and division, fills, the copies between packets and plain
// arrays, the dot product and the random factories), and the one choice among
// them.
//
// Each family is one source, <family>-inl.h, built once per instruction set
// into a translation unit of its own, whose code lives in the namespace named
// after the set (halvorn::avx2, ...): no inline code compiled for a wider set
// can stand in for the baseline's. Each build defines the family's table of
// entry points there, HALVORN_KERNEL_BUILDS gathers the tables, and every
// call goes through the chosen one, as Highway's calls go through
// HWY_DYNAMIC_DISPATCH:
//
//   fill_kernels_builds.chosen().fill(out, n, &pattern, streaming);
//
// so a cap moves every family at once.
//
// The choice starts as the widest set this CPU runs (the operating system must
// save the wider registers too) and is made once. Tests may cap it to run the
// same work on every path the machine has, as Highway lets its tests switch
// targets off; nothing else changes it, and the module reads no environment
// for it.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

// The sets, generated from the one list in CMakeLists.txt.
#include "core/primitives/instruction_sets.h"

namespace halvorn {

// Every x86-64 CPU the module runs on has the first, SSE4.1.
enum class InstructionSet : int {
#define HALVORN_ENUMERATOR(set, ...) set,
  HALVORN_FOR_EACH_INSTRUCTION_SET(HALVORN_ENUMERATOR)
#undef HALVORN_ENUMERATOR
};

#define HALVORN_ONE_MORE(...) +1
inline constexpr int instruction_set_count = 0 HALVORN_FOR_EACH_INSTRUCTION_SET(HALVORN_ONE_MORE);
#undef HALVORN_ONE_MORE

// "sse4.1", "avx2", ...: the name in the list.
const char* instruction_set_name(InstructionSet set) noexcept;

// The widest set the CPU runs.
InstructionSet widest_instruction_set() noexcept;

// Every set the CPU runs, narrowest first: the builds that the tests run.
std::vector<InstructionSet> usable_instruction_sets();

// The set the kernels use now.
InstructionSet chosen_instruction_set() noexcept;

// Uses `cap`, or the widest set the CPU runs where that is narrower, from the
// next kernel call on; returns the set now chosen.
InstructionSet cap_instruction_set(InstructionSet cap) noexcept;

// A family's tables of entry points, one per set: chosen() is the one way its
// kernels are called, of() names the build of one set (for the tests).
template <class Kernels>
struct KernelBuilds {
  std::array<const Kernels*, instruction_set_count> tables;

  const Kernels& of(InstructionSet set) const noexcept {
    return *tables[static_cast<std::size_t>(set)];
  }
  const Kernels& chosen() const noexcept { return of(chosen_instruction_set()); }
};

// Declares the table `table` of type Kernels that each set's build defines,
// as halvorn::<set>::table, and gathers them into table##_builds (a set
// that this build left out takes the table of the set before it, and never
// runs).
#define HALVORN_DECLARE_KERNEL_BUILD(set, name, runs, build, Kernels, table) \
  namespace build {                                                          \
  extern const Kernels table;                                                \
  }
#define HALVORN_ADDRESS_OF_KERNEL_BUILD(set, name, runs, build, Kernels, table) &build::table,
#define HALVORN_KERNEL_BUILDS(Kernels, table)                                    \
  HALVORN_FOR_EACH_INSTRUCTION_SET(HALVORN_DECLARE_KERNEL_BUILD, Kernels, table) \
  inline constexpr KernelBuilds<Kernels> table##_builds = {                      \
      {HALVORN_FOR_EACH_INSTRUCTION_SET(HALVORN_ADDRESS_OF_KERNEL_BUILD, Kernels, table)}};

}  // namespace halvorn
