// Pickling: the values alone, sizeof(T) bytes each, with the shape, rebuilt by
// halvorn._restore_<type>.
#include <cstdint>
#include <string>
#include <variant>

#include "core/operations/lane_copy.h"
#include "core/storage/memory.h"
#include "interop/interop_internal.h"

namespace halvorn::interop {
namespace {

// ---------------------------------------------------------------------------
// Protocol 5's values, out of band: a read-only buffer over a block of the
// packet allocator. Dask and Ray pickle every tensor they move this way, and
// their worker processes keep glibc from reusing large freed blocks
// (MALLOC_TRIM_THRESHOLD_), so a bytes object there would take fresh pages
// every time, a fault every 4 KiB; a block comes back warm from the kept
// blocks instead. Only reduce makes one: Python cannot.

struct PickledValues {
  PyObject_HEAD PacketBlock block;
  Py_ssize_t bytes;
};

std::uint64_t packets_holding(std::size_t bytes) { return (bytes + 15) / 16; }

int pickled_values_buffer(PyObject* object, Py_buffer* view, int flags) {
  auto* values = reinterpret_cast<PickledValues*>(object);
  // Refuses a writable request with BufferError.
  return PyBuffer_FillInfo(view, object, values->block.address, values->bytes, /*readonly=*/1,
                           flags);
}

void pickled_values_dealloc(PyObject* object) {
  auto* values = reinterpret_cast<PickledValues*>(object);
  PyTypeObject* type = Py_TYPE(object);
  release_packets(values->block, packets_holding(static_cast<std::size_t>(values->bytes)));
  type->tp_free(object);
  Py_DECREF(type);
}

PyType_Slot pickled_values_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(&pickled_values_buffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&pickled_values_dealloc)},
    {0, nullptr},
};

PyType_Spec pickled_values_definition{
    "halvorn._PickledValues", sizeof(PickledValues), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    pickled_values_slots};

// Made at the first pickle.
PyTypeObject* pickled_values_type() {
  static PyTypeObject* type = type_from_definition(&pickled_values_definition);
  return type;
}

// A buffer of `bytes` > 0 to write the values into, and where to write them;
// none where no block can be had, and the caller takes a bytes object.
py::object pickled_values(std::size_t bytes, void*& into) {
  PyTypeObject* type = pickled_values_type();
  const PacketBlock block = allocate_packets(packets_holding(bytes), /*zeroed=*/false);
  if (block.address == nullptr) return py::object();
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) {
    release_packets(block, packets_holding(bytes));
    throw py::error_already_set();
  }
  auto* values = reinterpret_cast<PickledValues*>(object);
  values->block = block;
  values->bytes = static_cast<Py_ssize_t>(bytes);
  into = block.address;
  return py::reinterpret_steal<py::object>(object);
}

template <class T>
py::tuple reduce_tensor(const Tensor<T>& tensor, int protocol) {
  const std::uint64_t count = tensor.data.size();
  const std::size_t bytes = count * sizeof(T);
  void* into = nullptr;
  py::object payload;
  if (protocol >= 5 && bytes > 0) payload = pickled_values(bytes, into);
  if (!payload) {
    PyObject* raw = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bytes));
    if (raw == nullptr) throw py::error_already_set();
    payload = py::reinterpret_steal<py::object>(raw);
    into = PyBytes_AS_STRING(raw);
    // Where malloc maps each large block afresh (Dask's workers make it so),
    // the values would be written into untouched pages.
    advise_huge_pages(into, bytes);
  }
  copy_lane0(tensor.data.packets, count, into);
  if (protocol >= 5) {
    // Protocol 5 may carry the values out of band.
    payload = py::module_::import("pickle").attr("PickleBuffer")(payload);
  } else if (protocol < 3) {
    // Protocols 0 to 2 have no bytes type, and their text forms spend up to
    // six bytes on a byte; base64 text spends 4/3.
    payload = py::module_::import("binascii")
                  .attr("b2a_base64")(payload, py::arg("newline") = false)
                  .attr("decode")("ascii");
  }
  py::object restore = py::module_::import("halvorn").attr(
      (std::string("_restore_") + ElementTraits<T>::word).c_str());
  return py::make_tuple(restore, py::make_tuple(py::cast(tensor.shape), payload));
}

