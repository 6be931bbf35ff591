// The Python face of halvorn: thin registrations that forward to src/core and
// src/factories. No tensor logic lives here.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "core/arithmetic.h"
#include "core/dot.h"
#include "core/export.h"
#include "core/fatal.h"
#include "core/render.h"
#include "core/tensor.h"
#include "factories/constant.h"
#include "factories/generator.h"
#include "factories/random.h"
#include "module/error_settings.h"
#include "module/tensor_caster.h"
// After tensor_caster.h, which it builds on.
#include "module/generator_caster.h"
// After the caster, so that the interop members convert tensors through it.
#include "module/interop.h"

namespace py = pybind11;

namespace halvorn {
namespace {

// Each tensor class gets an instance layout of its own (one unused word past
// pybind11's), which makes it the "solid base" of its instances in CPython's
// eyes. CPython then refuses, with TypeError, every relabelling that would
// make native code read one element type's tensor as another's: __class__
// assignment between the classes or their subclasses (even through object's
// own __class__ descriptor), __bases__ assignment, and a class derived from
// two tensor classes. Must run before the class has instances or subclasses.
void give_own_layout(PyTypeObject* type) { type->tp_basicsize += static_cast<Py_ssize_t>(sizeof(void*)); }

// An instance's class never changes. The setter refuses every __class__
// assignment up front, so even a harmless one between two subclasses of the
// same class fails in the same way.
void forbid_class_assignment(PyTypeObject* type) {
  py::cpp_function getter([](py::handle self) { return py::type::handle_of(self); });
  py::cpp_function setter([](py::handle self, py::handle) {
    throw py::type_error("__class__ assignment is not supported for " +
                         py::str(py::type::handle_of(self).attr("__name__")).cast<std::string>() +
                         " objects");
  });
  py::object descriptor =
      py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyProperty_Type))(getter, setter);
  // Set in the class's own dictionary: setattr on a class would reach
  // object's __class__ descriptor and try to relabel the class itself.
  py::dict namespace_of_type = py::reinterpret_steal<py::dict>(PyType_GetDict(type));
  namespace_of_type["__class__"] = descriptor;
}

template <class T>
void bind_tensor_class(py::module_& module, const char* name) {
  py::class_<Tensor<T>> tensor_class(module, name, py::buffer_protocol());
  tensor_class
      // Written out rather than py::init: a second __init__ that arrives while
      // the first is still converting its shape (a generator that calls it)
      // would otherwise build a second tensor over the first. pybind11 itself
      // ignores a second __init__ once the first has finished.
      .def(
          "__init__",
          [](py::detail::value_and_holder& self, const Shape& shape) {
            if (self.value_ptr() != nullptr) {
              throw py::type_error("__init__() cannot run again on a tensor that is built");
            }
            // A tensor made from Python starts all zero, so no stale heap
            // bytes ever reach Python.
            self.value_ptr() = new Tensor<T>(shape, T(0));
          },
          py::detail::is_new_style_constructor(), py::arg("shape"))
      .def_property_readonly("shape", [](const Tensor<T>& tensor) { return tensor.shape; })
      .def("to_list", &to_list<T>)
      // Plain methods, not operator overloads: a foreign operand raises
      // TypeError at once instead of deferring to its reflected method.
      .def("__add__", &add<T>)
      .def("__sub__", &sub<T>)
      .def("__mul__", &mul<T>)
      .def("__divide__", &div<T>)
      // An instance whose __init__ never ran still has a repr, so that error
      // reports that show it cannot fail in turn.
      .def("__repr__", [](TensorOrUnbuilt<T> self) {
        return self.tensor != nullptr ? repr(*self.tensor) : unbuilt_description(self.type);
      });
  // The buffer protocol, DLPack, pickling, copies and the @ and / operators.
  interop::bind_interop<T>(tensor_class);

  auto* type = reinterpret_cast<PyTypeObject*>(tensor_class.ptr());
  give_own_layout(type);
  forbid_class_assignment(type);
  // Immutable, as CPython's built-in types are: no attribute of the class can
  // be replaced or deleted. Set last, after every member is in place; the one
  // PyType_Modified tells CPython's caches of all three changes.
  type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
  PyType_Modified(type);
  remember_tensor_type<T>();
}

