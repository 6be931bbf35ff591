// Out: the buffer protocol (memoryview, np.asarray), read-only and in place.
#include <cstdint>
#include <vector>

#include "interop/common.h"

namespace halvorn::interop {
namespace {

// Each element is lane 0 of its packet, so the steps are 16 bytes times the
// later extents.
template <class T>
py::buffer_info* export_buffer(PyObject* object, void*) {
  const Tensor<T>& tensor = built_tensor<T>(object);
  const std::vector<std::int64_t> extents = signed_extents(tensor.shape);
  const std::vector<std::int64_t> byte_steps = steps(extents, 16, 1);
  return new py::buffer_info(
      first_packet(tensor), static_cast<py::ssize_t>(sizeof(T)), py::format_descriptor<T>::format(),
      static_cast<py::ssize_t>(extents.size()),
      std::vector<py::ssize_t>(extents.begin(), extents.end()),
      std::vector<py::ssize_t>(byte_steps.begin(), byte_steps.end()), /*readonly=*/true);
}

}  // namespace

template <class T>
void bind_buffer_export(py::class_<Tensor<T>>& cls) {
  install_buffer<T>(cls, &export_buffer<T>);
}

#define HALVORN_INSTANTIATE(T) template void bind_buffer_export<T>(py::class_<Tensor<T>>&);
HALVORN_FOR_EACH_ELEMENT_TYPE(HALVORN_INSTANTIATE)
#undef HALVORN_INSTANTIATE

}  // namespace halvorn::interop
