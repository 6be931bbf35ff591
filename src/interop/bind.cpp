// The interop layer's registrations on each tensor class, and the module
// functions it adds; also a rank-0 tensor as a Python number.
#include <pybind11/complex.h>

#include <complex>
#include <string>
#include <type_traits>

#include "core/arithmetic.h"
#include "core/dot.h"
#include "interop/common.h"
#include "interop/interop.h"

namespace halvorn::interop {
namespace {

// ---------------------------------------------------------------------------
// Python numbers: a rank-0 tensor holds one number and converts as that number
// does, as a rank-0 NumPy array does. Any other rank is refused, even with one
// element, so that float(t) never quietly picks one value out of many.

template <class T>
T only_value(const Tensor<T>& tensor) {
  if (!tensor.shape.empty()) {
    throw py::type_error(
        std::string("only a rank-0 tensor (shape []) converts to a Python number; this ") +
        ElementTraits<T>::word + " tensor has shape " + shape_text(tensor.shape));
  }
  return tensor.data[0];
}

template <class T>
py::int_ to_int(const Tensor<T>& tensor) {
  const T value = only_value(tensor);
  if constexpr (std::is_integral_v<T>) {
    return py::int_(value);
  } else {
    // Through Python's own float to int, with its refusals: ValueError for a
    // NaN, OverflowError for an infinity.
    const py::float_ number(static_cast<double>(value));
    PyObject* integer = PyNumber_Long(number.ptr());
    if (integer == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::int_>(integer);
  }
}

template <class T>
void bind_numbers(py::class_<Tensor<T>>& cls) {
  cls.def("__float__", [](const Tensor<T>& tensor) {
    return py::float_(static_cast<double>(only_value(tensor)));
  });
  cls.def("__int__", &to_int<T>);
  cls.def("__complex__", [](const Tensor<T>& tensor) {
    return std::complex<double>(static_cast<double>(only_value(tensor)), 0.0);
  });
  if constexpr (std::is_integral_v<T>) {
    // Only integers may stand for an index; a float tensor's int() truncates,
    // so it must not slip into a list index unnoticed.
    cls.def("__index__", &to_int<T>);
  }
}

}  // namespace

template <class T>
void bind_interop(py::class_<Tensor<T>>& cls) {
  bind_buffer_export<T>(cls);
  bind_dlpack<T>(cls);
  bind_pickling<T>(cls);
  // Tensors never change once built, so a copy, shallow or deep, is the
  // instance itself.
  cls.def("__copy__", [](TensorInstance<T> self) { return self; });
  cls.def(
      "__deepcopy__", [](TensorInstance<T> self, const py::object&) { return self; },
      py::arg("memo"));
  // Plain methods like the other operators: a foreign operand raises
  // TypeError at once.
  cls.def("__matmul__", &dot<T>);
  if constexpr (std::is_floating_point_v<T>) {
    // Integer tensors keep / undefined: it means true division, and their
    // __divide__ truncates.
    cls.def("__truediv__", &div<T>);
  }
  bind_numbers<T>(cls);
  install_operator_slots<T>(cls);
}

void bind_array_factories(py::module_& module) {
  for_each_element_type([&]<class T>() { bind_array_factory<T>(module); });
  for_each_element_type([&]<class T>() { bind_restore<T>(module); });
}

#define HALVORN_INSTANTIATE(T) template void bind_interop<T>(py::class_<Tensor<T>>&);
HALVORN_FOR_EACH_ELEMENT_TYPE(HALVORN_INSTANTIATE)
#undef HALVORN_INSTANTIATE

}  // namespace halvorn::interop
