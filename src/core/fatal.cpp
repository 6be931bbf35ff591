#include "core/fatal.h"

#include <cstdio>
#include <cstdlib>

namespace halvorn {

void fail(const char* message) noexcept {
  std::fprintf(stderr, "%s", message);
  std::exit(1);
}

void fail_allocation() noexcept { fail("Failed to allocate memory!\n"); }

}  // namespace halvorn