// An instance of the class pickles as its values; a subclass instance as
// those, its class and its state.
template <class T>
py::tuple reduce(TensorInstance<T> self, int protocol) {
  return reduce_instance(self, reduce_tensor(*self.value, protocol));
}

// Rebuilds a tensor from reduce's values. A pickle is code its loader runs, so
// this only guards against a damaged one: the values must be exactly as many
// as the shape holds.
template <class T>
Tensor<T> restore(const Shape& shape, const std::variant<py::buffer, py::str>& values) {
  py::object bytes;
  if (const py::str* text = std::get_if<py::str>(&values)) {
    bytes =
        py::module_::import("binascii").attr("a2b_base64")(*text, py::arg("strict_mode") = true);
  } else {
    bytes = std::get<py::buffer>(values);
  }
  Py_buffer view;
  if (PyObject_GetBuffer(bytes.ptr(), &view, PyBUF_SIMPLE) != 0) throw py::error_already_set();
  struct Release {
    Py_buffer* view;
    ~Release() { PyBuffer_Release(view); }
  } release{&view};
  std::uint64_t count = 0;
  if (!checked_element_count(shape, count) ||
      count > static_cast<std::uint64_t>(view.len) / sizeof(T) ||
      count * sizeof(T) != static_cast<std::uint64_t>(view.len)) {
    throw py::value_error("a pickled tensor's values do not match its shape");
  }
  // The values are the tensor's own type in this processor's byte order, one
  // after another: nothing to convert or refuse, only to broadcast.
  Tensor<T> tensor(shape);
  broadcast_values(view.buf, count, tensor.data.packets, /*read_soon=*/false);
  return tensor;
}

// _restore_<type> is a plain C function whose self is the module, because
// pybind11 pickles its own function objects as a call of eval(), which
// restricted unpicklers (and careful readers) refuse; this one pickles as its
// name, halvorn._restore_<type>. Its arguments go through pybind11's casters
// and its exceptions through pybind11's translators, as a bound function's do.
template <class T>
PyObject* restore_entry(PyObject*, PyObject* const* arguments, Py_ssize_t count) {
  return call_translating([&] {
    Shape shape;
    std::variant<py::buffer, py::str> values;
    PyTypeObject* subclass = nullptr;
    try {
      if (count != 2 && count != 3) throw py::cast_error();
      shape = py::cast<Shape>(arguments[0]);
      values = py::cast<std::variant<py::buffer, py::str>>(arguments[1]);
      if (count == 3) subclass = pickled_subclass<Tensor<T>>(arguments[2]);
    } catch (const py::cast_error&) {
      throw py::type_error(std::string("_restore_") + ElementTraits<T>::word +
                           "() takes a shape, the values (bytes or base64 text) and, for a "
                           "subclass instance, its class");
    }
    return restored_instance(subclass, restore<T>(shape, values));
  });
}

}  // namespace

template <class T>
void bind_restore(py::module_& module) {
  static const std::string name = std::string("_restore_") + ElementTraits<T>::word;
  // The leading "name(...)\n--\n\n" becomes the function's signature.
  static const std::string doc =
      name + "(shape, values, subclass=None, /)\n--\n\nRebuilds a pickled tensor.";
  static PyMethodDef definition{
      name.c_str(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&restore_entry<T>)),
      METH_FASTCALL, doc.c_str()};
  add_plain_function(module, definition);
}

template <class T>
void bind_pickling(py::class_<Tensor<T>>& cls) {
  cls.def("__reduce_ex__", &reduce<T>, py::arg("protocol"));
  // Called directly, object's own __reduce__ would go through pybind11's
  // common base class and abort.
  cls.def("__reduce__", [](TensorInstance<T> self) { return reduce<T>(self, 2); });
}

#define HALVORN_INSTANTIATE(T)                            \
  template void bind_pickling<T>(py::class_<Tensor<T>>&); \
  template void bind_restore<T>(py::module_&);
HALVORN_FOR_EACH_ELEMENT_TYPE(HALVORN_INSTANTIATE)
#undef HALVORN_INSTANTIATE

}  // namespace halvorn::interop
