// How pybind11 hands a Python Generator to native code: as tensor_caster.h
// does for tensors, only an instance of the class, or of a Python subclass
// whose one native part is the class's, that owns its built Generator gets
// through. pybind11's own caster would also take implicit conversions, other
// modules' local types and any object offering `_pybind11_conduit_v1_`, which
// can hand over a pointer of its choosing; the draws write through it.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

#include "factories/generator.h"
#include "module/tensor_caster.h"

namespace halvorn {

// The class's record in the main interpreter, set when the class is
// registered there; anywhere else the record is looked up on each use.
inline const pybind11::detail::type_info* registered_generator_type = nullptr;

inline const pybind11::detail::type_info* generator_type_info() {
  const pybind11::detail::type_info* known = registered_generator_type;
  if (known != nullptr && PyInterpreterState_Get() == PyInterpreterState_Main()) return known;
  return pybind11::detail::get_type_info(typeid(Generator));
}

// The Generator slot of `source`, built or not; one without an instance for
// anything that is not a Generator.
inline pybind11::detail::value_and_holder generator_part(pybind11::handle source) {
  using namespace pybind11::detail;
  const type_info* generator_type = generator_type_info();
  if (!source || generator_type == nullptr) return {};
  PyTypeObject* type = Py_TYPE(source.ptr());
  if (type != generator_type->type) {
    if (!PyType_IsSubtype(type, generator_type->type)) return {};
    const std::vector<type_info*>& parts = all_type_info(type);
    if (parts.size() != 1 || parts.front() != generator_type) return {};
  }
  return reinterpret_cast<instance*>(source.ptr())->get_value_and_holder(generator_type, false);
}

}  // namespace halvorn

namespace pybind11::detail {

template <>
class type_caster<halvorn::Generator> : public type_caster_generic {
  using Generator = halvorn::Generator;
  using Base = type_caster_base<Generator>;

 public:
  static constexpr auto name = const_name<Generator>();

  type_caster() : type_caster_generic(halvorn::generator_type_info()) {}

  // An instance made by __new__ alone raises at once, naming the reason.
  bool load(handle source, bool /*convert*/) {
    const value_and_holder part = halvorn::generator_part(source);
    if (part.inst == nullptr) return false;
    if (!part.holder_constructed()) {
      throw type_error(halvorn::unbuilt_description(Py_TYPE(source.ptr())) +
                       " cannot be used: its __init__ was never called");
    }
    this->value = part.value_ptr();
    return true;
  }

  static handle cast(Generator&& source, return_value_policy, handle parent) {
    return Base::cast(std::move(source), return_value_policy::move, parent);
  }
  static handle cast(const Generator& source, return_value_policy policy, handle parent) {
    return Base::cast(source, policy, parent);
  }

  template <class Wanted>
  using cast_op_type = detail::cast_op_type<Wanted>;
  operator Generator*() { return static_cast<Generator*>(value); }
  operator Generator&() {
    if (value == nullptr) throw reference_cast_error();
    return *static_cast<Generator*>(value);
  }
};

}  // namespace pybind11::detail
