#include "core/primitives/kernel_builds.h"

#include <atomic>

namespace halvorn {
namespace {

// The widest set of the list whose features the CPU has: each set in it runs
// everything the sets before it run. __builtin_cpu_supports also checks that
// the operating system saves the wider registers, so a "yes" means the
// instructions really run.
InstructionSet detect() noexcept {
  __builtin_cpu_init();
  InstructionSet widest = InstructionSet{};
#define HALVORN_IF_IT_RUNS(set, name, runs, ...) \
  if (runs) widest = InstructionSet::set;
  HALVORN_FOR_EACH_INSTRUCTION_SET(HALVORN_IF_IT_RUNS)
#undef HALVORN_IF_IT_RUNS
  return widest;
}

constexpr const char* names[] = {
#define HALVORN_NAME(set, name, ...) name,
    HALVORN_FOR_EACH_INSTRUCTION_SET(HALVORN_NAME)
#undef HALVORN_NAME
};

// Relaxed: a kernel call reads the choice once, and a cap only has to be seen
// by the calls that start after it.
std::atomic<InstructionSet>& chosen() noexcept {
  static std::atomic<InstructionSet> set{widest_instruction_set()};
  return set;
}

}  // namespace

const char* instruction_set_name(InstructionSet set) noexcept {
  return names[static_cast<std::size_t>(set)];
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
