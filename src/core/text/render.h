// Text rendering: a header with the extents, then the elements as nested
// bracketed rows, at most 100 elements shown.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "core/storage/tensor.h"

namespace halvorn {

// How many elements a rendering shows at most.
inline constexpr std::uint64_t print_limit = 100;

// Writes the whole rendering with the stream's current settings, changing none.
template <class T>
std::ostream& operator<<(std::ostream& out, const Tensor<T>& tensor);

// Writes the bracketed block of `dimension`, starting at element `cursor`,
// indented by `indent` spaces. `cursor` and `printed` are shared by the whole
// recursion and advance together, one per element written.
template <class T>
void print_nested(std::ostream& out, const Tensor<T>& tensor, std::uint64_t dimension,
                  std::uint64_t& cursor, std::uint64_t indent, std::uint64_t& printed);

// The rendering through a fresh, default-configured string stream: what
// Python's repr() shows.
template <class T>
std::string repr(const Tensor<T>& tensor);

}  // namespace halvorn
