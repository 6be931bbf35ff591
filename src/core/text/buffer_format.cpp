#include "core/text/buffer_format.h"

namespace halvorn {

std::size_t source_bytes(SourceType type) noexcept {
  switch (type) {
    case SourceType::boolean:
    case SourceType::int8:
    case SourceType::uint8: return 1;
    case SourceType::int16:
    case SourceType::uint16:
    case SourceType::float16:
    case SourceType::bfloat16: return 2;
    case SourceType::int32:
    case SourceType::uint32:
    case SourceType::float32: return 4;
    case SourceType::int64:
    case SourceType::uint64:
    case SourceType::float64: return 8;
    case SourceType::extended: return sizeof(long double);
  }
  return 0;
}

ParsedFormat parse_buffer_format(std::string_view format, std::size_t item_bytes) noexcept {
  using Verdict = ParsedFormat::Verdict;
  // '@' (or nothing) is native size and order; '=', '<', '>' and '!' are the
  // standard sizes, in native, little, big and network order.
  bool native = true;
  bool swapped = false;
  if (!format.empty() && std::string_view("@=<>!").find(format.front()) != std::string_view::npos) {
    native = format.front() == '@';
    swapped = format.front() == '>' || format.front() == '!';
    format.remove_prefix(1);
  }
  if (format.size() == 2 && format[0] == 'Z' &&
      std::string_view("efdg").find(format[1]) != std::string_view::npos) {
    return {Verdict::complex_number};
  }
  if (format.size() != 1) return {Verdict::unsupported};
  SourceType type;
  switch (format[0]) {
    case '?': type = SourceType::boolean; break;
    case 'b': type = SourceType::int8; break;
    case 'B': type = SourceType::uint8; break;
    case 'h': type = SourceType::int16; break;
    case 'H': type = SourceType::uint16; break;
    case 'i': type = SourceType::int32; break;
    case 'I': type = SourceType::uint32; break;
    // long is 64 bits natively here, 32 in the standard sizes.
    case 'l': type = native ? SourceType::int64 : SourceType::int32; break;
    case 'L': type = native ? SourceType::uint64 : SourceType::uint32; break;
    case 'q': type = SourceType::int64; break;
    case 'Q': type = SourceType::uint64; break;
    case 'e': type = SourceType::float16; break;
    case 'f': type = SourceType::float32; break;
    case 'd': type = SourceType::float64; break;
    case 'n':
    case 'N':
      if (!native) return {Verdict::unsupported};
      type = format[0] == 'n' ? SourceType::int64 : SourceType::uint64;
      break;
    case 'g':
      // A long double has no standard size, and no other order we could read.
      if (!native) return {Verdict::unsupported};
      type = SourceType::extended;
      break;
    default: return {Verdict::unsupported};
  }
  if (source_bytes(type) != item_bytes) return {Verdict::unsupported};
  return {Verdict::number, SourceFormat{type, swapped && source_bytes(type) > 1}};
}

}  // namespace halvorn
