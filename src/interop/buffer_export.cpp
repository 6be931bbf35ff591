// Out: the buffer protocol (memoryview, np.asarray), read-only and in place,
// through a buffer slot of the tensor classes' own.
#include <cstdint>
#include <vector>

#include "interop/interop_internal.h"

namespace halvorn::interop {
namespace {

// Each element is lane 0 of its packet, so the steps are 16 bytes times the
// later extents.
template <class T>
py::buffer_info* export_buffer(PyObject* object, void*) {
  const Tensor<T>& tensor = built_tensor<T>(object);
  const std::vector<std::int64_t> extents = signed_extents(tensor.shape);
  const std::vector<std::int64_t> byte_steps = steps(extents, 16, 1);
  return new py::buffer_info(
      first_packet(tensor), static_cast<py::ssize_t>(sizeof(T)), py::format_descriptor<T>::format(),
      static_cast<py::ssize_t>(extents.size()),
      std::vector<py::ssize_t>(extents.begin(), extents.end()),
      std::vector<py::ssize_t>(byte_steps.begin(), byte_steps.end()), /*readonly=*/true);
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
    py::detail::try_translate_exceptions();
    return -1;
  }
  return py::detail::pybind11_getbuffer(object, view, flags);
}

// Makes `get` the class's buffer export, called for every request. (pybind11's
// def_buffer would end the process when its argument does not convert; `get`
// refuses with BufferError like any other failure.)
template <class T>
void install_buffer(py::class_<Tensor<T>>& cls, py::buffer_info* (*get)(PyObject*, void*)) {
  struct Installer : py::class_<Tensor<T>> {
    explicit Installer(const py::class_<Tensor<T>>& of) : py::class_<Tensor<T>>(of) {}
    void install(py::buffer_info* (*function)(PyObject*, void*)) {
      this->install_buffer_funcs(function, nullptr);
    }
  };
  Installer(cls).install(get);
  // The slot, and __buffer__, the wrapper of the slot that CPython made when
  // the class was created: a new wrapper of the same kind around the new slot.
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  py::dict members = py::reinterpret_steal<py::dict>(PyType_GetDict(type));
  py::handle wrapper = PyDict_GetItemString(members.ptr(), "__buffer__");
  if (type->tp_as_buffer == nullptr || !wrapper ||
      !PyObject_TypeCheck(wrapper.ptr(), &PyWrapperDescr_Type)) {
    py::pybind11_fail("halvorn: a tensor class has no buffer slot to wrap");
  }
  auto* descriptor = reinterpret_cast<PyWrapperDescrObject*>(wrapper.ptr());
  void* slot = reinterpret_cast<void*>(&tensor_buffer_slot<T>);
  PyObject* replacement = PyDescr_NewWrapper(type, descriptor->d_base, slot);
  if (replacement == nullptr) throw py::error_already_set();
  members["__buffer__"] = py::reinterpret_steal<py::object>(replacement);
  type->tp_as_buffer->bf_getbuffer = &tensor_buffer_slot<T>;
  PyType_Modified(type);
}

}  // namespace

template <class T>
void bind_buffer_export(py::class_<Tensor<T>>& cls) {
  install_buffer<T>(cls, &export_buffer<T>);
}

#define HALVORN_INSTANTIATE(T) template void bind_buffer_export<T>(py::class_<Tensor<T>>&);
HALVORN_FOR_EACH_ELEMENT_TYPE(HALVORN_INSTANTIATE)
#undef HALVORN_INSTANTIATE

}  // namespace halvorn::interop
