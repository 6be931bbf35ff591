// The state of a Python subclass instance (its __dict__ and slots) in the
// instance's copies and pickles, where it goes as it does for any Python
// object: read for a copy or a pickle, and set on the new instance.
#include <pybind11/pybind11.h>

#include <cstdint>

#include "interop/interop.h"

namespace halvorn::interop {

namespace py = pybind11;

void set_instance_state(py::handle instance, py::handle state) {
  if (state.is_none()) return;
  if (py::hasattr(instance, "__setstate__")) {
    instance.attr("__setstate__")(state);
    return;
  }
  py::object attributes = py::reinterpret_borrow<py::object>(state);
  py::object slots = py::none();
  if (PyTuple_Check(state.ptr()) && PyTuple_GET_SIZE(state.ptr()) == 2) {
    attributes = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(state.ptr(), 0));
    slots = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(state.ptr(), 1));
  }
  if (!attributes.is_none()) instance.attr("__dict__").attr("update")(attributes);
  if (slots.is_none()) return;
  for (const py::handle item : slots.attr("items")()) {
    const py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
    py::setattr(instance, pair[0], pair[1]);
  }
}

void copy_instance_state(py::handle self, py::handle copy, py::handle memo) {
  if (!memo.is_none()) {
    // As copy.deepcopy enters an object before its state, so that a state
    // that holds the object holds the copy.
    memo[py::int_(reinterpret_cast<std::uintptr_t>(self.ptr()))] = copy;
  }
  py::object state = self.attr("__getstate__")();
  if (!memo.is_none()) state = py::module_::import("copy").attr("deepcopy")(state, memo);
  set_instance_state(copy, state);
}

py::tuple reduce_subclass_instance(py::handle self, const py::tuple& reduced) {
  const py::tuple arguments = reduced[1];
  py::list extended(arguments);
  extended.append(py::type::handle_of(self));
  return py::make_tuple(reduced[0], py::tuple(extended), self.attr("__getstate__")());
}

}  // namespace halvorn::interop
