#include "core/export.h"

namespace halvorn {

template <class T>
std::vector<T> to_list(const Tensor<T>& tensor) {
  std::vector<T> values;
  values.reserve(tensor.data.size());
  for (std::uint64_t i = 0; i < tensor.data.size(); ++i) {
    values.push_back(static_cast<T>(tensor.data[i]));
  }
  return values;
}

template std::vector<short> to_list<short>(const Tensor<short>&);
template std::vector<int> to_list<int>(const Tensor<int>&);
template std::vector<float> to_list<float>(const Tensor<float>&);
template std::vector<double> to_list<double>(const Tensor<double>&);

}  // namespace halvorn
