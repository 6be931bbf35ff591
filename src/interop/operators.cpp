// The +, -, * and (float) / of two tensors of one class as number slots of
// their own, in place of CPython's slots that look the method up and call it
// through pybind11's dispatch, and quorva_add_<type> and its siblings as plain
// functions in front of pybind11's: the common case, two built instances of
// exactly the class, skips that overhead (a third of a small tensor's
// operation), and everything else still goes to the bound method or the
// pybind11 function, so its errors and messages stay what they were.
//
// An operand that only the running Python code's evaluation stack holds is a
// temporary of the expression, dropped as soon as the operation returns: in
// a * b + c the product is. Its block then takes the result, which saves
// allocating a block and, for large tensors, keeps one block warm in the cache
// instead of cycling through several.
#include <Python.h>

#include <string>

#include "core/operations/arithmetic.h"
#include "interop/interop.h"
#include "interop/interop_internal.h"

// New in CPython 3.14. Weak, so that an older interpreter still loads the
// module far enough to refuse it with the version message; there the symbol
// is null and nothing is reused.
#pragma weak PyUnstable_Object_IsUniqueReferencedTemporary

namespace halvorn::interop {
namespace {

// Writing over `object` goes unnoticed only if nothing else can reach it: it
// must be the stack's own reference, and no weak reference may see it
// change. A lazily mapped zero block is left alone, as writing it faults its
// pages in, the very cost that reuse saves.
template <class T>
bool reusable(PyObject* object, const Tensor<T>& tensor) noexcept {
#ifdef Py_GIL_DISABLED
  // Another thread may take a reference at any moment.
  (void)object;
  (void)tensor;
  return false;
#else
  // The reference count first: inline, and enough to turn down every named
  // operand before the call into the interpreter.
  if (Py_REFCNT(object) != 1 || tensor.data.lazily_mapped() ||
      &PyUnstable_Object_IsUniqueReferencedTemporary == nullptr ||
      !PyUnstable_Object_IsUniqueReferencedTemporary(object)) {
    return false;
  }
  PyTypeObject* type = Py_TYPE(object);
  if (type->tp_weaklistoffset > 0) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(object) +
                                         type->tp_weaklistoffset) == nullptr;
  }
  return type->tp_weaklistoffset == 0 && !PyType_HasFeature(type, Py_TPFLAGS_MANAGED_WEAKREF);
#endif
}

// The built tensors of two instances of exactly the class for T: the one
// case that the slots and functions below take on themselves.
template <class T>
bool exact_operands(PyObject* left, PyObject* right, Tensor<T>*& a, Tensor<T>*& b) noexcept {
  a = exact_built_tensor<T>(left);
  b = a != nullptr ? exact_built_tensor<T>(right) : nullptr;
  return b != nullptr;
}

// A Python int or float (a bool, a NumPy float64): a number the operators
// could be expected to broadcast, and do not.
bool scalar(PyObject* object) noexcept { return PyLong_Check(object) || PyFloat_Check(object); }

// The refusal of `tensor <symbol> number` (or the other way round), naming the
// full tensor that does the job. A number whose repr is long or fails is
// shown as "value".
template <class T>
[[noreturn]] void refuse_scalar(PyObject* left, PyObject* right, const char* symbol) {
  const bool tensor_left = !scalar(left);
  PyObject* number = tensor_left ? right : left;
  std::string value = "value";
  if (PyObject* text = PyObject_Repr(number)) {
    const py::str owned = py::reinterpret_steal<py::str>(text);
    if (PyUnicode_GetLength(text) <= 40) value = owned.cast<std::string>();
  } else {
    PyErr_Clear();
  }
  const std::string full = "halvorn." + function_name<T>("full") + "(a.shape, " + value + ")";
  throw py::type_error(
      std::string("unsupported operand type(s) for ") + symbol + ": '" + Py_TYPE(left)->tp_name +
      "' and '" + Py_TYPE(right)->tp_name +
      "': tensors take no scalar operands; use a full tensor of the same shape: " +
      (tensor_left ? "a " + std::string(symbol) + " " + full : full + " " + symbol + " a"));
}

template <class T>
using Compute = Tensor<T> (*)(const Tensor<T>&, const Tensor<T>&);
template <class T>
using ComputeOver = void (*)(Tensor<T>&, const Tensor<T>&, const Tensor<T>&);

template <class T, binaryfunc PyNumberMethods::* slot, Compute<T> compute,
          ComputeOver<T> compute_over>
struct OperatorSlot {
  // The bound method's name, "__add__" and so on, and the operator, "+".
  static inline const char* method = nullptr;
  static inline const char* symbol = nullptr;

