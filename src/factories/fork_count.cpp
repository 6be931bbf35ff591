#include "factories/fork_count.h"

#include <pthread.h>

#include <atomic>

#include "core/misuse/misuse.h"

namespace halvorn {
namespace {

// Only the forking thread lives on in the child, and the handler runs in it
// before fork() returns there, so nothing can read the count half-updated;
// the atomic keeps the threads of the parent from racing on it meanwhile.
std::atomic<std::uint64_t> forks{0};

void count_fork_in_child() noexcept { forks.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

std::uint64_t fork_count() {
  // Registration fails only for want of memory, reported as every failed
  // allocation is; a later call tries again.
  static const bool registered = [] {
    if (pthread_atfork(nullptr, nullptr, &count_fork_in_child) != 0) {
      storage_unavailable(sizeof(void*) * 3, "to register a fork handler");
    }
    return true;
  }();
  (void)registered;
  return forks.load(std::memory_order_relaxed);
}

}  // namespace halvorn
