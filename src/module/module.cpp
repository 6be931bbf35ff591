// The Python face of halvorn: thin registrations that forward to src/core and
// src/factories. No tensor logic lives here.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <vector>

#include "core/tensor.h"
#include "factories/random.h"

namespace py = pybind11;

namespace halvorn {
namespace {

template <class T>
void bind_tensor_class(py::module_& module, const char* name) {
  py::class_<Tensor<T>>(module, name)
      // A tensor made from Python starts all zero, so no stale heap bytes ever
      // reach Python.
      .def(py::init([](const Shape& shape) { return Tensor<T>(shape, T(0)); }), py::arg("shape"))
      .def_property_readonly("shape", [](const Tensor<T>& tensor) { return tensor.shape; })
      .def("to_list", [](const Tensor<T>& tensor) { std::vector<T> values; values.reserve(tensor.data.size()); for (std::uint64_t i = 0; i < tensor.data.size(); ++i) values.push_back(static_cast<T>(tensor.data[i])); return values; });
}

// Bound straight to the native instantiations, without parameter names or
// docstrings. There are no integer variants.
void bind_random_factories(py::module_& module) {
  module.def("quorva_rand_float32", &rand<float>);
  module.def("quorva_rand_float64", &rand<double>);
  module.def("quorva_randn_float32", &randn<float>);
  module.def("quorva_randn_float64", &randn<double>);
}

}  // namespace
}  // namespace halvorn

PYBIND11_MODULE(halvorn, module) {
  using namespace halvorn;
  module.doc() = "Tensor operations";

  bind_tensor_class<short>(module, "TensorInt16");
  bind_tensor_class<int>(module, "TensorInt32");
  bind_tensor_class<float>(module, "TensorFloat32");
  bind_tensor_class<double>(module, "TensorFloat64");

  // Module-level functions, after the classes so that their signatures name
  // the tensor classes. The constant factories go before the random ones;
  // arithmetic and the dot product after them.
  bind_random_factories(module);
}
