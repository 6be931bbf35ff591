#include "core/primitives/fill_kernels.h"
#include "core/primitives/packet_loops.h"

namespace halvorn {

void fill_block(void* out, std::uint64_t n, __m128i pattern) noexcept {
  chosen_kernels(fill_kernels_builds).fill(out, n, &pattern, worth_streaming(out, 16 * n));
}

}  // namespace halvorn
