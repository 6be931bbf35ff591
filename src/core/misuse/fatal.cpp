#include "core/misuse/fatal.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace halvorn {

namespace {

std::atomic<bool (*)(const char*) noexcept> before_exit_hook{nullptr};
std::atomic<void (*)() noexcept> before_waiting_hook{nullptr};

// Set by the one thread that ends the process, before anything else it does.
std::atomic<bool> exit_claimed{false};
thread_local bool this_thread_exits = false;
// The exiting thread's message, kept for a failure of its own hook: that
// message lives on the exiting thread's stack, which stays until the end.
const char* first_message = nullptr;

[[noreturn]] void write_and_exit(const char* message) noexcept {
  std::fprintf(stderr, "%s", message);
  // What exit() would have flushed, without what else it runs.
  std::fflush(nullptr);
  std::_Exit(1);
}

}  // namespace

void set_exit_hooks(ExitHooks hooks) noexcept {
  before_exit_hook.store(hooks.before_exit);
  before_waiting_hook.store(hooks.before_waiting);
}

bool exit_under_way_elsewhere() noexcept { return exit_claimed.load() && !this_thread_exits; }

void wait_for_exit() noexcept {
  // pause() also returns for a handled signal; the end still comes from the
  // exiting thread.
  for (;;) pause();
}

void fail(const char* message) noexcept {
  if (this_thread_exits) write_and_exit(first_message);
  if (exit_claimed.exchange(true)) {
    if (const auto hook = before_waiting_hook.load()) hook();
    wait_for_exit();
  }
  this_thread_exits = true;
  first_message = message;
  const auto hook = before_exit_hook.load();
  if (hook != nullptr && hook(message)) {
    std::fflush(nullptr);
    std::_Exit(1);
  }
  write_and_exit(message);
}

void fail_allocation() noexcept { fail("Failed to allocate memory!\n"); }

}  // namespace halvorn
