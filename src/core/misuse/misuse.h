// Misuse the core finds itself: operands whose shapes do not fit, a zero
// divisor, storage that cannot be had.
//
// The process ends by default, with a fixed message on stderr and exit status
// 1, as it always has. A host may install a policy, asked only once a misuse
// has been found (never on a path that succeeds), that has it thrown as
// Misuse instead. Everything a throwing operation made is released on the way
// out, so the operands and the host are as they were before the call.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "core/primitives/shape.h"

namespace halvorn {

enum class MisuseKind {
  // Element-wise or dot operands whose shapes do not fit.
  shapes,
  zero_divisor,
  // A block of memory that cannot be had, or whose size does not fit in 64 bits.
  storage,
};

class Misuse : public std::exception {
 public:
  Misuse(MisuseKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  MisuseKind kind() const noexcept { return kind_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  MisuseKind kind_;
  std::string message_;
};

// True when a misuse found now should be thrown rather than end the process.
// Runs on the thread that found it.
using MisusePolicy = bool (*)() noexcept;
void set_misuse_policy(MisusePolicy policy) noexcept;

// `operation` is "add", "sub", "mul" or "div".
[[noreturn]] void shapes_do_not_match(const char* operation, const Shape& a, const Shape& b);
[[noreturn]] void dot_shapes_do_not_fit(const Shape& a, const Shape& b);
// `position` is the storage-order index of the first zero divisor in `shape`.
[[noreturn]] void divisor_is_zero(const Shape& shape, std::uint64_t position);
// A tensor of `shape` cannot be stored.
[[noreturn]] void tensor_storage_unavailable(const Shape& shape);
// Storage that is not a tensor's: `bytes` of it `purpose` ("for a DLPack copy").
[[noreturn]] void storage_unavailable(std::uint64_t bytes, const char* purpose);

}  // namespace halvorn
