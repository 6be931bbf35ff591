// How pybind11 hands a Python tensor to native code: its standard class
// caster, plus one refusal.
//
// A tensor class's __new__ can be called without __init__ (for instance
// TensorInt16.__new__(TensorInt16), or through copy and pickle machinery). Such
// an instance owns no Tensor<T>, and pybind11's own caster would then give the
// native code a freshly allocated, never-constructed Tensor<T>: garbage extents
// and a wild packet pointer. This caster refuses that instance like any other
// argument that does not convert, so the call raises TypeError instead.
//
// Every translation unit that converts Tensor<T> must include this header
// before it does, so that one caster is used throughout.
#pragma once

#include <pybind11/pybind11.h>

#include <typeinfo>

#include "core/tensor.h"

namespace pybind11::detail {

template <class T>
class type_caster<halvorn::Tensor<T>> : public type_caster_base<halvorn::Tensor<T>> {
 public:
  bool load(handle source, bool convert) {
    if (source && !owns_its_tensor(source)) return false;
    return type_caster_base<halvorn::Tensor<T>>::load(source, convert);
  }

 private:
  // False only for an instance of the tensor class (or of a Python subclass)
  // whose Tensor<T> was never built; anything else goes to the standard caster.
  static bool owns_its_tensor(handle source) {
    const type_info* tensor_type = get_type_info(typeid(halvorn::Tensor<T>));
    if (tensor_type == nullptr || !PyType_IsSubtype(Py_TYPE(source.ptr()), tensor_type->type)) {
      return true;
    }
    const value_and_holder slot =
        reinterpret_cast<instance*>(source.ptr())->get_value_and_holder(tensor_type, false);
    // An empty slot (inst null) means no Tensor<T> part at all: not ours to judge.
    return slot.inst == nullptr || slot.holder_constructed();
  }
};

}  // namespace pybind11::detail
