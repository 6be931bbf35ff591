// Building a tensor from someone else's numbers: a strided block of any
// element format (a NumPy view, a memoryview, a DLPack tensor), copied and
// converted into a new Tensor<T>. No Python here: the module describes the
// foreign block and reports the refusals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/storage/tensor.h"
#include "core/text/buffer_format.h"

namespace halvorn {

// A block of elements: `first` addresses the element whose every index is 0,
// and each step along dimension d moves `byte_strides[d]` bytes (negative and
// zero steps included). The caller vouches that every element lies inside
// memory it may read.
struct StridedBlock {
  const std::byte* first = nullptr;
  SourceFormat format{SourceType::uint8};
  Shape shape;
  std::vector<std::int64_t> byte_strides;
};

// Why a block cannot become a Tensor<T>.
enum class ImportRefusal : std::uint8_t {
  none,
  // A floating block for an integer tensor, even one holding whole numbers:
  // nothing is truncated silently.
  floating_into_integer,
  // An integer that the tensor's type cannot hold; never wrapped.
  out_of_range,
};

template <class T>
struct ImportResult {
  std::optional<Tensor<T>> tensor;  // set exactly when refusal is none
  ImportRefusal refusal = ImportRefusal::none;
  // For out_of_range: the first such element, in row-major order, and its value.
  std::uint64_t element = 0;
  std::string value;
};

// A new tensor of the block's shape holding every element converted to T:
// integers exactly (refusing what does not fit), floating values rounded to
// nearest (a float32 tensor turns what is beyond its range into infinities).
// A refused block leaves nothing behind. Storage that cannot be had is misuse,
// as for every tensor (core/misuse/misuse.h).
template <class T>
ImportResult<T> import_block(const StridedBlock& block);

}  // namespace halvorn
