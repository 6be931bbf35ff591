// How a Python tensor or Generator reaches native code, and how a native
// result becomes an instance: the casters, the lookup of each class's pybind11
// record, the creation of instances, and the constructors, which build an
// instance's object against its holder. Every use of pybind11's internals
// here is listed in pybind11_internals_used.h.
//
// Only an instance of the class for a native type (a Tensor<T>, the
// Generator), or of a Python subclass whose one native part is that class's,
// that owns its built object gets through. pybind11's own caster would go
// further: implicit conversions, other modules' local types and the
// `_pybind11_conduit_v1_` protocol, through which any object can hand over a
// pointer of its choosing (an unbuilt instance's, or a temporary's). None of
// those routes is taken here.
//
// An instance made by __new__ alone owns no native object. Using one raises
// TypeError at once, naming the reason, instead of the usual "incompatible
// arguments" report: that report shows repr() of every argument, and so would
// go through this caster again.
//
// Every translation unit that converts these types must include this header
// before it does, so that one caster is used throughout.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/storage/tensor.h"
#include "factories/generator.h"
#include "interop/pybind11_internals_used.h"

namespace halvorn {

// "<halvorn.TensorInt16 object, not initialised>" for an instance of `type`
// whose __init__ never ran.
inline std::string unbuilt_description(PyTypeObject* type) {
  pybind11::handle type_handle(reinterpret_cast<PyObject*>(type));
  return "<" + pybind11::str(type_handle.attr("__module__")).cast<std::string>() + "." +
         pybind11::str(type_handle.attr("__qualname__")).cast<std::string>() +
         " object, not initialised>";
}

// The self of __repr__ and __sizeof__: the native object, or null for an
// instance whose object was never built, which still renders as its
// description and has a size instead of failing.
template <class Native>
struct InstanceOrUnbuilt {
  const Native* value = nullptr;
  pybind11::handle self;
  PyTypeObject* type() const noexcept { return Py_TYPE(self.ptr()); }
};

// A method's self as the instance and its built native object, for the
// methods that hand out or keep the instance itself (copies, DLPack views) or
// read its class. Returned, it is that same instance.
template <class Native>
struct BuiltInstance {
  pybind11::handle self;
  const Native* value = nullptr;
};

template <class T>
using TensorInstance = BuiltInstance<Tensor<T>>;

// to_list()'s result: the tensor's values, which become one flat list of
// Python numbers, made straight into the list's slots (iteration.cpp).
template <class T>
struct ValueList {
  const Tensor<T>& tensor;
};

namespace interop {
template <class T>
pybind11::list make_value_list(const Tensor<T>& tensor);
}

// A method's result that is an instance of the class for Native or of a
// subclass: typed as the class in signatures, unlike a plain object.
template <class Native>
struct InstanceResult {
  pybind11::object instance;
};

// The pybind11 record of the class that wraps Native in the main interpreter.
// The module sets it each time its body runs there, after registering the
// class, so that a call does not look the type up by name for every argument
// and every result. Each interpreter has records of its own, and a
// sub-interpreter's die with it, so any other interpreter (one that does not
// enforce the module's refusal may load it) looks the type up each time. A
// module that only includes this header (the test companion) has a copy of
// its own, null until it calls remember_type.
//
// The record lives only as long as its class: `del halvorn.TensorFloat64`
// and a collection free both. A weak reference to the class forgets the
// record first (pybind11 guards its own per-type cache the same way); from
// then on every call looks the type up, finds none, and refuses cleanly.
template <class Native>
inline const pybind11::detail::type_info* registered_type = nullptr;

// Called once the class for Native is registered; only the main
// interpreter's record is kept.
template <class Native>
void remember_type() {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) return;
  const pybind11::detail::type_info* record = pybind11::detail::get_type_info(typeid(Native));
  if (record == nullptr) return;
  // The weak reference is kept by nobody but itself: its callback drops it.
  pybind11::cpp_function forget([](pybind11::handle reference) {
    registered_type<Native> = nullptr;
    reference.dec_ref();
  });
  pybind11::weakref(reinterpret_cast<PyObject*>(record->type), forget).release();
  registered_type<Native> = record;
}

template <class Native>
const pybind11::detail::type_info* type_info_of() {
  const pybind11::detail::type_info* known = registered_type<Native>;
  if (known != nullptr && PyInterpreterState_Get() == PyInterpreterState_Main()) return known;
  return pybind11::detail::get_type_info(typeid(Native));
}

