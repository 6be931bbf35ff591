// What the processor offers beyond the SSE4.1 baseline, asked once.
#pragma once

namespace halvorn {

bool cpu_has_avx2() noexcept;
// AVX-512 F and BW together.
bool cpu_has_avx512() noexcept;

}  // namespace halvorn
