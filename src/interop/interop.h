// halvorn and other libraries: the buffer protocol and DLPack out, the
// quorva_array_* functions in, pickling, copies, the @ and / operators, and a
// rank-0 tensor as a Python number. The module's one way into this layer;
// each concern has a translation unit of its own (buffer_export.cpp,
// dlpack.cpp, import.cpp, operators.cpp, pickle.cpp, bind.cpp).
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

#include "core/tensor.h"
#include "interop/pybind11_bridge.h"

namespace halvorn {

// "quorva_<operation>_<word>", the module-level name of an operation on T.
template <class T>
std::string function_name(const char* operation) {
  return std::string("quorva_") + operation + "_" + ElementTraits<T>::word;
}

// A read-only property `name` of `cls`, named: pybind11 leaves a property
// without one, so CPython's refusal of `t.name = ...` and `del t.name` would
// speak of "property ''".
template <class Native, class Getter>
void def_named_property(pybind11::class_<Native>& cls, const char* name, Getter&& getter) {
  cls.def_property_readonly(name, std::forward<Getter>(getter));
  cls.attr(name).attr("__set_name__")(cls, name);
}

}  // namespace halvorn

namespace halvorn::interop {

// Everything above on the class for T (instantiated for the four types).
template <class T>
void bind_interop(pybind11::class_<Tensor<T>>& cls);

// quorva_add_<type>, quorva_sub_<type>, quorva_mul_<type> and (float)
// quorva_div_<type>, once registered, given a way around pybind11's dispatch
// for two built tensors of exactly the class (instantiated for the four types).
template <class T>
void speed_up_arithmetic_functions(pybind11::module_& module);

// quorva_array_<type> and the pickles' reconstructors _restore_<type>.
void bind_array_factories(pybind11::module_& module);

}  // namespace halvorn::interop