// The instance's Native slot, built or not; one with no instance for anything
// that is not such an instance. A subclass must have exactly this class as
// its one native part in pybind11's per-type cache: that cache describes how
// the instance was laid out.
template <class Native>
pybind11::detail::value_and_holder native_part(pybind11::handle source,
                                               const pybind11::detail::type_info* record) {
  using namespace pybind11::detail;
  if (!source || record == nullptr) return {};
  PyTypeObject* type = Py_TYPE(source.ptr());
  if (type != record->type) {
    if (!PyType_IsSubtype(type, record->type)) return {};
    const std::vector<type_info*>& parts = all_type_info(type);
    if (parts.size() != 1 || parts.front() != record) return {};
  }
  return reinterpret_cast<instance*>(source.ptr())->get_value_and_holder(record, false);
}

// A new instance of `type`, the class for Native or a subclass of it whose one
// native part is that class, owning `value`. pybind11's own allocation, as for
// a result; no __new__ or __init__ of the subclass runs, as none does when
// pickle or copy rebuild an object.
template <class Native>
pybind11::object new_instance(PyTypeObject* type, const pybind11::detail::type_info* record,
                              Native&& value) {
  using namespace pybind11::detail;
  if (record == nullptr) throw pybind11::type_error("the class of this halvorn object is gone");
  auto owned = std::make_unique<Native>(std::move(value));
  pybind11::object result = pybind11::reinterpret_steal<pybind11::object>(make_new_instance(type));
  if (!result) throw pybind11::error_already_set();
  auto* wrapper = reinterpret_cast<instance*>(result.ptr());
  wrapper->owned = true;
  wrapper->get_value_and_holder(record, false).value_ptr() = owned.release();
  record->init_instance(wrapper, nullptr);
  return result;
}

// `object` as a Python subclass of the class for Native whose instances
// native_part takes; null for anything else, the class itself included.
template <class Native>
PyTypeObject* subclass_of_native(pybind11::handle object) {
  const pybind11::detail::type_info* record = type_info_of<Native>();
  if (record == nullptr || !PyType_Check(object.ptr()) ||
      object.ptr() == reinterpret_cast<PyObject*>(record->type)) {
    return nullptr;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(object.ptr());
  if (!PyType_IsSubtype(type, record->type)) return nullptr;
  const std::vector<pybind11::detail::type_info*>& parts = pybind11::detail::all_type_info(type);
  return parts.size() == 1 && parts.front() == record ? type : nullptr;
}

// The class of `instance` where it is a Python subclass; null for the class
// for Native itself.
template <class Native>
PyTypeObject* subclass_of(const BuiltInstance<Native>& instance) {
  return subclass_of_native<Native>(pybind11::type::handle_of(instance.self));
}

}  // namespace halvorn

namespace pybind11::detail {

// Loading is this header's own; the signature name and the conversions back
// to Python are pybind11's, but for a moved tensor, which is the common case
// and is built straight into a new instance.
template <class Native>
class native_caster : public type_caster_generic {
  using Base = type_caster_base<Native>;

 public:
  static constexpr auto name = const_name<Native>();

  native_caster() : type_caster_generic(halvorn::type_info_of<Native>()) {}

  bool load(handle source, bool /*convert*/) {
    const value_and_holder part = halvorn::native_part<Native>(source, this->typeinfo);
    if (part.inst == nullptr) return false;
    if (!part.holder_constructed()) {
      throw type_error(halvorn::unbuilt_description(Py_TYPE(source.ptr())) +
                       " cannot be used: its __init__ was never called");
    }
    this->value = part.value_ptr();
    return true;
  }

  // A result: moved into a new Native that a new instance owns, as
  // pybind11's move policy does. pybind11 would first look for an instance
  // already registered at the source's address; a temporary being returned
  // never has one.
  static handle cast(Native&& source, return_value_policy, handle) {
    const type_info* record = halvorn::type_info_of<Native>();
    if (record == nullptr) return Base::cast(std::move(source), return_value_policy::move, {});
    return halvorn::new_instance(record->type, record, std::move(source)).release();
  }
  static handle cast(const Native& source, return_value_policy policy, handle parent) {
    return Base::cast(source, policy, parent);
  }
  static handle cast(const Native* source, return_value_policy policy, handle parent) {
    return Base::cast(source, policy, parent);
  }

