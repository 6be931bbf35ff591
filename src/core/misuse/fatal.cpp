#include "core/misuse/fatal.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace halvorn {

namespace {

std::atomic<BeforeFailHook> before_fail_hook{nullptr};
// A hook that fails in turn (its flush runs Python code, which may call
// halvorn) must not run itself again.
std::atomic<bool> hook_started{false};

}  // namespace

void set_before_fail_hook(BeforeFailHook hook) noexcept { before_fail_hook.store(hook); }

void fail(const char* message) noexcept {
  const BeforeFailHook hook = before_fail_hook.load();
  const bool delivered = hook != nullptr && !hook_started.exchange(true) && hook(message);
  if (!delivered) std::fprintf(stderr, "%s", message);
  // What exit() would have flushed, without what else it runs.
  std::fflush(nullptr);
  std::_Exit(1);
}

void fail_allocation() noexcept { fail("Failed to allocate memory!\n"); }

}  // namespace halvorn
