// The one way the tensor core reports misuse or exhausted memory: a fixed
// message on the process's standard error stream, then exit status 1.
#pragma once

namespace halvorn {

// Writes message (which ends in a newline) to stderr with fprintf and ends the
// process with exit(1). Python never sees an exception for these paths.
// The hook, if one is set, runs first, once.
[[noreturn]] void fail(const char* message) noexcept;

// Runs on the failing thread just before the message is written. The module
// sets one that flushes what Python has buffered but not yet written, which
// the exit would otherwise lose; the core itself knows nothing of Python.
using BeforeFailHook = void (*)() noexcept;
void set_before_fail_hook(BeforeFailHook hook) noexcept;

// The message every failed or impossible packet-block allocation ends with.
[[noreturn]] void fail_allocation() noexcept;

}  // namespace halvorn
