#include "core/primitives/dispatch.h"

#include <atomic>

namespace halvorn {
namespace {

// __builtin_cpu_supports also checks that the operating system saves the
// wider registers, so a "yes" means the instructions really run.
InstructionSet detect() noexcept {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")) {
    return InstructionSet::avx512;
  }
  if (__builtin_cpu_supports("avx2")) return InstructionSet::avx2;
  return InstructionSet::sse41;
}

// Relaxed: a kernel call reads the choice once, and a cap only has to be seen
// by the calls that start after it.
std::atomic<InstructionSet>& chosen() noexcept {
  static std::atomic<InstructionSet> set{widest_instruction_set()};
  return set;
}

}  // namespace

const char* instruction_set_name(InstructionSet set) noexcept {
  switch (set) {
    case InstructionSet::sse41:
      return "sse4.1";
    case InstructionSet::avx2:
      return "avx2";
    case InstructionSet::avx512:
      return "avx512";
  }
  return "sse4.1";
}

InstructionSet widest_instruction_set() noexcept {
  static const InstructionSet widest = detect();
  return widest;
}

std::vector<InstructionSet> usable_instruction_sets() {
  std::vector<InstructionSet> usable;
  for (int set = 0; set <= static_cast<int>(widest_instruction_set()); ++set) {
    usable.push_back(static_cast<InstructionSet>(set));
  }
  return usable;
}

InstructionSet chosen_instruction_set() noexcept {
  return chosen().load(std::memory_order_relaxed);
}

InstructionSet cap_instruction_set(InstructionSet cap) noexcept {
  const InstructionSet set = cap < widest_instruction_set() ? cap : widest_instruction_set();
  chosen().store(set, std::memory_order_relaxed);
  return set;
}

}  // namespace halvorn
