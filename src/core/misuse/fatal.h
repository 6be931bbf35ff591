// How the tensor core ends the process over misuse or exhausted memory that
// the misuse policy (core/misuse/misuse.h) does not have thrown: a fixed
// message on the process's standard error stream, then exit status 1.
#pragma once

namespace halvorn {

// Writes message (which ends in a newline) to stderr with fprintf, flushes every
// C stream, and ends the process with status 1. The hook, if one is set, runs
// first, once, and may deliver the message instead of the fprintf. Nothing else
// runs on the way out: no atexit handler and no other library's destructor,
// since one of those may wait for a thread that waits for this one (OpenBLAS
// joins its workers while the failing thread holds the interpreter lock that
// another thread, inside NumPy, is waiting for).
[[noreturn]] void fail(const char* message) noexcept;

// Runs on the failing thread just before the message is written, with that
// message, and returns true when it delivered the message itself: fail() then
// writes nothing to stderr. The module sets one that flushes what Python has
// buffered but not yet written, which the exit would otherwise lose, and that
// delivers the message only where stderr is a pipe whose reader dies with the
// process (a notebook kernel's); the core itself knows nothing of Python.
using BeforeFailHook = bool (*)(const char* message) noexcept;
void set_before_fail_hook(BeforeFailHook hook) noexcept;

// The message every failed or impossible packet-block allocation ends with.
[[noreturn]] void fail_allocation() noexcept;

}  // namespace halvorn
