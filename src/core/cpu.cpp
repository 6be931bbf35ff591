#include "core/cpu.h"

namespace halvorn {

// __builtin_cpu_supports also checks that the operating system saves the
// wider registers, so a "yes" means the instructions really run.
bool cpu_has_avx2() noexcept {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
}

bool cpu_has_avx512() noexcept {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
  }();
  return has;
}

}  // namespace halvorn
