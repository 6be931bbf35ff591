// The one choice of instruction set that every run-time dispatched kernel
// family follows: element-wise arithmetic and division, fills, the copies
// between packets and plain arrays, the dot product and the random factories.
//
// Each family is one source, built once per instruction set below into a
// translation unit of its own, whose code lives in the namespace named after
// the set (halvorn::avx2, ...): no inline code compiled for a wider set can
// stand in for the baseline's. Each build defines the family's table of entry
// points there, and the family reads the chosen build's table through
// chosen_kernels, so a cap moves every family at once.
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

namespace halvorn {

// The sets every family is built for, narrowest first: CMakeLists.txt builds
// each family's source once for each (HALVORN_INSTRUCTION_SETS there, with
// its compiler flags), and the tests run every one the CPU has.
// X(set, arguments...) for each.
#define HALVORN_FOR_EACH_INSTRUCTION_SET(X, ...) \
  X(sse41, __VA_ARGS__) X(avx2, __VA_ARGS__) X(avx512, __VA_ARGS__)

// Every x86-64 CPU the module runs on has SSE4.1.
enum class InstructionSet : int {
#define HALVORN_ENUMERATOR(set, ...) set,
  HALVORN_FOR_EACH_INSTRUCTION_SET(HALVORN_ENUMERATOR)
#undef HALVORN_ENUMERATOR
};
inline constexpr int instruction_set_count = 3;

// "sse4.1", "avx2" or "avx512".
const char* instruction_set_name(InstructionSet set) noexcept;

// The widest set the CPU runs (AVX-512 means F and BW together).
InstructionSet widest_instruction_set() noexcept;

// Every set the CPU runs, narrowest first: the builds that the tests run.
std::vector<InstructionSet> usable_instruction_sets();

// The set the kernels use now.
InstructionSet chosen_instruction_set() noexcept;

// Uses `cap`, or the widest set the CPU runs where that is narrower, from the
// next kernel call on; returns the set now chosen.
InstructionSet cap_instruction_set(InstructionSet cap) noexcept;

// A family's tables of entry points, one per set, by the set's index.
template <class Kernels>
using KernelBuilds = std::array<const Kernels*, instruction_set_count>;

// The table of the set chosen now.
template <class Kernels>
const Kernels& chosen_kernels(const KernelBuilds<Kernels>& builds) noexcept {
  return *builds[static_cast<std::size_t>(chosen_instruction_set())];
}

// Declares the table `table` of type Kernels that each set's build defines,
// as halvorn::<set>::table, and gathers them into table##_builds.
#define HALVORN_DECLARE_KERNEL_BUILD(set, Kernels, table) \
  namespace set {                                         \
  extern const Kernels table;                             \
  }
#define HALVORN_ADDRESS_OF_KERNEL_BUILD(set, Kernels, table) &set::table,
#define HALVORN_KERNEL_BUILDS(Kernels, table)                                           \
  HALVORN_FOR_EACH_INSTRUCTION_SET(HALVORN_DECLARE_KERNEL_BUILD, Kernels, table)        \
  inline constexpr KernelBuilds<Kernels> table##_builds = {                             \
      HALVORN_FOR_EACH_INSTRUCTION_SET(HALVORN_ADDRESS_OF_KERNEL_BUILD, Kernels, table)};

}  // namespace halvorn
