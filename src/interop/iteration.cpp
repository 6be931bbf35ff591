// Iteration over the first axis, as NumPy iterates an array. xarray and
// pandas tell an array from a scalar by asking whether it is iterable, so
// without it they would take a tensor for one value and broadcast it.
#include <pybind11/typing.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "core/operations/lane_copy.h"
#include "interop/interop_internal.h"

namespace halvorn::interop {
namespace {

// CPython's own small integers, -5 to 256, the very objects PyLong_FromLong
// gives for them: an inline lookup here, where a call into the interpreter
// for each cost more than twice array.array.tolist()'s loop, whose calls the
// interpreter's build inlines. They are immortal and the runtime's, shared
// by every interpreter, so one table serves them all for the process's life.
constexpr long smallest_cached = -5, largest_cached = 256;

PyObject* const* small_integers() {
  static PyObject* const* table = [] {
    static PyObject* objects[largest_cached - smallest_cached + 1];
    for (long v = smallest_cached; v <= largest_cached; ++v) {
      objects[v - smallest_cached] = PyLong_FromLong(v);
      if (objects[v - smallest_cached] == nullptr) throw py::error_already_set();
    }
    return objects;
  }();
  return table;
}

template <class T>
PyObject* python_number(T value, PyObject* const* small) {
  if constexpr (ElementTraits<T>::floating) {
    return PyFloat_FromDouble(value);
  } else {
    const long v = static_cast<long>(value);
    if (v < smallest_cached || v > largest_cached) return PyLong_FromLong(v);
    PyObject* cached = small[v - smallest_cached];
    Py_INCREF(cached);
    return cached;
  }
}

// An iterator over the first axis of a tensor instance, which it keeps alive
// until it is used up. Only __iter__ makes one: Python cannot.
struct AxisIterator {
  PyObject_HEAD PyObject* tensor;  // null once used up
  // A new reference to item `index` of `tensor`, or null with an exception set.
  PyObject* (*item)(PyObject* tensor, std::uint64_t index);
  std::uint64_t next;
  std::uint64_t count;
};

// Item `index` of a tensor of rank 1 or more: its element as a Python number,
// as to_list() gives it, for rank 1; a new tensor of the rank below holding
// the index'th block of elements for any higher rank.
template <class T>
PyObject* axis_item(PyObject* object, std::uint64_t index) {
  return call_translating([&] {
    const Tensor<T>& tensor = built_tensor<T>(object);
    if (tensor.shape.size() == 1)
      return py::cast(static_cast<T>(tensor.data[index])).release().ptr();
    Tensor<T> item(Shape(tensor.shape.begin() + 1, tensor.shape.end()));
    const std::uint64_t count = item.data.size();
    if (count != 0) std::copy_n(tensor.data.packets + index * count, count, item.data.packets);
    return py::cast(std::move(item)).release().ptr();
  });
}

PyObject* axis_iterator_next(PyObject* object) {
  auto* iterator = reinterpret_cast<AxisIterator*>(object);
  if (iterator->tensor == nullptr) return nullptr;
  if (iterator->next == iterator->count) {
    Py_CLEAR(iterator->tensor);
    return nullptr;
  }
  // Held here too: code that runs while the item is made (a collection) may
  // use the iterator up and let the tensor go.
  const py::object tensor = py::reinterpret_borrow<py::object>(iterator->tensor);
  return iterator->item(tensor.ptr(), iterator->next++);
}

int axis_iterator_traverse(PyObject* object, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(object));
  Py_VISIT(reinterpret_cast<AxisIterator*>(object)->tensor);
  return 0;
}

int axis_iterator_clear(PyObject* object) {
  Py_CLEAR(reinterpret_cast<AxisIterator*>(object)->tensor);
  return 0;
}

void axis_iterator_dealloc(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  PyObject_GC_UnTrack(object);
  axis_iterator_clear(object);
  type->tp_free(object);
  Py_DECREF(type);
}

PyType_Slot axis_iterator_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(&PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(&axis_iterator_next)},
    {Py_tp_traverse, reinterpret_cast<void*>(&axis_iterator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&axis_iterator_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&axis_iterator_dealloc)},
    {0, nullptr},
};

PyType_Spec axis_iterator_definition{"halvorn._TensorIterator", sizeof(AxisIterator), 0,
                                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                                         Py_TPFLAGS_DISALLOW_INSTANTIATION |
                                         Py_TPFLAGS_IMMUTABLETYPE,
                                     axis_iterator_slots};

// Made at the first iteration.
PyTypeObject* axis_iterator_type() {
  static PyTypeObject* type = type_from_definition(&axis_iterator_definition);
  return type;
}

// __iter__: a rank-0 tensor is one number, and like NumPy's rank-0 array it
// cannot be iterated.
template <class T>
py::typing::Iterator<py::typing::Union<Tensor<T>, T>> iterate(TensorInstance<T> self) {
  if (self.value->shape.empty()) {
    throw py::type_error(std::string("iteration over a rank-0 tensor (shape []): this ") +
                         ElementTraits<T>::word + " tensor is one number");
  }
  PyTypeObject* type = axis_iterator_type();
  PyObject* made = type->tp_alloc(type, 0);
  if (made == nullptr) throw py::error_already_set();
  auto* iterator = reinterpret_cast<AxisIterator*>(made);
  iterator->tensor = Py_NewRef(self.self.ptr());
  iterator->item = &axis_item<T>;
  iterator->next = 0;
  iterator->count = self.value->shape.front();
  return py::reinterpret_steal<py::typing::Iterator<py::typing::Union<Tensor<T>, T>>>(made);
}

}  // namespace

template <class T>
void bind_iteration(py::class_<Tensor<T>>& cls) {
  cls.def("__iter__", &iterate<T>);
}

// Lane 0 of every packet as a Python number, in storage order. The values
// come out of their packets a cache-sized run at a time and go straight into
// the list's slots, as array.array.tolist() fills its list, rather than
// through a vector of all of them and pybind11's caster.
template <class T>
py::list make_value_list(const Tensor<T>& tensor) {
  const std::uint64_t n = tensor.data.size();
  PyObject* const* small = ElementTraits<T>::floating ? nullptr : small_integers();
  py::list list(static_cast<py::ssize_t>(n));
  constexpr std::uint64_t run = 1024;
  T values[run];
  for (std::uint64_t start = 0; start < n; start += run) {
    const std::uint64_t count = n - start < run ? n - start : run;
    copy_lane0(tensor.data.packets + start, count, values);
    for (std::uint64_t i = 0; i < count; ++i) {
      PyObject* number = python_number(values[i], small);
      if (number == nullptr) throw py::error_already_set();
      PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(start + i), number);
    }
  }
  return list;
}

#define HALVORN_INSTANTIATE(T)                             \
  template void bind_iteration<T>(py::class_<Tensor<T>>&); \
  template py::list make_value_list<T>(const Tensor<T>&);
HALVORN_FOR_EACH_ELEMENT_TYPE(HALVORN_INSTANTIATE)
#undef HALVORN_INSTANTIATE

}  // namespace halvorn::interop