  template <class Wanted>
  using cast_op_type = detail::cast_op_type<Wanted>;
  operator Native*() { return static_cast<Native*>(value); }
  operator Native&() {
    if (value == nullptr) throw reference_cast_error();
    return *static_cast<Native*>(value);
  }
};

template <class T>
class type_caster<halvorn::Tensor<T>> : public native_caster<halvorn::Tensor<T>> {};

template <>
class type_caster<halvorn::Generator> : public native_caster<halvorn::Generator> {};

template <class Native>
class type_caster<halvorn::BuiltInstance<Native>> {
 public:
  PYBIND11_TYPE_CASTER(halvorn::BuiltInstance<Native>, const_name<Native>());

  bool load(handle source, bool convert) {
    type_caster<Native> native;
    if (!native.load(source, convert)) return false;
    value = {source, &static_cast<Native&>(native)};
    return true;
  }

  static handle cast(const halvorn::BuiltInstance<Native>& source, return_value_policy, handle) {
    return source.self.inc_ref();
  }
};

// Named as pybind11 names the std::vector<T> that a list of the values is,
// so the signature is that of a sequence of numbers either way.
template <class T>
class type_caster<halvorn::ValueList<T>> {
 public:
  static constexpr auto name = make_caster<std::vector<T>>::name;

  static handle cast(const halvorn::ValueList<T>& values, return_value_policy, handle) {
    return halvorn::interop::make_value_list(values.tensor).release();
  }
};

template <class Native>
class type_caster<halvorn::InstanceResult<Native>> {
 public:
  PYBIND11_TYPE_CASTER(halvorn::InstanceResult<Native>, const_name<Native>());

  bool load(handle, bool) { return false; }

  static handle cast(halvorn::InstanceResult<Native> source, return_value_policy, handle) {
    return source.instance.release();
  }
};

template <class Native>
class type_caster<halvorn::InstanceOrUnbuilt<Native>> {
 public:
  PYBIND11_TYPE_CASTER(halvorn::InstanceOrUnbuilt<Native>, const_name<Native>());

  bool load(handle source, bool /*convert*/) {
    const value_and_holder part =
        halvorn::native_part<Native>(source, halvorn::type_info_of<Native>());
    if (part.inst == nullptr) return false;
    value.self = source;
    value.value =
        part.holder_constructed() ? static_cast<const Native*>(part.value_ptr()) : nullptr;
    return true;
  }
};

}  // namespace pybind11::detail

namespace halvorn {

// The native object `object` owns, through the one caster: null for anything
// that is not an instance of the class for Native (or of a subclass of it);
// an instance whose __init__ never ran raises TypeError.
template <class Native>
Native* native_of(pybind11::handle object) {
  pybind11::detail::make_caster<Native> caster;
  if (!caster.load(object, false)) return nullptr;
  return &pybind11::detail::cast_op<Native&>(caster);
}

template <class T>
const Tensor<T>* tensor_of(pybind11::handle object) {
  return native_of<Tensor<T>>(object);
}

// The built tensor of an instance of exactly the class for T, not of a
// subclass; null for anything else, an unbuilt instance included. For the
// operator slots, which serve only that class and leave everything else to
// the bound methods.
template <class T>
Tensor<T>* exact_built_tensor(PyObject* object) {
  const pybind11::detail::type_info* record = type_info_of<Tensor<T>>();
  if (record == nullptr || Py_TYPE(object) != record->type) return nullptr;
  const pybind11::detail::value_and_holder part =
      reinterpret_cast<pybind11::detail::instance*>(object)->get_value_and_holder(record, false);
  if (!part.holder_constructed()) return nullptr;
  return static_cast<Tensor<T>*>(part.value_ptr());
}

// __init__(<argument_name>), building the instance's object with
// `make(argument)`, written out against the instance's holder rather than with
// py::init: a second __init__ that arrives while the first is still converting
// its argument (a generator that calls it) would otherwise build a second
// object over the first. pybind11 itself ignores a second __init__ once the
// first has finished. `noun` names the object in the refusal ("a tensor").
template <class Native, class Argument, class Make>
void def_constructor(pybind11::class_<Native>& cls, const char* argument_name, const char* noun,
                     Make make) {
  const std::string refusal =
      std::string("__init__() cannot run again on ") + noun + " that is built";
  cls.def(
      "__init__",
      [make, refusal](pybind11::detail::value_and_holder& self, Argument argument) {
        if (self.value_ptr() != nullptr) throw pybind11::type_error(refusal);
        self.value_ptr() = make(argument);
      },
      pybind11::detail::is_new_style_constructor(), pybind11::arg(argument_name));
}

}  // namespace halvorn
