#include "factories/fork_count.h"

#include <pthread.h>

#include <atomic>

#include "core/fatal.h"

namespace halvorn {
namespace {

// Only the forking thread lives on in the child, and the handler runs in it
// before fork() returns there, so nothing can read the count half-updated;
// the atomic keeps the threads of the parent from racing on it meanwhile.
std::atomic<std::uint64_t> forks{0};

void count_fork_in_child() noexcept { forks.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

std::uint64_t fork_count() noexcept {
  // Registration fails only for want of memory, which ends the process as
  // every failed allocation does.
  static const bool registered = [] {
    if (pthread_atfork(nullptr, nullptr, &count_fork_in_child) != 0) fail_allocation();
    return true;
  }();
  (void)registered;
  return forks.load(std::memory_order_relaxed);
}

}  // namespace halvorn