// Text that Python code printed before a misuse ends the process is still
// waiting in sys.stdout's buffer (block-buffered when it is a pipe or a file);
// the exit would drop it. Flushed only where Python can run: initialised, not
// shutting down, and the GIL held by this thread. Errors from the flush are
// dropped, and one that was already pending is kept.
void flush_python_streams() noexcept {
  if (!Py_IsInitialized() || Py_IsFinalizing() || !PyGILState_Check()) return;
  PyObject* pending = PyErr_GetRaisedException();
  for (const char* name : {"stdout", "stderr"}) {
    PyObject* stream = PySys_GetObject(name);
    if (stream == nullptr || stream == Py_None) continue;
    PyObject* result = PyObject_CallMethod(stream, "flush", nullptr);
    Py_XDECREF(result);
    PyErr_Clear();
  }
  PyErr_SetRaisedException(pending);
}

void bind_constant_factories(py::module_& module) {
  module.def("quorva_full_int16", &full<short>);
  module.def("quorva_full_int32", &full<int>);
  module.def("quorva_full_float32", &full<float>);
  module.def("quorva_full_float64", &full<double>);
  module.def("quorva_zeros_int16", &zeros<short>);
  module.def("quorva_zeros_int32", &zeros<int>);
  module.def("quorva_zeros_float32", &zeros<float>);
  module.def("quorva_zeros_float64", &zeros<double>);
  module.def("quorva_ones_int16", &ones<short>);
  module.def("quorva_ones_int32", &ones<int>);
  module.def("quorva_ones_float32", &ones<float>);
  module.def("quorva_ones_float64", &ones<double>);
}

void bind_arithmetic(py::module_& module) {
  module.def("quorva_add_int16", &add<short>);
  module.def("quorva_add_int32", &add<int>);
  module.def("quorva_add_float32", &add<float>);
  module.def("quorva_add_float64", &add<double>);
  module.def("quorva_sub_int16", &sub<short>);
  module.def("quorva_sub_int32", &sub<int>);
  module.def("quorva_sub_float32", &sub<float>);
  module.def("quorva_sub_float64", &sub<double>);
  module.def("quorva_mul_int16", &mul<short>);
  module.def("quorva_mul_int32", &mul<int>);
  module.def("quorva_mul_float32", &mul<float>);
  module.def("quorva_mul_float64", &mul<double>);
  // Integer tensors divide only through their __divide__ method.
  module.def("quorva_div_float32", &div<float>);
  module.def("quorva_div_float64", &div<double>);
}

void bind_dot(py::module_& module) {
  module.def("quorva_dot_int16", &dot<short>);
  module.def("quorva_dot_int32", &dot<int>);
  module.def("quorva_dot_float32", &dot<float>);
  module.def("quorva_dot_float64", &dot<double>);
}

// Bound straight to the native instantiations. There are no integer variants.
void bind_random_factories(py::module_& module) {
  module.def("quorva_rand_float32", &rand<float>);
  module.def("quorva_rand_float64", &rand<double>);
  module.def("quorva_randn_float32", &randn<float>);
  module.def("quorva_randn_float64", &randn<double>);
}

// A seed is an int in 0 .. 2**32 - 1, as std::mt19937 takes it; nothing is
// reduced modulo 2**32, and True is not taken for 1. Reading an int (or an int
// subclass) runs no Python code.
std::uint32_t generator_seed(const py::int_& seed) {
  if (PyBool_Check(seed.ptr())) throw py::type_error("Generator() seed must be an int, not bool");
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(seed.ptr(), &overflow);
  if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow != 0 || value < 0 || value > 0xffffffffLL) {
    throw py::value_error("Generator() seed must be at least 0 and below 2**32");
  }
  return static_cast<std::uint32_t>(value);
}

