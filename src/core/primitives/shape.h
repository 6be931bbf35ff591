// Extents, outermost dimension first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace halvorn {

// An empty shape holds one element; any zero extent makes it hold none.
using Shape = std::vector<std::uint64_t>;

// Written as Python writes the list of extents: "[2, 3]", "[]".
std::string shape_text(const Shape& shape);

// The index, one entry per dimension, of the element at row-major `position`.
Shape index_of(const Shape& shape, std::uint64_t position);

// The element count, or false when the product does not fit in 64 bits. A zero
// extent makes the count 0 however large the others are, so zeros are looked
// for before multiplying. Inline: every tensor that is made asks it.
inline bool checked_element_count(const Shape& shape, std::uint64_t& count) noexcept {
  count = 0;
  for (const std::uint64_t extent : shape) {
    if (extent == 0) return true;
  }
  std::uint64_t product = 1;
  for (const std::uint64_t extent : shape) {
    if (__builtin_mul_overflow(product, extent, &product)) return false;
  }
  count = product;
  return true;
}

}  // namespace halvorn