  static PyObject* call(PyObject* left, PyObject* right) noexcept {
    Tensor<T>* a;
    Tensor<T>* b;
    if (!exact_operands(left, right, a, b)) return defer(left, right);
    return call_translating([&]() -> PyObject* {
      if (reusable(left, *a)) {
        compute_over(*a, *a, *b);
        return Py_NewRef(left);
      }
      if (reusable(right, *b)) {
        compute_over(*b, *a, *b);
        return Py_NewRef(right);
      }
      return py::cast(compute(*a, *b)).release().ptr();
    });
  }

  // What CPython's own slot did: the left operand's method when the left
  // operand is of this class; as the right operand's slot, the reflected
  // method, which the class does not have. But a number on either side is
  // refused saying how to get what was meant.
  static PyObject* defer(PyObject* left, PyObject* right) noexcept {
    PyNumberMethods* numbers = Py_TYPE(left)->tp_as_number;
    const bool left_is_ours = numbers != nullptr && numbers->*slot == &call;
    if (left_is_ours ? scalar(right) : scalar(left)) {
      return call_translating([&]() -> PyObject* { refuse_scalar<T>(left, right, symbol); });
    }
    if (!left_is_ours) Py_RETURN_NOTIMPLEMENTED;
    return PyObject_CallMethod(left, method, "O", right);
  }

  static void install(PyTypeObject* type, const char* name, const char* operator_symbol) {
    method = name;
    symbol = operator_symbol;
    type->tp_as_number->*slot = &call;
  }
};

// A module function with the pybind11 function of the same name kept aside
// for every call that is not two built tensors of exactly the class. Kept
// once per process: a second import runs the module body again, and the
// functions it would make do just what the first ones do.
template <class T, Compute<T> compute>
struct FastFunction {
  static inline PyObject* registered = nullptr;
  static inline std::string name;
  static inline std::string doc;
  static inline PyMethodDef definition{};

  static PyObject* call(PyObject*, PyObject* const* arguments, Py_ssize_t count,
                        PyObject* keywords) noexcept {
    Tensor<T>* a;
    Tensor<T>* b;
    if (keywords == nullptr && count == 2 && exact_operands(arguments[0], arguments[1], a, b)) {
      return call_translating([&] { return py::cast(compute(*a, *b)).release().ptr(); });
    }
    return PyObject_Vectorcall(registered, arguments, static_cast<std::size_t>(count), keywords);
  }

  // Replaces the module's pybind11 function `function_name` with this one,
  // which shows the same docstring. Other interpreters keep pybind11's: the
  // function kept aside belongs to the main one.
  static void install(py::module_& module, const char* function_name) {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) return;
    if (registered == nullptr) {
      py::object function = module.attr(function_name);
      CallTracking::track(function);
      name = function_name;
      doc = py::str(function.attr("__doc__")).cast<std::string>();
      definition = {name.c_str(),
                    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call)),
                    METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
      registered = function.release().ptr();
    }
    add_plain_function(module, definition);
  }
};

}  // namespace

// The slots are set on the finished class, not declared with it: pybind11's
// one hook into the type's creation (py::custom_type_setup) runs before
// PyType_Ready, but pybind11 defines every method afterwards by setting it on
// the class, and CPython derives a number slot afresh each time its method is
// set. A slot declared there would be reset to CPython's own by the class's
// __add__ and its siblings, which stay pybind11 functions for their messages
// and signatures.
template <class T>
void install_operator_slots(py::class_<Tensor<T>>& cls) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  OperatorSlot<T, &PyNumberMethods::nb_add, add<T>, add_over<T>>::install(type, "__add__", "+");
  OperatorSlot<T, &PyNumberMethods::nb_subtract, sub<T>, sub_over<T>>::install(type, "__sub__",
                                                                               "-");
  OperatorSlot<T, &PyNumberMethods::nb_multiply, mul<T>, mul_over<T>>::install(type, "__mul__",
                                                                               "*");
  if constexpr (ElementTraits<T>::floating) {
    OperatorSlot<T, &PyNumberMethods::nb_true_divide, div<T>, div_over<T>>::install(
        type, "__truediv__", "/");
  }
}

template <class T>
void speed_up_arithmetic_functions(py::module_& module) {
  FastFunction<T, add<T>>::install(module, function_name<T>("add").c_str());
  FastFunction<T, sub<T>>::install(module, function_name<T>("sub").c_str());
  FastFunction<T, mul<T>>::install(module, function_name<T>("mul").c_str());
  if constexpr (ElementTraits<T>::floating) {
    FastFunction<T, div<T>>::install(module, function_name<T>("div").c_str());
  }
}

#define HALVORN_INSTANTIATE(T)                                     \
  template void install_operator_slots<T>(py::class_<Tensor<T>>&); \
  template void speed_up_arithmetic_functions<T>(py::module_&);
HALVORN_FOR_EACH_ELEMENT_TYPE(HALVORN_INSTANTIATE)
#undef HALVORN_INSTANTIATE

}  // namespace halvorn::interop
