// The Python face of halvorn: thin registrations that forward to src/core and
// src/factories. No tensor logic lives here.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "core/operations/arithmetic.h"
#include "core/operations/dot.h"
#include "core/storage/tensor.h"
#include "core/text/render.h"
#include "factories/constant.h"
#include "factories/random.h"
#include "interop/interop.h"
#include "module/class_guards.h"
#include "module/dask_module.h"
#include "module/error_settings.h"
#include "module/exit_message.h"
#include "module/generator_binding.h"
#include "module/instruction_set_control.h"

namespace py = pybind11;

namespace halvorn {
namespace {

// "TensorInt16" for short, and so on: "Tensor" and the capitalised word.
template <class T>
std::string class_name() {
  std::string word = ElementTraits<T>::word;
  word[0] = static_cast<char>(word[0] - 'a' + 'A');
  return "Tensor" + word;
}

template <class T>
void bind_tensor_class(py::module_& module) {
  py::class_<Tensor<T>> tensor_class(module, class_name<T>().c_str(), py::buffer_protocol());
  // A tensor made from Python starts all zero, so no stale heap bytes ever
  // reach Python.
  def_constructor<Tensor<T>, const Shape&>(
      tensor_class, "shape", "a tensor",
      [](const Shape& shape) { return new Tensor<T>(shape, T(0)); });
  def_named_property(tensor_class, "shape", [](const Tensor<T>& tensor) { return tensor.shape; });
  tensor_class
      .def("to_list", &interop::values_as_list<T>)
      // Plain methods, not operator overloads: a foreign operand raises
      // TypeError at once instead of deferring to its reflected method.
      .def("__add__", &add<T>)
      .def("__sub__", &sub<T>)
      .def("__mul__", &mul<T>)
      .def("__divide__", &div<T>)
      // An instance whose __init__ never ran still has a repr, so that error
      // reports that show it cannot fail in turn; in pybind11's report of
      // arguments that fit no signature a tensor shows its class and shape.
      .def("__repr__", [](InstanceOrUnbuilt<Tensor<T>> self) {
        if (self.value == nullptr) return unbuilt_description(self.type());
        if (called_for_argument_report()) return brief_description(self.type(), self.value->shape);
        return repr(*self.value);
      });
  // The buffer protocol, DLPack, pickling, copies, the @ and / operators and
  // the conversions of a rank-0 tensor to a Python number.
  interop::bind_interop<T>(tensor_class);

  seal_class(tensor_class);
}

void bind_constant_factories(py::module_& module) {
  for_each_element_type([&]<class T>() { module.def(function_name<T>("full").c_str(), &full<T>); });
  for_each_element_type(
      [&]<class T>() { module.def(function_name<T>("zeros").c_str(), &zeros<T>); });
  for_each_element_type([&]<class T>() { module.def(function_name<T>("ones").c_str(), &ones<T>); });
}

void bind_arithmetic(py::module_& module) {
  for_each_element_type([&]<class T>() { module.def(function_name<T>("add").c_str(), &add<T>); });
  for_each_element_type([&]<class T>() { module.def(function_name<T>("sub").c_str(), &sub<T>); });
  for_each_element_type([&]<class T>() { module.def(function_name<T>("mul").c_str(), &mul<T>); });
  // Integer tensors divide only through their __divide__ method.
  for_each_element_type([&]<class T>() {
    if constexpr (ElementTraits<T>::floating) module.def(function_name<T>("div").c_str(), &div<T>);
  });
  for_each_element_type([&]<class T>() { interop::speed_up_arithmetic_functions<T>(module); });
}

void bind_dot(py::module_& module) {
  for_each_element_type([&]<class T>() { module.def(function_name<T>("dot").c_str(), &dot<T>); });
}

// Bound straight to the native instantiations. There are no integer variants.
void bind_random_factories(py::module_& module) {
  for_each_element_type([&]<class T>() {
    if constexpr (ElementTraits<T>::floating)
      module.def(function_name<T>("rand").c_str(), &rand<T>);
  });
  for_each_element_type([&]<class T>() {
    if constexpr (ElementTraits<T>::floating)
      module.def(function_name<T>("randn").c_str(), &randn<T>);
  });
}

}  // namespace
}  // namespace halvorn

PYBIND11_MODULE(halvorn, module) {
  using namespace halvorn;
  module.doc() = "Tensor operations";
  set_python_exit_hooks();

  // Classes first, so every function signature names the Python classes.
  for_each_element_type([&]<class T>() { bind_tensor_class<T>(module); });

  bind_constant_factories(module);
  bind_random_factories(module);
  bind_arithmetic(module);
  bind_dot(module);
  interop::bind_array_factories(module);
  bind_error_settings(module);
  bind_generator(module);
  bind_dask_module(module);
  publish_instruction_set_control();
  track_argument_reports(module);
  raise_pending_memory_errors();
  // The build reads the version from pyproject.toml, the one place it is
  // written, so the package's metadata and this never disagree.
  module.attr("__version__") = HALVORN_VERSION;
}
