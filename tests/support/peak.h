// The exact-order peak: the rate at which this core retires separate
// multiplies and adds (never fused) in the vectors of the instruction set
// that halvorn's kernels use now (capped or not), with nothing to load. An exactly ordered dot
// product can do no better, so the benchmark holds it against this instead of the fused
// multiply-add rate.
#pragma once

#include <cstdint>
#include <string>

namespace halvorn::testing {

// Runs at least `pairs` scalar multiply-then-add pairs (rounded up to whole
// steps of `chains` vectors, 1 to 16) in the vectors of peak_vector_width(), each
// chain c doing x = x + addend * factor from x = addend * c; returns the sum of
// every chain, so none of it can be left out. Fewer than 16 chains is the rate
// of a product with fewer sums than that: each sum's additions wait on each
// other.
float peak_multiply_add_float32(std::uint64_t pairs, float factor, float addend, int chains);
double peak_multiply_add_float64(std::uint64_t pairs, double factor, double addend, int chains);
// The same in wrapping integer lanes, 16 chains: an integer sum comes out
// the same in any order, so nothing makes its additions wait.
std::int32_t peak_multiply_add_int32(std::uint64_t pairs, std::int32_t factor, std::int32_t addend);
std::int16_t peak_multiply_add_int16(std::uint64_t pairs, std::int16_t factor, std::int16_t addend);
// "avx512", "avx2" or "sse4.1": the width the functions above run in, that of
// the set halvorn's kernels use now, so that a capped benchmark holds its
// products to that set's peak.
std::string peak_vector_width();
// The set halvorn's kernels use now (halvorn_testing.cpp).
std::string chosen_kernel_set();
// Bytes per vector of that width.
int peak_vector_bytes();

}  // namespace halvorn::testing