// The same call for every pickle protocol: ints, a list of ints and floats.
py::tuple reduce_generator(const Generator& generator) {
  const Generator::State state = generator.state();
  py::object restore = py::module_::import("halvorn").attr("_restore_generator");
  return py::make_tuple(restore, py::make_tuple(state.seed, state.words, state.index,
                                                state.cached_float, state.cached_double));
}

// A plain C function whose self is the module, as the tensors' _restore_<type>
// are (interop.h says why): the pickle names it and nothing else.
PyObject* restore_generator_entry(PyObject*, PyObject* const* arguments, Py_ssize_t count) {
  try {
    py::detail::make_caster<std::uint32_t> seed;
    py::detail::make_caster<MersenneTwister::State> words;
    py::detail::make_caster<std::size_t> index;
    py::detail::make_caster<std::optional<double>> cached_float;
    py::detail::make_caster<std::optional<double>> cached_double;
    if (count != 5 || !seed.load(arguments[0], true) || !words.load(arguments[1], true) ||
        !index.load(arguments[2], true) || !cached_float.load(arguments[3], true) ||
        !cached_double.load(arguments[4], true)) {
      throw py::type_error(
          "_restore_generator() takes a seed, the engine's 624 words, its index and the two "
          "cached normal values (float or None)");
    }
    return py::cast(Generator::restore(py::detail::cast_op<std::uint32_t>(seed),
                                       py::detail::cast_op<MersenneTwister::State&>(words),
                                       py::detail::cast_op<std::size_t>(index),
                                       py::detail::cast_op<std::optional<double>>(cached_float),
                                       py::detail::cast_op<std::optional<double>>(cached_double)))
        .release()
        .ptr();
  } catch (...) {
    py::detail::try_translate_exceptions();
    return nullptr;
  }
}

// The draws are plain METH_FASTCALL methods rather than pybind11's: a call
// then costs what a module function's does (pybind11 would add a bound method
// and a second argument tuple), so a generator is as fast as quorva_rand_*
// even for a few elements. The shape converts through the same caster, and a
// keyword argument is refused, as with the factories.
template <class T, Tensor<T> (Generator::*draw)(const Shape&)>
PyObject* generator_draw(PyObject* self, PyObject* const* arguments, Py_ssize_t count) {
  try {
    py::detail::make_caster<Generator> generator;
    py::detail::make_caster<Shape> shape;
    if (!generator.load(self, false) || count != 1 || !shape.load(arguments[0], true)) {
      throw py::type_error(
          "a Generator's draws take one shape: a sequence of ints from 0 to 2**64 - 1");
    }
    Generator& target = py::detail::cast_op<Generator&>(generator);
    return py::cast((target.*draw)(py::detail::cast_op<const Shape&>(shape))).release().ptr();
  } catch (...) {
    py::detail::try_translate_exceptions();
    return nullptr;
  }
}

// Each docstring is the signature as pybind11 writes one, for the stub.
#define HALVORN_GENERATOR_DRAW(name, T, draw, result)                                         \
  PyMethodDef{name,                                                                           \
              reinterpret_cast<PyCFunction>(                                                  \
                  reinterpret_cast<void (*)()>(&generator_draw<T, &Generator::draw<T>>)),     \
              METH_FASTCALL,                                                                  \
              name                                                                            \
              "(self: halvorn.Generator, shape: collections.abc.Sequence[typing.SupportsInt " \
              "| typing.SupportsIndex], /) -> halvorn." result "\n"}
PyMethodDef generator_draws[] = {
    HALVORN_GENERATOR_DRAW("rand_float32", float, rand, "TensorFloat32"),
    HALVORN_GENERATOR_DRAW("rand_float64", double, rand, "TensorFloat64"),
    HALVORN_GENERATOR_DRAW("randn_float32", float, randn, "TensorFloat32"),
    HALVORN_GENERATOR_DRAW("randn_float64", double, randn, "TensorFloat64"),
};
#undef HALVORN_GENERATOR_DRAW

