// Everything of halvorn's that reaches into pybind11's internals (its
// `detail` namespace and protected members): how a Python tensor or Generator
// reaches native code and how a result becomes an instance, the tensor
// classes' buffer slot, the constructors written against the instance's
// holder, exception translation for plain C functions, and the stand-ins
// for pybind11's dispatcher that note where each call stands. Written for
// pybind11 3.0 and 3.1; the assertion below stops a build against a release
// whose internals nobody has checked yet.
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

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/storage/tensor.h"
#include "factories/generator.h"

static_assert(PYBIND11_VERSION_MAJOR == 3 && PYBIND11_VERSION_MINOR <= 1,
              "halvorn uses pybind11 internals as they are in 3.0 and 3.1: check them "
              "(src/interop/pybind11_bridge.h) before building with a later release");

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

// ---------------------------------------------------------------------------
// Argument reports. When no argument list fits, pybind11 reports repr() of
// every argument, and a tensor's rendering can run to millions of lines
// (shape [10000000, 0]). halvorn's functions note on each thread where their
// calls stand, so that a tensor shown in such a report shows only its class
// and shape, while repr() everywhere else is the rendering.

enum class CallStage {
  matching,    // pybind11 matches the argument count and keywords: runs no Python code
  converting,  // the arguments convert and the function runs, Python code included
  reporting,   // none of it fitted: pybind11 reports the arguments
};

struct CallInProgress {
  CallStage stage;
  CallInProgress* outer;
};

inline thread_local CallInProgress* innermost_call = nullptr;

// Whether a halvorn function called now (a __repr__) runs for the report of
// the call around it.
inline bool called_for_argument_report() noexcept {
  const CallInProgress* call = innermost_call;
  return call != nullptr && call->outer != nullptr &&
         call->outer->stage != CallStage::converting;
}

// pybind11 reports an allocation that the interpreter refused while it turns
// a result into Python objects as a TypeError ("Unable to convert function
// return value") caused by the MemoryError: the MemoryError is raised.
inline void surface_memory_error() noexcept {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* raised = PyErr_GetRaisedException();
  PyObject* cause = PyException_GetCause(raised);
  if (cause != nullptr && PyErr_GivenExceptionMatches(cause, PyExc_MemoryError)) {
    Py_DECREF(raised);
    PyErr_SetRaisedException(cause);
    return;
  }
  Py_XDECREF(cause);
  PyErr_SetRaisedException(raised);
}

using PybindImplementation = pybind11::handle (*)(pybind11::detail::function_call&);

// Each pybind11 function record's own implementation, for its stand-in.
// Written only while a module is set up and read on every call, so a flat
// table probed from the record's address: a hash map's division and node
// chase cost a tenth of a small call.
struct ImplementationTable {
  static constexpr std::size_t slot_count = 4096;  // a power of two
  std::pair<const pybind11::detail::function_record*, PybindImplementation> slots[slot_count]{};
  std::size_t used = 0;

  static std::size_t first_slot(const pybind11::detail::function_record* record) noexcept {
    return (reinterpret_cast<std::uintptr_t>(record) >> 4) & (slot_count - 1);
  }
  // False when the table is half full (many imports in sub-interpreters):
  // the record then keeps pybind11's own implementation. A record at the
  // address of one that died with its interpreter takes over its slot.
  bool insert(const pybind11::detail::function_record* record, PybindImplementation implementation) {
    std::size_t slot = first_slot(record);
    while (slots[slot].first != nullptr && slots[slot].first != record)
      slot = (slot + 1) & (slot_count - 1);
    if (slots[slot].first == nullptr) {
      if (2 * (used + 1) > slot_count) return false;
      ++used;
    }
    slots[slot] = {record, implementation};
    return true;
  }
  // `record` must have been inserted.
  PybindImplementation find(const pybind11::detail::function_record* record) const noexcept {
    std::size_t slot = first_slot(record);
    while (slots[slot].first != record) slot = (slot + 1) & (slot_count - 1);
    return slots[slot].second;
  }
};
inline ImplementationTable implementations;

// pybind11's dispatcher and function records, reached as pybind11 reaches them.
struct FunctionDispatch : pybind11::cpp_function {
  using pybind11::cpp_function::dispatcher;
  static PyObject* dispatch(PyObject* self, PyObject* const* arguments, size_t count,
                            PyObject* keywords) {
    CallInProgress call{CallStage::matching, innermost_call};
    innermost_call = &call;
    struct Leave {
      CallInProgress* call;
      ~Leave() { innermost_call = call->outer; }
    } leave{&call};
    PyObject* result = dispatcher(self, arguments, count, keywords);
    if (result == nullptr) surface_memory_error();
    return result;
  }

  static pybind11::handle implement(pybind11::detail::function_call& call) {
    CallInProgress* current = innermost_call;
    if (current != nullptr) current->stage = CallStage::converting;
    const pybind11::handle result = implementations.find(&call.func)(call);
    if (current != nullptr && result.ptr() == PYBIND11_TRY_NEXT_OVERLOAD) {
      current->stage = CallStage::reporting;
    }
    return result;
  }

