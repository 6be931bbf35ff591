// The one choice of instruction set that every run-time dispatched kernel
// follows: the dot product, the random factories, division, filling and the
// copies between packets and plain arrays.
//
// It starts as the widest set this CPU runs (the operating system must save
// the wider registers too) and is made once. Tests may cap it to run the same
// work on every path the machine has, as Highway lets its tests switch targets
// off; nothing else changes it, and the module reads no environment for it.
#pragma once

namespace halvorn {

// Narrowest first; every x86-64 CPU the module runs on has SSE4.1.
enum class InstructionSet : int { sse41 = 0, avx2 = 1, avx512 = 2 };
inline constexpr int instruction_set_count = 3;

// "sse4.1", "avx2" or "avx512".
const char* instruction_set_name(InstructionSet set) noexcept;

// The widest set the CPU runs (AVX-512 means F and BW together).
InstructionSet widest_instruction_set() noexcept;

// The set the kernels use now.
InstructionSet chosen_instruction_set() noexcept;

// Uses `cap`, or the widest set the CPU runs where that is narrower, from the
// next kernel call on; returns the set now chosen.
InstructionSet cap_instruction_set(InstructionSet cap) noexcept;

}  // namespace halvorn
