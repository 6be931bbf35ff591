#include "core/misuse/misuse.h"

#include <atomic>
#include <string>

#include "core/misuse/fatal.h"

namespace halvorn {
namespace {

std::atomic<MisusePolicy> misuse_policy{nullptr};

bool raising() noexcept {
  const MisusePolicy policy = misuse_policy.load();
  return policy != nullptr && policy();
}

}  // namespace

void set_misuse_policy(MisusePolicy policy) noexcept { misuse_policy.store(policy); }

void shapes_do_not_match(const char* operation, const Shape& a, const Shape& b) {
  if (raising()) {
    throw Misuse(MisuseKind::shapes, std::string("quorva ") + operation + "(): shapes " +
                                         shape_text(a) + " and " + shape_text(b) + " do not match");
  }
  fail((std::string("quorva ") + operation + "() : Shape doesn't match!\n").c_str());
}

void dot_shapes_do_not_fit(const Shape& a, const Shape& b) {
  if (raising()) {
    throw Misuse(MisuseKind::shapes,
                 "quorva dot(): shapes " + shape_text(a) + " and " + shape_text(b) +
                     " do not fit: it takes a vector and a matrix, a matrix and a vector, or "
                     "two matrices, whose inner extents are equal");
  }
  fail("quorva dot() : Shape doesn't match!\n");
}

void divisor_is_zero(const Shape& shape, std::uint64_t position) {
  if (raising()) {
    throw Misuse(MisuseKind::zero_divisor,
                 "quorva div(): cannot divide by zero: the divisor at index " +
                     shape_text(index_of(shape, position)) + " is zero");
  }
  fail("quorva div() : cannot divide by zero!\n");
}

void tensor_storage_unavailable(const Shape& shape) {
  if (raising()) {
    std::uint64_t count = 0;
    std::uint64_t bytes = 0;
    const bool fits =
        checked_element_count(shape, count) && !__builtin_mul_overflow(count, 16, &bytes);
    throw Misuse(MisuseKind::storage, fits ? "quorva: cannot allocate " + std::to_string(bytes) +
                                                 " bytes for a tensor of shape " + shape_text(shape)
                                           : "quorva: cannot allocate a tensor of shape " +
                                                 shape_text(shape) +
                                                 ": it needs more than 18446744073709551615 bytes");
  }
  fail_allocation();
}

void storage_unavailable(std::uint64_t bytes, const char* purpose) {
  if (raising()) {
    throw Misuse(MisuseKind::storage,
                 "quorva: cannot allocate " + std::to_string(bytes) + " bytes " + purpose);
  }
  fail_allocation();
}

}  // namespace halvorn
