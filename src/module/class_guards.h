// What every class the module registers gets once its members are in place:
// its own instance layout, no __class__ assignment, immutability, and the
// casters' remembered type record (interop/native_casters.h).
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "interop/interop.h"

namespace halvorn {

namespace py = pybind11;

// Each native class gets an instance layout of its own (one unused word past
// pybind11's), which makes it the "solid base" of its instances in CPython's
// eyes. CPython then refuses, with TypeError, every relabelling that would
// make native code read one element type's tensor as another's: __class__
// assignment between the classes or their subclasses (even through object's
// own __class__ descriptor), __bases__ assignment, and a class derived from
// two tensor classes. Must run before the class has instances or subclasses.
inline void give_own_layout(PyTypeObject* type) {
  type->tp_basicsize += static_cast<Py_ssize_t>(sizeof(void*));
}

// An instance's class never changes. The setter refuses every __class__
// assignment up front, so even a harmless one between two subclasses of the
// same class fails in the same way.
inline void forbid_class_assignment(PyTypeObject* type) {
  py::cpp_function getter([](py::handle self) { return py::type::handle_of(self); });
  py::cpp_function setter([](py::handle self, py::handle) {
    throw py::type_error("__class__ assignment is not supported for " +
                         py::str(py::type::handle_of(self).attr("__name__")).cast<std::string>() +
                         " objects");
  });
  py::object descriptor = py::reinterpret_borrow<py::object>(
      reinterpret_cast<PyObject*>(&PyProperty_Type))(getter, setter);
  // Set in the class's own dictionary: setattr on a class would reach
  // object's __class__ descriptor and try to relabel the class itself.
  py::dict namespace_of_type = py::reinterpret_steal<py::dict>(PyType_GetDict(type));
  namespace_of_type["__class__"] = descriptor;
}

// Seals a class whose members are all registered. Immutable, as CPython's
// built-in types are: no attribute of the class can be replaced or deleted.
// Set last, after every member is in place; the one PyType_Modified tells
// CPython's caches of all three changes.
template <class Native>
void seal_class(py::class_<Native>& cls) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  give_own_layout(type);
  forbid_class_assignment(type);
  type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
  PyType_Modified(type);
  remember_type<Native>();
}

}  // namespace halvorn
