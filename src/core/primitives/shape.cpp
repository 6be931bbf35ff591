#include "core/primitives/shape.h"

#include <string>

namespace halvorn {

std::string shape_text(const Shape& shape) {
  std::string text = "[";
  for (std::size_t d = 0; d < shape.size(); ++d) {
    if (d > 0) text += ", ";
    text += std::to_string(shape[d]);
  }
  return text + "]";
}

Shape index_of(const Shape& shape, std::uint64_t position) {
  Shape index(shape.size());
  for (std::size_t d = shape.size(); d-- > 0;) {
    index[d] = position % shape[d];
    position /= shape[d];
  }
  return index;
}

}  // namespace halvorn
