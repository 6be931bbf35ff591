#include "core/text/render.h"

#include <sstream>
#include <vector>

namespace halvorn {
namespace {

void write_spaces(std::ostream& out, std::uint64_t count) {
  for (std::uint64_t i = 0; i < count; ++i) out.put(' ');
}

}  // namespace

// One innermost row: "[a, b, c]", cut off with ", ..." once the limit is met.
template <class T>
void print_row(std::ostream& out, const Tensor<T>& tensor, std::uint64_t extent,
               std::uint64_t& cursor, std::uint64_t& printed) {
  out << '[';
  for (std::uint64_t i = 0; i < extent; ++i) {
    // The limit is tested before each element, so a tensor of up to 100
    // elements never shows an ellipsis.
    if (printed == print_limit) {
      out << ", ...";
      break;
    }
    if (i != 0) out << ", ";
    // short goes through the integer inserter, never as a character; float
    // through the float inserter, so 0.1f shows as 0.1.
    out << static_cast<T>(tensor.data[cursor]);
    ++cursor;
    ++printed;
  }
  out << ']';
}

// The nesting is walked with a stack of its own, one counter per open outer
// dimension, rather than by recursion: the native stack must not grow with
// the rank, which Python code chooses freely.
template <class T>
void print_nested(std::ostream& out, const Tensor<T>& tensor, std::uint64_t dimension,
                  std::uint64_t& cursor, std::uint64_t indent, std::uint64_t& printed) {
  const std::uint64_t innermost = tensor.shape.size() - 1;
  if (dimension == innermost) {
    print_row(out, tensor, tensor.shape[dimension], cursor, printed);
    return;
  }
  // next_child[k]: the next row to write in open dimension `dimension + k`.
  std::vector<std::uint64_t> next_child{0};
  out << "[\n";
  while (!next_child.empty()) {
    const std::uint64_t level = dimension + next_child.size() - 1;
    const std::uint64_t level_indent = indent + 2 * (next_child.size() - 1);
    std::uint64_t& child = next_child.back();
    bool close = child == tensor.shape[level];
    if (!close) {
      if (child != 0) out << ",\n";
      write_spaces(out, level_indent + 2);
      if (printed == print_limit) {
        out << "...";
        close = true;
      }
    }
    if (close) {
      out << '\n';
      write_spaces(out, level_indent);
      out << ']';
      next_child.pop_back();
      continue;
    }
    ++child;
    if (level + 1 == innermost) {
      print_row(out, tensor, tensor.shape[innermost], cursor, printed);
    } else {
      out << "[\n";
      next_child.push_back(0);
    }
  }
}

template <class T>
std::ostream& operator<<(std::ostream& out, const Tensor<T>& tensor) {
  out << "tensor([";
  for (std::size_t i = 0; i < tensor.shape.size(); ++i) {
    if (i != 0) out << ", ";
    out << tensor.shape[i];
  }
  out << "]\n";
  if (tensor.shape.empty()) {
    // No dimensions: exactly one element, and the ")" follows it on its line.
    return out << static_cast<T>(tensor.data[0]) << ')';
  }
  std::uint64_t cursor = 0;
  std::uint64_t printed = 0;
  print_nested(out, tensor, 0, cursor, 0, printed);
  return out << "\n)";
}

template <class T>
std::string repr(const Tensor<T>& tensor) {
  std::ostringstream stream;
  stream << tensor;
  return std::move(stream).str();
}

#define HALVORN_INSTANTIATE(T)                                                                  \
  template std::ostream& operator<< <T>(std::ostream&, const Tensor<T>&);                       \
  template void print_nested<T>(std::ostream&, const Tensor<T>&, std::uint64_t, std::uint64_t&, \
                                std::uint64_t, std::uint64_t&);                                 \
  template std::string repr<T>(const Tensor<T>&);
HALVORN_FOR_EACH_ELEMENT_TYPE(HALVORN_INSTANTIATE)
#undef HALVORN_INSTANTIATE

}  // namespace halvorn