  // Routes the pybind11 function `function` (a method or property getter
  // included) through dispatch and implement; anything else is left alone.
  static void track(pybind11::handle function) {
    if (PyObject_TypeCheck(function.ptr(), &PyProperty_Type)) {
      for (const char* part : {"fget", "fset", "fdel"}) track(function.attr(part));
      return;
    }
    pybind11::handle plain = pybind11::detail::get_function(function);
    if (!plain || !PyCFunction_Check(plain.ptr())) return;
    pybind11::detail::function_record* record =
        pybind11::detail::function_record_ptr_from_PyObject(PyCFunction_GET_SELF(plain.ptr()));
    if (record == nullptr || record->def == nullptr) return;
    record->def->ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&dispatch));
    for (; record != nullptr; record = record->next) {
      if (record->impl == &implement || !implementations.insert(record, record->impl)) continue;
      record->impl = &implement;
    }
  }
};

// Tracks every pybind11 function of `module` and of its classes.
inline void track_argument_reports(pybind11::module_& module) {
  for (const auto& item : pybind11::reinterpret_borrow<pybind11::dict>(module.attr("__dict__"))) {
    FunctionDispatch::track(item.second);
    if (!PyType_Check(item.second.ptr())) continue;
    auto* type = reinterpret_cast<PyTypeObject*>(item.second.ptr());
    pybind11::dict members = pybind11::reinterpret_steal<pybind11::dict>(PyType_GetDict(type));
    for (const auto& member : members) FunctionDispatch::track(member.second);
  }
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

// The tensor classes' buffer slot: pybind11's, but for an instance that was
// never built, which is refused with the caster's own TypeError, as every
// method refuses it. pybind11's slot would raise a bare BufferError ("Error
// getting buffer") with that TypeError only as its cause.
template <class T>
int tensor_buffer_slot(PyObject* object, Py_buffer* view, int flags) {
  try {
    native_of<Tensor<T>>(object);
  } catch (...) {
    if (view != nullptr) view->obj = nullptr;
    pybind11::detail::try_translate_exceptions();
    return -1;
  }
  return pybind11::detail::pybind11_getbuffer(object, view, flags);
}

// Makes `get` the class's buffer export, called for every request. (pybind11's
// def_buffer would end the process when its argument does not convert; `get`
// refuses with BufferError like any other failure.)
template <class T>
void install_buffer(pybind11::class_<Tensor<T>>& cls,
                    pybind11::buffer_info* (*get)(PyObject*, void*)) {
  struct Installer : pybind11::class_<Tensor<T>> {
    explicit Installer(const pybind11::class_<Tensor<T>>& of) : pybind11::class_<Tensor<T>>(of) {}
    void install(pybind11::buffer_info* (*function)(PyObject*, void*)) {
      this->install_buffer_funcs(function, nullptr);
    }
  };
  Installer(cls).install(get);
  // The slot, and __buffer__, the wrapper of the slot that CPython made when
  // the class was created: a new wrapper of the same kind around the new slot.
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  pybind11::dict members = pybind11::reinterpret_steal<pybind11::dict>(PyType_GetDict(type));
  pybind11::handle wrapper = PyDict_GetItemString(members.ptr(), "__buffer__");
  if (type->tp_as_buffer == nullptr || !wrapper ||
      !PyObject_TypeCheck(wrapper.ptr(), &PyWrapperDescr_Type)) {
    pybind11::pybind11_fail("halvorn: a tensor class has no buffer slot to wrap");
  }
  auto* descriptor = reinterpret_cast<PyWrapperDescrObject*>(wrapper.ptr());
  void* slot = reinterpret_cast<void*>(&tensor_buffer_slot<T>);
  PyObject* replacement = PyDescr_NewWrapper(type, descriptor->d_base, slot);
  if (replacement == nullptr) throw pybind11::error_already_set();
  members["__buffer__"] = pybind11::reinterpret_steal<pybind11::object>(replacement);
  type->tp_as_buffer->bf_getbuffer = &tensor_buffer_slot<T>;
  PyType_Modified(type);
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

// The body of a plain C function (METH_FASTCALL, for what pybind11's own
// functions cannot be: a pickle reconstructor that pickles as its name, a
// method without pybind11's call overhead): the new reference `body` returns,
// or null with any exception it throws made the pending Python error, as
// pybind11's translators make it for a bound function.
template <class Body>
PyObject* call_translating(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    pybind11::detail::try_translate_exceptions();
    surface_memory_error();
    return nullptr;
  }
}

// An exception that native code throws while the interpreter's MemoryError is
// pending comes of that refusal (pybind11's "Could not allocate list object!",
// a cast that got no object): the MemoryError is what is raised.
inline void raise_pending_memory_errors() {
  pybind11::register_local_exception_translator([](std::exception_ptr thrown) {
    if (PyErr_Occurred() != nullptr && PyErr_ExceptionMatches(PyExc_MemoryError)) return;
    std::rethrow_exception(thrown);
  });
}

// Makes `definition` a function of `module`, with the module as its self, so
// that pickle names it by its place in the module. The definition must
// outlive the module. The docstring's leading "name(...)\n--\n\n" becomes
// its signature.
inline void add_plain_function(pybind11::module_& module, PyMethodDef& definition) {
  pybind11::object function = pybind11::reinterpret_steal<pybind11::object>(
      PyCFunction_NewEx(&definition, module.ptr(), module.attr("__name__").ptr()));
  if (!function) throw pybind11::error_already_set();
  module.attr(definition.ml_name) = function;
}

}  // namespace halvorn
