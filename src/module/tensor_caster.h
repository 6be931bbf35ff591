// How pybind11 hands a Python tensor to native code.
//
// Only an instance of the tensor class for T, or of a Python subclass whose one
// tensor part is that class's, that owns its built Tensor<T> gets through.
// pybind11's own caster would go further: implicit conversions, other modules'
// local types and the `_pybind11_conduit_v1_` protocol, through which any
// object can hand over a pointer of its choosing (an unbuilt instance's, or a
// temporary's). None of those routes is taken here.
//
// An instance made by __new__ alone owns no Tensor<T>. Using one raises
// TypeError at once, naming the reason, instead of the usual "incompatible
// arguments" report: that report shows repr() of every argument, and so would
// go through this caster again.
//
// Every translation unit that converts Tensor<T> must include this header
// before it does, so that one caster is used throughout.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "core/tensor.h"

namespace halvorn {

// "<halvorn.TensorInt16 object, not initialised>" for an instance of `type`
// whose __init__ never ran.
inline std::string unbuilt_description(PyTypeObject* type) {
  pybind11::handle type_handle(reinterpret_cast<PyObject*>(type));
  return "<" + pybind11::str(type_handle.attr("__module__")).cast<std::string>() + "." +
         pybind11::str(type_handle.attr("__qualname__")).cast<std::string>() +
         " object, not initialised>";
}

// The argument of __repr__: the tensor, or null for an instance whose tensor
// was never built, which renders as its description instead of failing.
template <class T>
struct TensorOrUnbuilt {
  const Tensor<T>* tensor = nullptr;
  PyTypeObject* type = nullptr;
};

}  // namespace halvorn

namespace pybind11::detail {

// The base class supplies the registered type (looked up once, when the caster
// is made), the signature name and the result conversion; only loading is
// replaced.
template <class T>
class type_caster<halvorn::Tensor<T>> : public type_caster_base<halvorn::Tensor<T>> {
  using Base = type_caster_base<halvorn::Tensor<T>>;

 public:
  bool load(handle source, bool /*convert*/) {
    const value_and_holder part = tensor_part(source);
    if (part.inst == nullptr) return false;
    if (!part.holder_constructed()) {
      throw type_error(halvorn::unbuilt_description(Py_TYPE(source.ptr())) +
                       " cannot be used: its __init__ was never called");
    }
    this->value = part.value_ptr();
    return true;
  }

  // The instance's Tensor<T> slot, built or not; one with no instance for
  // anything that is not such an instance. A subclass must have exactly this class as its one
  // tensor part in pybind11's per-type cache: that cache describes how the
  // instance was laid out, and stays as it was if the subclass's __bases__
  // are changed afterwards.
  value_and_holder tensor_part(handle source) const {
    const type_info* tensor_type = this->typeinfo;
    if (!source || tensor_type == nullptr) return {};
    PyTypeObject* type = Py_TYPE(source.ptr());
    if (type != tensor_type->type) {
      if (!PyType_IsSubtype(type, tensor_type->type)) return {};
      const std::vector<type_info*>& parts = all_type_info(type);
      if (parts.size() != 1 || parts.front() != tensor_type) return {};
    }
    return reinterpret_cast<instance*>(source.ptr())->get_value_and_holder(tensor_type, false);
  }
};

template <class T>
class type_caster<halvorn::TensorOrUnbuilt<T>> {
 public:
  PYBIND11_TYPE_CASTER(halvorn::TensorOrUnbuilt<T>, const_name<halvorn::Tensor<T>>());

  bool load(handle source, bool /*convert*/) {
    const value_and_holder part = type_caster<halvorn::Tensor<T>>().tensor_part(source);
    if (part.inst == nullptr) return false;
    value.type = Py_TYPE(source.ptr());
    value.tensor =
        part.holder_constructed() ? static_cast<const halvorn::Tensor<T>*>(part.value_ptr()) : nullptr;
    return true;
  }
};

}  // namespace pybind11::detail
