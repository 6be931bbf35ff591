// The exact-order peak: the rate at which this core retires separate
// multiplies and adds (never fused) in its widest vectors, with nothing to
// load. An exactly ordered dot product can do no better, so the benchmark
// holds it against this instead of the fused multiply-add rate.
#pragma once

#include <cstdint>
#include <string>

namespace halvorn::testing {

// Runs at least `pairs` scalar multiply-then-add pairs (rounded up to whole
// steps of 16 chains) in the widest vectors the CPU has, each chain doing
// x = x * factor, then x = x + addend; returns the sum of every chain, so none
// of it can be left out.
float peak_multiply_add_float32(std::uint64_t pairs, float factor, float addend);
double peak_multiply_add_float64(std::uint64_t pairs, double factor, double addend);
// "avx512", "avx2" or "sse4.1": the width the two functions above run in.
std::string peak_vector_width();

}  // namespace halvorn::testing
