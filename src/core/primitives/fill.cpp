#include "core/primitives/fill.h"

#include "core/primitives/fill_kernels.h"
#include "core/primitives/streaming.h"

namespace halvorn {

void fill_block(void* out, std::uint64_t n, __m128i pattern) noexcept {
  fill_kernels_builds.chosen().fill(out, n, &pattern, worth_streaming(out, 16 * n));
}

}  // namespace halvorn
