// The interop layer's registrations on each tensor class, and the module
// functions it adds; also a rank-0 tensor as a Python number.
#include <pybind11/complex.h>

#include <algorithm>
#include <complex>
#include <cstdint>
#include <string>
#include <type_traits>

#include "core/operations/arithmetic.h"
#include "core/operations/digest.h"
#include "core/operations/dot.h"
#include "interop/interop.h"
#include "interop/interop_internal.h"

namespace halvorn::interop {
namespace {

// ---------------------------------------------------------------------------
// Python numbers: a rank-0 tensor holds one number and converts as that number
// does, as a rank-0 NumPy array does. Any other rank is refused, even with one
// element, so that float(t) never quietly picks one value out of many.

template <class T>
T only_value(const Tensor<T>& tensor) {
  if (!tensor.shape.empty()) {
    throw py::type_error(
        std::string("only a rank-0 tensor (shape []) converts to a Python number; this ") +
        ElementTraits<T>::word + " tensor has shape " + shape_text(tensor.shape));
  }
  return tensor.data[0];
}

template <class T>
py::int_ to_int(const Tensor<T>& tensor) {
  const T value = only_value(tensor);
  if constexpr (std::is_integral_v<T>) {
    return py::int_(value);
  } else {
    // Through Python's own float to int, with its refusals: ValueError for a
    // NaN, OverflowError for an infinity.
    const py::float_ number(static_cast<double>(value));
    PyObject* integer = PyNumber_Long(number.ptr());
    if (integer == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::int_>(integer);
  }
}

template <class T>
void bind_numbers(py::class_<Tensor<T>>& cls) {
  cls.def("__float__", [](const Tensor<T>& tensor) {
    return py::float_(static_cast<double>(only_value(tensor)));
  });
  cls.def("__int__", &to_int<T>);
  cls.def("__complex__", [](const Tensor<T>& tensor) {
    return std::complex<double>(static_cast<double>(only_value(tensor)), 0.0);
  });
  if constexpr (std::is_integral_v<T>) {
    // Only integers may stand for an index; a float tensor's int() truncates,
    // so it must not slip into a list index unnoticed.
    cls.def("__index__", &to_int<T>);
  }
}

// ---------------------------------------------------------------------------
// What engines and data libraries read of an array: rank, element count,
// bytes held, NumPy's dtype, and an array through __array__. Dask and Ray
// size their memory with sys.getsizeof, and Dask builds a chunk's
// concatenation with the dtype of its first chunk.

// NumPy, imported only when one of these is asked for; halvorn runs without it.
py::module_ numpy_for(const char* purpose) {
  try {
    return py::module_::import("numpy");
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_ImportError)) throw;
    py::raise_from(
        error, PyExc_ImportError,
        (std::string(purpose) + " is a NumPy object, and NumPy cannot be imported").c_str());
    throw py::error_already_set();
  }
}

// NumPy 2's __array__: the read-only view in place where no copy is needed,
// a C-contiguous copy when one is asked for or the dtype differs, and
// NumPy's own refusal when copy=False and a copy cannot be avoided.
template <class T>
py::object to_array(TensorInstance<T> self, const py::object& dtype, const py::object& copy) {
  py::module_ numpy = numpy_for("a tensor's __array__()");
  // Through a memoryview rather than numpy.asarray(self), which would come
  // back here for an instance whose buffer export fails.
  py::object view =
      numpy.attr("asarray")(py::memoryview(py::reinterpret_borrow<py::object>(self.self)));
  py::object wanted = dtype.is_none() ? view.attr("dtype") : numpy.attr("dtype")(dtype);
  const bool converts = !wanted.equal(view.attr("dtype"));
  int copies = -1;  // None: only where it must
  if (!copy.is_none() && (copies = PyObject_IsTrue(copy.ptr())) < 0) throw py::error_already_set();
  if (copies == 0) {
    if (converts) {
      throw py::value_error(
          std::string("Unable to avoid copy while creating an array as requested: a ") +
          ElementTraits<T>::word + " tensor becomes " + py::str(wanted).cast<std::string>() +
          " only in a copy");
    }
    return view;
  }
  if (converts || copies == 1) return view.attr("astype")(wanted, py::arg("order") = "C");
  return view;
}

// Every element holds a 16-byte packet, whatever its type.
template <class T>
std::uint64_t packet_bytes(const Tensor<T>& tensor) {
  return tensor.data.size() * sizeof(Packet<T>);
}

// Dask's name for the tensor: the class's qualified name (a subclass's own),
// the shape and the values' digest, plain values that tokenize the same in
// every process.
template <class T>
py::tuple dask_token(TensorInstance<T> self) {
  const py::handle type = py::type::handle_of(self.self);
  return py::make_tuple(py::str("{}.{}").format(type.attr("__module__"), type.attr("__qualname__")),
                        py::tuple(py::cast(self.value->shape)),
                        digest_hex(digest_values(*self.value)));
}

template <class T>
void bind_array_attributes(py::class_<Tensor<T>>& cls) {
  def_named_property(cls, "ndim", [](const Tensor<T>& tensor) { return tensor.shape.size(); });
  def_named_property(cls, "size", [](const Tensor<T>& tensor) { return tensor.data.size(); });
  def_named_property(cls, "nbytes", &packet_bytes<T>);
  def_named_property(cls, "dtype", [](const Tensor<T>&) {
    return numpy_for("a tensor's dtype").attr("dtype")(ElementTraits<T>::word);
  });
  cls.def("__array__", &to_array<T>, py::arg("dtype") = py::none(), py::arg("copy") = py::none());
  // The object, the tensor with its shape, and the packet block. An unbuilt
  // instance is only the object, so memory tools that size every object
  // never fail on one.
  cls.def("__sizeof__", [](InstanceOrUnbuilt<Tensor<T>> self) {
    const py::handle object_type(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    auto bytes = py::cast<std::size_t>(object_type.attr("__sizeof__")(self.self));
    if (self.value != nullptr) {
      bytes += sizeof(Tensor<T>) + self.value->shape.capacity() * sizeof(std::uint64_t) +
               packet_bytes(*self.value);
    }
    return bytes;
  });
  cls.def("__dask_tokenize__", &dask_token<T>);
}

// The instance itself for the class; for a subclass instance a new one (see
// bind_interop).
template <class T>
InstanceResult<Tensor<T>> copy_tensor(TensorInstance<T> self, const py::object& memo) {
  if (subclass_of(self) == nullptr) return {py::reinterpret_borrow<py::object>(self.self)};
  const Tensor<T>& source = *self.value;
  Tensor<T> copy(source.shape);
  std::copy_n(source.data.packets, source.data.size(), copy.data.packets);
  return {subclass_copy(self.self, std::move(copy), memo)};
}

}  // namespace

template <class T>
void bind_interop(py::class_<Tensor<T>>& cls) {
  bind_buffer_export<T>(cls);
  bind_dlpack<T>(cls);
  bind_pickling<T>(cls);
  // Tensors never change once built, so a copy, shallow or deep, of an
  // instance of the class, which holds nothing else, is the instance itself.
  // A subclass instance may hold attributes: its copy is an instance of its
  // own with the tensor's values and those attributes copied.
  cls.def("__copy__", [](TensorInstance<T> self) { return copy_tensor(self, py::none()); });
  cls.def(
      "__deepcopy__",
      [](TensorInstance<T> self, const py::object& memo) { return copy_tensor(self, memo); },
      py::arg("memo"));
  // Plain methods like the other operators: a foreign operand raises
  // TypeError at once.
  cls.def("__matmul__", &dot<T>);
  if constexpr (std::is_floating_point_v<T>) {
    // Integer tensors keep / undefined: it means true division, and their
    // __divide__ truncates.
    cls.def("__truediv__", &div<T>);
  }
  bind_numbers<T>(cls);
  bind_array_attributes<T>(cls);
  bind_iteration<T>(cls);
  install_operator_slots<T>(cls);
}

void bind_array_factories(py::module_& module) {
  for_each_element_type([&]<class T>() { bind_array_factory<T>(module); });
  for_each_element_type([&]<class T>() { bind_restore<T>(module); });
}

#define HALVORN_INSTANTIATE(T) template void bind_interop<T>(py::class_<Tensor<T>>&);
HALVORN_FOR_EACH_ELEMENT_TYPE(HALVORN_INSTANTIATE)
#undef HALVORN_INSTANTIATE

}  // namespace halvorn::interop
