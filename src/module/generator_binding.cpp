// halvorn.Generator: a seeded engine and its four distributions
// (factories/generator.h), registered as a class of its own.
#include "module/generator_binding.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <optional>
#include <string>

#include "factories/generator.h"
#include "interop/interop.h"
#include "module/class_guards.h"

namespace halvorn {

// A Generator's seed, read from its argument.
struct GeneratorSeed {
  std::uint32_t value = 0;
};

namespace {

// An integer argument as operator.index reads it (an int, a NumPy integer),
// from 0 to `largest` (`range` says so); a bool is refused, as True is no
// seed. An int runs no Python code; another object's __index__ may.
std::uint64_t integer_argument(PyObject* object, const std::string& name, std::uint64_t largest,
                               const char* range) {
  if (PyBool_Check(object)) throw py::type_error(name + " must be an int, not bool");
  if (!PyIndex_Check(object)) {
    throw py::type_error(name + " must be an int, not " + Py_TYPE(object)->tp_name);
  }
  const py::object integer = py::reinterpret_steal<py::object>(PyNumber_Index(object));
  if (!integer) throw py::error_already_set();
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
  if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow != 0 || value < 0 || static_cast<std::uint64_t>(value) > largest) {
    throw py::value_error(name + " must be at least 0 and " + range);
  }
  return static_cast<std::uint64_t>(value);
}

constexpr std::uint64_t largest_seed = 0xffffffffu;

// A generator of its own at the same point; a subclass instance's copy is of
// its class, with its state copied (deeply with a memo).
InstanceResult<Generator> copy_generator(BuiltInstance<Generator> self, const py::object& memo) {
  if (subclass_of(self) == nullptr) return {py::cast(Generator(*self.value))};
  return {interop::subclass_copy(self.self, Generator(*self.value), memo)};
}

// The same call for every pickle protocol: ints, a list of ints and floats;
// for a subclass instance also its class and its state.
py::tuple reduce_generator(BuiltInstance<Generator> self) {
  const Generator::State state = self.value->state();
  py::object restore = py::module_::import("halvorn").attr("_restore_generator");
  return interop::reduce_instance(
      self, py::make_tuple(restore, py::make_tuple(state.seed, state.words, state.index,
                                                   state.cached_float, state.cached_double)));
}

// A plain C function whose self is the module, as the tensors' _restore_<type>
// are (pickle.cpp says why): the pickle names it and nothing else.
PyObject* restore_generator_entry(PyObject*, PyObject* const* arguments, Py_ssize_t count) {
  return call_translating([&]() -> PyObject* {
    if (count == 5 || count == 6) {
      const std::uint64_t seed =
          integer_argument(arguments[0], "_restore_generator() seed", largest_seed, "below 2**32");
      const std::uint64_t index = integer_argument(arguments[2], "_restore_generator() index",
                                                   mersenne_state_words, "at most 624");
      try {
        PyTypeObject* subclass =
            count == 6 ? interop::pickled_subclass<Generator>(arguments[5]) : nullptr;
        return interop::restored_instance(
            subclass, Generator::restore(static_cast<std::uint32_t>(seed),
                                         py::cast<MersenneTwister::State>(arguments[1]),
                                         static_cast<std::size_t>(index),
                                         py::cast<std::optional<double>>(arguments[3]),
                                         py::cast<std::optional<double>>(arguments[4])));
      } catch (const py::cast_error&) {
        // Refused below, as a wrong count is.
      }
    }
    throw py::type_error(
        "_restore_generator() takes a seed, the engine's 624 words, its index, the two "
        "cached normal values (float or None) and, for a subclass instance, its class");
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
}  // namespace halvorn

namespace pybind11::detail {

// An integer as operator.index reads it; anything else that has no __index__
// fits no signature, as a float does.
template <>
class type_caster<halvorn::GeneratorSeed> {
 public:
  PYBIND11_TYPE_CASTER(halvorn::GeneratorSeed, const_name("typing.SupportsIndex"));

  bool load(handle source, bool) {
    if (!PyIndex_Check(source.ptr()) && !PyBool_Check(source.ptr())) return false;
    value.value = static_cast<std::uint32_t>(halvorn::integer_argument(
        source.ptr(), "Generator() seed", halvorn::largest_seed, "below 2**32"));
    return true;
  }
};

}  // namespace pybind11::detail

namespace halvorn {

void bind_generator(py::module_& module) {
  py::class_<Generator> generator_class(module, "Generator");
  // The seed is read while the argument converts, before the check against a
  // second __init__ that its __index__ might start.
  def_constructor<Generator, GeneratorSeed>(
      generator_class, "seed", "a Generator",
      [](GeneratorSeed seed) { return new Generator(seed.value); });
  generator_class
      .def(
          "__reduce_ex__",
          [](BuiltInstance<Generator> self, int) { return reduce_generator(self); },
          py::arg("protocol"))
      .def("__reduce__", &reduce_generator)
      // A copy, shallow or deep, is a generator of its own at the same point;
      // a subclass instance's copy is of its class, with its state copied.
      .def("__copy__",
           [](BuiltInstance<Generator> self) { return copy_generator(self, py::none()); })
      .def(
          "__deepcopy__",
          [](BuiltInstance<Generator> self, const py::object& memo) {
            return copy_generator(self, memo);
          },
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
      "_restore_generator(seed, words, index, cached_float32, cached_float64, subclass=None, "
      "/)\n--\n\n"
      "Rebuilds a pickled Generator."};
  add_plain_function(module, restore);
}

}  // namespace halvorn
