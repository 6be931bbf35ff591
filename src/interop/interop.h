// halvorn and other libraries: the buffer protocol and DLPack out, the
// quorva_array_* functions in, pickling, copies, iteration, the @ and /
// operators, and a rank-0 tensor as a Python number. The layer's interface:
// the module's one way into it, and through it into native_casters.h, whose
// casters every conversion of a tensor or Generator must see,
// argument_reports.h and error_translation.h. Each concern has a translation
// unit of its own: buffer_export.cpp, dlpack.cpp, import.cpp, iteration.cpp,
// operators.cpp (the number slots and the arithmetic functions' fast path),
// pickle.cpp, subclass_state.cpp (a Python subclass instance's state in its
// copies and pickles) and bind.cpp, which registers them; they share
// interop_internal.h.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

#include "core/primitives/shape.h"
#include "core/storage/tensor.h"
#include "interop/argument_reports.h"
#include "interop/error_translation.h"
#include "interop/native_casters.h"

namespace halvorn {

// "quorva_<operation>_<word>", the module-level name of an operation on T.
template <class T>
std::string function_name(const char* operation) {
  return std::string("quorva_") + operation + "_" + ElementTraits<T>::word;
}

// "<TensorFloat64 shape=[2, 3]>": how an argument report shows a tensor,
// whose rendering may run to millions of lines.
inline std::string brief_description(PyTypeObject* type, const Shape& shape) {
  const pybind11::handle type_handle(reinterpret_cast<PyObject*>(type));
  return "<" + pybind11::str(type_handle.attr("__name__")).cast<std::string>() +
         " shape=" + shape_text(shape) + ">";
}

// The native work of one of halvorn.dask's tasks, with the interpreter lock
// released while it runs, so that the process's other threads (the other
// tasks, a Dask worker's event loop serving data to other workers) run
// beside it. Misuse found meanwhile on this thread is thrown whatever the
// setting: a task never ends its worker, and there is no Python to ask.
class TaskWork {
 public:
  TaskWork() noexcept : was_task_(running_task_) { running_task_ = true; }
  TaskWork(const TaskWork&) = delete;
  TaskWork& operator=(const TaskWork&) = delete;
  ~TaskWork() { running_task_ = was_task_; }
  static bool running() noexcept { return running_task_; }

 private:
  static inline thread_local bool running_task_ = false;
  bool was_task_;
  pybind11::gil_scoped_release released_;
};

// Whether Python code may run on this thread now: it holds the interpreter
// lock (its thread state is attached). The misuse paths ask, as they can be
// reached from any thread at any time. While the interpreter shuts down, only
// the thread shutting it down gets the lock (any other that asks for it waits
// forever), so a __del__ run at exit may still flush and be asked.
inline bool python_can_run_here() noexcept { return PyThreadState_GetUnchecked() != nullptr; }

// A read-only property `name` of `cls`, named: pybind11 leaves a property
// without one, so CPython's refusal of `t.name = ...` and `del t.name` would
// speak of "property ''".
template <class Native, class Getter>
void def_named_property(pybind11::class_<Native>& cls, const char* name, Getter&& getter) {
  cls.def_property_readonly(name, std::forward<Getter>(getter));
  cls.attr(name).attr("__set_name__")(cls, name);
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

namespace halvorn::interop {

// A Python subclass instance's state in its copies and pickles
// (subclass_state.cpp), for the tensors and the Generator alike.

// Sets `state`, what an instance's __getstate__ gave, on `instance` as pickle
// and copy do: through its __setstate__, or into its __dict__ and its slots.
void set_instance_state(pybind11::handle instance, pybind11::handle state);

// The state of `self`, a Python subclass instance, set on `copy`, a new
// instance of its class: as copy.copy sets it with `memo` None, as
// copy.deepcopy does with `memo` its dict (`copy` is entered in it first).
void copy_instance_state(pybind11::handle self, pybind11::handle copy, pybind11::handle memo);

// The pickle of `self`, a Python subclass instance, from its class's
// (reconstructor, arguments): the class follows the arguments, and the
// instance's state comes third.
pybind11::tuple reduce_subclass_instance(pybind11::handle self, const pybind11::tuple& reduced);

// The pickle of `self`: `reduced`, the class's (reconstructor, arguments), for
// an instance of the class, which holds nothing else; with the class and the
// state for a subclass instance.
template <class Native>
pybind11::tuple reduce_instance(const BuiltInstance<Native>& self, pybind11::tuple reduced) {
  if (subclass_of(self) == nullptr) return reduced;
  return reduce_subclass_instance(self.self, reduced);
}

// A copy of `self`, a Python subclass instance, of its own class: a new
// instance owning `native`, with the subclass's state copied.
template <class Native>
pybind11::object subclass_copy(pybind11::handle self, Native&& native, pybind11::handle memo) {
  pybind11::object copy =
      new_instance(Py_TYPE(self.ptr()), type_info_of<Native>(), std::move(native));
  copy_instance_state(self, copy, memo);
  return copy;
}

// A reconstructor's optional last argument: null for None, the class for a
// Python subclass of the class for Native; anything else throws cast_error.
template <class Native>
PyTypeObject* pickled_subclass(PyObject* argument) {
  if (Py_IsNone(argument)) return nullptr;
  PyTypeObject* subclass = subclass_of_native<Native>(argument);
  if (subclass == nullptr) throw pybind11::cast_error();
  return subclass;
}

// A new reference to `value` as an instance of `subclass`, or of the class
// for Native where that is null.
template <class Native>
PyObject* restored_instance(PyTypeObject* subclass, Native&& value) {
  if (subclass == nullptr) return pybind11::cast(std::move(value)).release().ptr();
  return new_instance(subclass, type_info_of<Native>(), std::move(value)).release().ptr();
}

// Everything above on the class for T (instantiated for the four types).
template <class T>
void bind_interop(pybind11::class_<Tensor<T>>& cls);

// quorva_add_<type>, quorva_sub_<type>, quorva_mul_<type> and (float)
// quorva_div_<type>, once registered, given a way around pybind11's dispatch
// for two built tensors of exactly the class (instantiated for the four types).
template <class T>
void speed_up_arithmetic_functions(pybind11::module_& module);

// to_list(): every element as a Python number, in storage order.
template <class T>
ValueList<T> values_as_list(const Tensor<T>& tensor) {
  return {tensor};
}

// quorva_array_<type> and the pickles' reconstructors _restore_<type>.
void bind_array_factories(pybind11::module_& module);

// quorva_array_<type> for a task: a buffer's values are converted as
// TaskWork, anything else as quorva_array_<type> takes it.
template <class T>
Tensor<T> import_for_task(const pybind11::object& data);

// out = a <operation> b (operate_on_values) on three C-contiguous buffers of
// T's own format and one element count, `out` writable, as TaskWork; any
// other buffers raise TypeError.
template <class T>
void operate_for_task(const std::string& operation, const pybind11::object& a,
                      const pybind11::object& b, const pybind11::object& out);

}  // namespace halvorn::interop
