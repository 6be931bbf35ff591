// The Python face of halvorn: thin registrations that forward to src/core and
// src/factories. No tensor logic lives here.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "core/arithmetic.h"
#include "core/dot.h"
#include "core/export.h"
#include "core/render.h"
#include "core/tensor.h"
#include "factories/constant.h"
#include "factories/random.h"
#include "module/tensor_caster.h"
// After the caster, so that the interop members convert tensors through it.
#include "module/interop.h"

namespace py = pybind11;

namespace halvorn {
namespace {

template <class T>
void bind_tensor_class(py::module_& module, const char* name) {
  py::class_<Tensor<T>> cls = py::class_<Tensor<T>>(module, name, py::buffer_protocol())
      // A tensor made from Python starts all zero, so no stale heap bytes ever
      // reach Python.
      .def(py::init([](const Shape& shape) { return Tensor<T>(shape, T(0)); }), py::arg("shape"))
      .def_property_readonly("shape", [](const Tensor<T>& tensor) { return tensor.shape; })
      .def("to_list", &to_list<T>)
      // Plain methods, not operator overloads: a foreign operand raises
      // TypeError at once instead of deferring to its reflected method.
      .def("__add__", &add<T>)
      .def("__sub__", &sub<T>)
      .def("__mul__", &mul<T>)
      .def("__divide__", &div<T>)
      .def("__repr__", &repr<T>);
  interop::bind_interop<T>(cls);
}

void bind_constant_factories(py::module_& module) {
  module.def("quorva_full_int16", &full<short>);
  module.def("quorva_full_int32", &full<int>);
  module.def("quorva_full_float32", &full<float>);
  module.def("quorva_full_float64", &full<double>);
  module.def("quorva_zeros_int16", &zeros<short>);
  module.def("quorva_zeros_int32", &zeros<int>);
  module.def("quorva_zeros_float32", &zeros<float>);
  module.def("quorva_zeros_float64", &zeros<double>);
  module.def("quorva_ones_int16", &ones<short>);
  module.def("quorva_ones_int32", &ones<int>);
  module.def("quorva_ones_float32", &ones<float>);
  module.def("quorva_ones_float64", &ones<double>);
}

void bind_arithmetic(py::module_& module) {
  module.def("quorva_add_int16", &add<short>);
  module.def("quorva_add_int32", &add<int>);
  module.def("quorva_add_float32", &add<float>);
  module.def("quorva_add_float64", &add<double>);
  module.def("quorva_sub_int16", &sub<short>);
  module.def("quorva_sub_int32", &sub<int>);
  module.def("quorva_sub_float32", &sub<float>);
  module.def("quorva_sub_float64", &sub<double>);
  module.def("quorva_mul_int16", &mul<short>);
  module.def("quorva_mul_int32", &mul<int>);
  module.def("quorva_mul_float32", &mul<float>);
  module.def("quorva_mul_float64", &mul<double>);
  // Integer tensors divide only through their __divide__ method.
  module.def("quorva_div_float32", &div<float>);
  module.def("quorva_div_float64", &div<double>);
}

void bind_dot(py::module_& module) {
  module.def("quorva_dot_int16", &dot<short>);
  module.def("quorva_dot_int32", &dot<int>);
  module.def("quorva_dot_float32", &dot<float>);
  module.def("quorva_dot_float64", &dot<double>);
}

// Bound straight to the native instantiations. There are no integer variants.
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

  // Classes first, so every function signature names the Python classes.
  bind_tensor_class<short>(module, "TensorInt16");
  bind_tensor_class<int>(module, "TensorInt32");
  bind_tensor_class<float>(module, "TensorFloat32");
  bind_tensor_class<double>(module, "TensorFloat64");

  bind_constant_factories(module);
  bind_random_factories(module);
  bind_arithmetic(module);
  bind_dot(module);
  interop::bind_array_factories(module);
}