void bind_generator(py::module_& module) {
  py::class_<Generator> generator_class(module, "Generator");
  generator_class
      // Written out, as the tensors' __init__ is. Reading the seed runs no
      // Python code, so no second __init__ can arrive while this one runs;
      // should that change, the check keeps it from building a second
      // generator over the first.
      .def(
          "__init__",
          [](py::detail::value_and_holder& self, const py::int_& seed) {
            const std::uint32_t value = generator_seed(seed);
            if (self.value_ptr() != nullptr) {
              throw py::type_error("__init__() cannot run again on a Generator that is built");
            }
            self.value_ptr() = new Generator(value);
          },
          py::detail::is_new_style_constructor(), py::arg("seed"))
      .def(
          "__reduce_ex__", [](const Generator& self, int) { return reduce_generator(self); },
          py::arg("protocol"))
      .def("__reduce__", &reduce_generator)
      // A copy, shallow or deep, is a generator of its own at the same point.
      .def("__copy__", [](const Generator& self) { return Generator(self); })
      .def(
          "__deepcopy__", [](const Generator& self, const py::object&) { return Generator(self); },
          py::arg("memo"))
      // An instance whose __init__ never ran still has a repr.
      .def("__repr__", [](py::handle self) {
        const py::detail::value_and_holder part = generator_part(self);
        if (part.inst == nullptr) throw py::type_error("__repr__() needs a Generator");
        PyTypeObject* type = Py_TYPE(self.ptr());
        if (!part.holder_constructed()) return unbuilt_description(type);
        const py::handle type_handle(reinterpret_cast<PyObject*>(type));
        return static_cast<const Generator*>(part.value_ptr())
            ->describe(py::str(type_handle.attr("__module__")).cast<std::string>() + "." +
                       py::str(type_handle.attr("__qualname__")).cast<std::string>());
      });

  auto* type = reinterpret_cast<PyTypeObject*>(generator_class.ptr());
  py::dict namespace_of_type = py::reinterpret_steal<py::dict>(PyType_GetDict(type));
  for (PyMethodDef& definition : generator_draws) {
    py::object method = py::reinterpret_steal<py::object>(PyDescr_NewMethod(type, &definition));
    if (!method) throw py::error_already_set();
    namespace_of_type[definition.ml_name] = method;
  }
  give_own_layout(type);
  forbid_class_assignment(type);
  type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
  PyType_Modified(type);
  if (PyInterpreterState_Get() == PyInterpreterState_Main()) {
    registered_generator_type = py::detail::get_type_info(typeid(Generator));
  }

  // The leading "name(...)\n--\n\n" becomes the function's signature.
  static PyMethodDef restore{
      "_restore_generator",
      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&restore_generator_entry)),
      METH_FASTCALL,
      "_restore_generator(seed, words, index, cached_float32, cached_float64, /)\n--\n\n"
      "Rebuilds a pickled Generator."};
  py::object entry = py::reinterpret_steal<py::object>(
      PyCFunction_NewEx(&restore, module.ptr(), module.attr("__name__").ptr()));
  if (!entry) throw py::error_already_set();
  module.attr("_restore_generator") = entry;
}

}  // namespace
}  // namespace halvorn

PYBIND11_MODULE(halvorn, module) {
  using namespace halvorn;
  module.doc() = "Tensor operations";
  set_before_fail_hook(&flush_python_streams);

  // Classes first, so every function signature names the Python classes.
  bind_tensor_class<short>(module, "TensorInt16");
  bind_tensor_class<int>(module, "TensorInt32");
  bind_tensor_class<float>(module, "TensorFloat32");
  bind_tensor_class<double>(module, "TensorFloat64");

  bind_constant_factories(module);
  bind_random_factories(module);
  bind_arithmetic(module);
  bind_dot(module);
  interop::bind_array_factories(module);
  bind_error_settings(module);
  bind_generator(module);
}
