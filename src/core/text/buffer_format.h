// How a foreign plain number is stored (its type and byte order), how many
// bytes it takes, and which one a buffer-protocol format string names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/primitives/element.h"

namespace halvorn {

struct SourceFormat {
  SourceType type;
  // Stored in the other byte order than this processor's.
  bool byte_swapped = false;
};

std::size_t source_bytes(SourceType type) noexcept;

// A struct-module format string (the buffer protocol's `format`), checked
// against the exporter's item size. Only single numbers are elements; complex
// numbers are told apart so that they can be refused by name.
struct ParsedFormat {
  enum class Verdict : std::uint8_t { number, complex_number, unsupported } verdict;
  SourceFormat format{SourceType::uint8};
};
ParsedFormat parse_buffer_format(std::string_view format, std::size_t item_bytes) noexcept;

}  // namespace halvorn
