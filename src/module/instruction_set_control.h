// The module's choice of instruction set, as the test companion reaches it.
//
// The companion links a copy of the core of its own, so capping that copy
// would change nothing the module runs. The module publishes its own control
// in the data that pybind11 shares between the modules of one interpreter
// instead; Python code has no way to it.
#pragma once

#include <pybind11/pybind11.h>

#include "core/primitives/kernel_builds.h"

namespace halvorn {

struct InstructionSetControl {
  InstructionSet (*cap)(InstructionSet) noexcept;
  InstructionSet (*chosen)() noexcept;
};

inline constexpr const char* instruction_set_control_key = "halvorn instruction set control";

inline void publish_instruction_set_control() {
  static InstructionSetControl control{&cap_instruction_set, &chosen_instruction_set};
  pybind11::set_shared_data(instruction_set_control_key, &control);
}

// Null until the module has been imported in this interpreter.
inline const InstructionSetControl* module_instruction_set_control() {
  return static_cast<const InstructionSetControl*>(
      pybind11::get_shared_data(instruction_set_control_key));
}

}  // namespace halvorn
