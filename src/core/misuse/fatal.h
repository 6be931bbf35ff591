// How the tensor core ends the process over misuse or exhausted memory that
// the misuse policy (core/misuse/misuse.h) does not have thrown: a fixed
// message on the process's standard error stream, then exit status 1.
#pragma once

namespace halvorn {

// Writes message (which ends in a newline) to stderr with fprintf, flushes every
// C stream, and ends the process with status 1. Nothing else runs on the way
// out: no atexit handler and no other library's destructor, since one of those
// may wait for a thread that waits for this one (OpenBLAS joins its workers
// while the failing thread holds the interpreter lock that another thread,
// inside NumPy, is waiting for).
//
// The first thread to fail ends the process, with its own message, once. Any
// other thread that fails meanwhile runs the hooks' before_waiting and then
// waits for that end, so that neither its message nor its exit cuts short
// what the first one still writes. A failure on the exiting thread itself
// (the hook's Python code failed in turn) writes the first message at once.
[[noreturn]] void fail(const char* message) noexcept;

// What the host does around the way out; the core itself knows nothing of
// Python. The module's hooks flush what Python has buffered but not yet
// written, which the exit would otherwise lose, deliver the message to a
// notebook cell, and let go of the interpreter lock on a waiting thread.
struct ExitHooks {
  // Runs once, on the exiting thread, just before the message is written; true
  // when it delivered the message itself, and fail() then writes nothing.
  bool (*before_exit)(const char* message) noexcept = nullptr;
  // Runs on every other failing thread before it waits for the end: whatever
  // the exiting thread may need from it (a lock it holds) is let go here.
  void (*before_waiting)() noexcept = nullptr;
};
void set_exit_hooks(ExitHooks hooks) noexcept;

// True once a thread other than this one has started to end the process.
bool exit_under_way_elsewhere() noexcept;

// Never returns: the thread waits for the process to end, on another thread.
[[noreturn]] void wait_for_exit() noexcept;

// The message every failed or impossible packet-block allocation ends with.
[[noreturn]] void fail_allocation() noexcept;

}  // namespace halvorn
