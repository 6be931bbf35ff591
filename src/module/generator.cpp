// halvorn.Generator: a seeded engine and its four distributions
// (factories/generator.h), registered as a class of its own.
#include "module/generator.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <optional>
#include <string>

#include "factories/generator.h"
#include "interop/pybind11_bridge.h"
#include "module/class_guards.h"

namespace halvorn {
namespace {

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
// are (pickle.cpp says why): the pickle names it and nothing else.
PyObject* restore_generator_entry(PyObject*, PyObject* const* arguments, Py_ssize_t count) {
  return call_translating([&]() -> PyObject* {
    try {
      if (count != 5) throw py::cast_error();
      return py::cast(Generator::restore(py::cast<std::uint32_t>(arguments[0]),
                                         py::cast<MersenneTwister::State>(arguments[1]),
                                         py::cast<std::size_t>(arguments[2]),
                                         py::cast<std::optional<double>>(arguments[3]),
                                         py::cast<std::optional<double>>(arguments[4])))
          .release()
          .ptr();
    } catch (const py::cast_error&) {
      throw py::type_error(
          "_restore_generator() takes a seed, the engine's 624 words, its index and the two "
          "cached normal values (float or None)");
    }
  });
}

// The draws are plain METH_FASTCALL methods rather than pybind11's: a call
// then costs what a module function's does (pybind11 would add a bound method
// and a second argument tuple), so a generator is as fast as quorva_rand_*
// even for a few elements. The shape converts through the same caster, and a
// keyword argument is refused, as with the factories.
template <class T, Tensor<T> (Generator::*draw)(const Shape&)>
PyObject* generator_draw(PyObject* self, PyObject* const* arguments, Py_ssize_t count) {
  return call_translating([&] {
    Generator* target = native_of<Generator>(self);
    Shape shape;
    try {
      if (target == nullptr || count != 1) throw py::cast_error();
      shape = py::cast<Shape>(arguments[0]);
    } catch (const py::cast_error&) {
      throw py::type_error(
          "a Generator's draws take one shape: a sequence of ints from 0 to 2**64 - 1");
    }
    return py::cast((target->*draw)(shape)).release().ptr();
  });
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

}  // namespace

void bind_generator(py::module_& module) {
  py::class_<Generator> generator_class(module, "Generator");
  // Reading the seed runs no Python code, so no second __init__ can arrive
  // while this one runs; should that change, the check keeps it from building
  // a second generator over the first.
  def_constructor<Generator, const py::int_&>(
      generator_class, "seed", "a Generator",
      [](const py::int_& seed) { return new Generator(generator_seed(seed)); });
  generator_class
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
      .def("__repr__", [](InstanceOrUnbuilt<Generator> self) {
        if (self.value == nullptr) return unbuilt_description(self.type());
        const py::handle type_handle(reinterpret_cast<PyObject*>(self.type()));
        return self.value->describe(py::str(type_handle.attr("__module__")).cast<std::string>() +
                                    "." +
                                    py::str(type_handle.attr("__qualname__")).cast<std::string>());
      });

  auto* type = reinterpret_cast<PyTypeObject*>(generator_class.ptr());
  py::dict namespace_of_type = py::reinterpret_steal<py::dict>(PyType_GetDict(type));
  for (PyMethodDef& definition : generator_draws) {
    py::object method = py::reinterpret_steal<py::object>(PyDescr_NewMethod(type, &definition));
    if (!method) throw py::error_already_set();
    namespace_of_type[definition.ml_name] = method;
  }
  seal_class(generator_class);

  static PyMethodDef restore{
      "_restore_generator",
      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&restore_generator_entry)),
      METH_FASTCALL,
      "_restore_generator(seed, words, index, cached_float32, cached_float64, /)\n--\n\n"
      "Rebuilds a pickled Generator."};
  add_plain_function(module, restore);
}

}  // namespace halvorn
