// Element values as a flat sequence, for list export.
#pragma once

#include <vector>

#include "core/storage/tensor.h"

namespace halvorn {

// Lane 0 of every packet, in storage order (row-major, last extent fastest).
template <class T>
std::vector<T> to_list(const Tensor<T>& tensor);

}  // namespace halvorn
