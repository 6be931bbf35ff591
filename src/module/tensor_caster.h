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

namespace halvorn {

// The pybind11 record of the class that wraps Tensor<T> in the main
// interpreter. The module sets it each time its body runs there, after
// registering the classes, so that a call does not look the type up by name
// for every argument and every result. Each interpreter has records of its
// own, and a sub-interpreter's die with it, so any other interpreter (one that
// does not enforce the module's refusal may load it) looks the type up each
// time. A module that only includes this header (the test companion) has a
// copy of its own, null until it calls remember_tensor_type.
//
// The record lives only as long as its class: `del halvorn.TensorFloat64`
// and a collection free both. A weak reference to the class forgets the
// record first (pybind11 guards its own per-type cache the same way); from
// then on every call looks the type up, finds none, and refuses cleanly.
template <class T>
inline const pybind11::detail::type_info* registered_tensor_type = nullptr;

// Called once the class for Tensor<T> is registered; only the main
// interpreter's record is kept.
template <class T>
void remember_tensor_type() {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) return;
  const pybind11::detail::type_info* record = pybind11::detail::get_type_info(typeid(Tensor<T>));
  if (record == nullptr) return;
  // The weak reference is kept by nobody but itself: its callback drops it.
  pybind11::cpp_function forget([](pybind11::handle reference) {
    registered_tensor_type<T> = nullptr;
    reference.dec_ref();
  });
  pybind11::weakref(reinterpret_cast<PyObject*>(record->type), forget).release();
  registered_tensor_type<T> = record;
}

template <class T>
const pybind11::detail::type_info* tensor_type_info() {
  const pybind11::detail::type_info* known = registered_tensor_type<T>;
  if (known != nullptr && PyInterpreterState_Get() == PyInterpreterState_Main()) return known;
  return pybind11::detail::get_type_info(typeid(Tensor<T>));
}

}  // namespace halvorn

namespace pybind11::detail {

// Loading is this header's own; the signature name and the conversions back
// to Python are pybind11's, but for the moved result, which is the common
// case and is built straight into a new instance.
template <class T>
class type_caster<halvorn::Tensor<T>> : public type_caster_generic {
  using Tensor = halvorn::Tensor<T>;
  using Base = type_caster_base<Tensor>;

 public:
  static constexpr auto name = const_name<Tensor>();

  type_caster() : type_caster_generic(halvorn::tensor_type_info<T>()) {}

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
  // anything that is not such an instance. A subclass must have exactly this
  // class as its one tensor part in pybind11's per-type cache: that cache
  // describes how the instance was laid out.
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

  // A result: moved into a new Tensor<T> that a new instance owns, as
  // pybind11's move policy does. pybind11 would first look for an instance
  // already registered at the source's address; a temporary being returned
  // never has one.
  static handle cast(Tensor&& source, return_value_policy, handle) {
    const type_info* tensor_type = halvorn::tensor_type_info<T>();
    if (tensor_type == nullptr) return Base::cast(std::move(source), return_value_policy::move, {});
    auto owned = std::make_unique<Tensor>(std::move(source));
    object result = reinterpret_steal<object>(make_new_instance(tensor_type->type));
    if (!result) throw error_already_set();
    auto* wrapper = reinterpret_cast<instance*>(result.ptr());
    wrapper->owned = true;
    values_and_holders(wrapper).begin()->value_ptr() = owned.release();
    tensor_type->init_instance(wrapper, nullptr);
    return result.release();
  }
  static handle cast(const Tensor& source, return_value_policy policy, handle parent) {
    return Base::cast(source, policy, parent);
  }
  static handle cast(const Tensor* source, return_value_policy policy, handle parent) {
    return Base::cast(source, policy, parent);
  }

  template <class Wanted>
  using cast_op_type = detail::cast_op_type<Wanted>;
  operator Tensor*() { return static_cast<Tensor*>(value); }
  operator Tensor&() {
    if (value == nullptr) throw reference_cast_error();
    return *static_cast<Tensor*>(value);
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
