#include "core/operations/to_list.h"

#include "core/operations/lane_copy.h"

namespace halvorn {

template <class T>
std::vector<T> to_list(const Tensor<T>& tensor) {
  std::vector<T> values(tensor.data.size());
  copy_lane0(tensor.data.packets, tensor.data.size(), values.data());
  return values;
}

#define HALVORN_INSTANTIATE(T) template std::vector<T> to_list<T>(const Tensor<T>&);
HALVORN_FOR_EACH_ELEMENT_TYPE(HALVORN_INSTANTIATE)
#undef HALVORN_INSTANTIATE

}  // namespace halvorn
