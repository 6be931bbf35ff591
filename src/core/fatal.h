// The one way the tensor core reports misuse or exhausted memory: a fixed
// message on the process's standard error stream, then exit status 1.
#pragma once

namespace halvorn {

// Writes message (which ends in a newline) to stderr with fprintf and ends the
// process with exit(1). Python never sees an exception for these paths.
[[noreturn]] void fail(const char* message) noexcept;

// The message every failed or impossible packet-block allocation ends with.
[[noreturn]] void fail_allocation() noexcept;

}  // namespace halvorn
