// The interop layer's internal header, what its translation units share and
// the module does not see: names, views' extents and steps, the refusals every
// kind of input shares, and the entry points one unit offers another. The
// module includes interop.h, the layer's interface, which this header builds
// on.
//
// Through it every unit sees native_casters.h's casters before it converts
// anything, so that every tensor argument in the layer goes through the one
// caster.
#pragma once

#include <dlpack/dlpack.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/operations/strided_conversion.h"
#include "core/primitives/element.h"
#include "core/primitives/shape.h"
#include "core/storage/tensor.h"
#include "interop/interop.h"
#include "interop/native_casters.h"

#if DLPACK_MAJOR_VERSION < 1
#error "halvorn needs DLPack 1.0 or later (the versioned capsule)"
#endif

namespace halvorn::interop {

namespace py = pybind11;

// A type of this layer's own, made from `definition`; callers keep it in a
// static, made once per process on first use and never in the module's
// namespace.
inline PyTypeObject* type_from_definition(PyType_Spec* definition) {
  PyObject* made = PyType_FromSpec(definition);
  if (made == nullptr) throw py::error_already_set();
  return reinterpret_cast<PyTypeObject*>(made);
}

inline std::string type_name(PyObject* object) {
  return py::str(py::type::handle_of(object).attr("__name__")).cast<std::string>();
}

template <class T>
std::string array_function_name() {
  return function_name<T>("array");
}

// Where an empty tensor's views point: never read, but never null, so that no
// consumer mistakes an empty view for a missing one and allocates its own
// (writable) memory instead.
alignas(16) inline std::byte empty_anchor[16] = {};

template <class T>
void* first_packet(const Tensor<T>& tensor) {
  return tensor.data.packets != nullptr ? static_cast<void*>(tensor.data.packets)
                                        : static_cast<void*>(empty_anchor);
}

// Extents as signed 64-bit numbers, for a view. Consumers multiply them
// (pybind11's buffer_info, memoryview, NumPy) in orders of their own, and
// with 16-byte steps, so the nonzero extents' product times 16 must fit in a
// signed 64-bit number: then every partial product does. Only an empty tensor
// can fail that, and no view can describe it.
inline std::vector<std::int64_t> signed_extents(const Shape& shape) {
  std::vector<std::int64_t> extents;
  extents.reserve(shape.size());
  std::int64_t span = 16;
  for (const std::uint64_t extent : shape) {
    if (extent > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      throw py::buffer_error(
          "a tensor with an extent above 2**63 - 1 has no buffer or DLPack view");
    }
    if (extent != 0 && __builtin_mul_overflow(span, static_cast<std::int64_t>(extent), &span)) {
      throw py::buffer_error(
          "a tensor whose nonzero extents multiply past 2**59 has no buffer or DLPack view");
    }
    extents.push_back(static_cast<std::int64_t>(extent));
  }
  return extents;
}

// Steps between elements, in units of `unit` bytes, for `element_bytes` per
// element: the product of the later extents times element_bytes / unit. An
// empty tensor's steps are never taken; where they would overflow they are 0.
inline std::vector<std::int64_t> steps(const std::vector<std::int64_t>& extents,
                                       std::int64_t element_bytes, std::int64_t unit) {
  std::vector<std::int64_t> result(extents.size(), 0);
  std::int64_t step = element_bytes / unit;
  bool overflowed = false;
  for (std::size_t d = extents.size(); d-- > 0;) {
    result[d] = overflowed ? 0 : step;
    overflowed = overflowed || __builtin_mul_overflow(step, extents[d], &step);
  }
  return result;
}

// The tensor a Python object owns, through the one caster, which refuses a
// class instance that was never built by itself; anything else it does not
// take holds no tensor of this type at all.
template <class T>
const Tensor<T>& built_tensor(py::handle object) {
  const Tensor<T>* tensor = tensor_of<T>(object);
  if (tensor == nullptr) {
    throw py::type_error(std::string("a ") + type_name(object.ptr()) + " holds no halvorn " +
                         ElementTraits<T>::word + " tensor");
  }
  return *tensor;
}

// "<TensorFloat64 shape=[2, 3]>" for a built tensor of any type, which an
// error message shows so rather than as its rendering; empty for anything else.
inline std::string brief_tensor_text(PyObject* object) {
  std::string text;
  for_each_element_type([&]<class U>() {
    const pybind11::detail::value_and_holder part =
        native_part<Tensor<U>>(object, type_info_of<Tensor<U>>());
    if (part.inst != nullptr && part.holder_constructed()) {
      text = brief_description(Py_TYPE(object), static_cast<Tensor<U>*>(part.value_ptr())->shape);
    }
  });
  return text;
}

// ---------------------------------------------------------------------------
// In: the refusals every input kind shares.

// " at element [i, j]" for a flat row-major position; nothing for rank 0.
inline std::string position_text(const Shape& shape, std::uint64_t flat) {
  return shape.empty() ? "" : " at element " + shape_text(index_of(shape, flat));
}

template <class T>
std::string range_text() {
  return std::string(ElementTraits<T>::word) + " (" +
         std::to_string(std::numeric_limits<T>::min()) + " to " +
         std::to_string(std::numeric_limits<T>::max()) + ")";
}

template <class T>
[[noreturn]] void raise_overflow(const std::string& value, const std::string& where) {
  PyErr_SetString(PyExc_OverflowError, (array_function_name<T>() + "(): " + value + where +
                                        " does not fit in " + range_text<T>())
                                           .c_str());
  throw py::error_already_set();
}

template <class T>
[[noreturn]] void raise_type(const std::string& what) {
  throw py::type_error(array_function_name<T>() + "(): " + what);
}

template <class T>
Tensor<T> finish_import(ImportResult<T>&& result, const Shape& shape, const char* source) {
  switch (result.refusal) {
    case ImportRefusal::none: return std::move(*result.tensor);
    case ImportRefusal::floating_into_integer:
      raise_type<T>(std::string("the ") + source + " holds floating-point numbers; an " +
                    ElementTraits<T>::word + " tensor takes only integers (nothing is truncated)");
    case ImportRefusal::out_of_range:
      raise_overflow<T>(result.value, position_text(shape, result.element));
  }
  raise_type<T>("unreachable");
}

// Sets the block's byte steps from a producer's `given` steps (in units of
// `unit` bytes; null for C order of `item_bytes` elements), refusing what
// cannot be walked without overflowing 64 bits: an element count past
// 2**64 - 1, or steps that reach more than 2**63 - 1 bytes from the first
// element. An axis with one element never takes its step, so whatever the
// producer put there (a huge stride is legal) becomes 0; an empty block is
// never walked at all. Returns the block's element count.
template <class T>
std::uint64_t set_steps(StridedBlock& block, const std::int64_t* given, std::int64_t unit,
                        std::int64_t item_bytes, const char* source) {
  const Shape& shape = block.shape;
  block.byte_strides.assign(shape.size(), 0);
  std::uint64_t count = 0;
  if (!checked_element_count(shape, count)) {
    throw py::value_error(array_function_name<T>() + "(): the " + source +
                          "'s extents multiply past 2**64 - 1");
  }
  if (count == 0) return 0;
  std::int64_t next = item_bytes;  // the C-order step of the axis being looked at
  bool next_fits = true;
  std::int64_t reach = 0;
  for (std::size_t d = shape.size(); d-- > 0;) {
    // Every extent came from a signed 64-bit number.
    const auto extent = static_cast<std::int64_t>(shape[d]);
    if (extent > 1) {
      std::int64_t step = next;
      bool fits = given != nullptr ? !__builtin_mul_overflow(given[d], unit, &step) : next_fits;
      std::int64_t far = 0;
      fits = fits && step != std::numeric_limits<std::int64_t>::min() &&
             !__builtin_mul_overflow(step < 0 ? -step : step, extent - 1, &far) &&
             !__builtin_add_overflow(reach, far, &reach);
      if (!fits) {
        throw py::buffer_error(array_function_name<T>() + "(): the " + source +
                               "'s steps reach past 2**63 - 1 bytes");
      }
      block.byte_strides[d] = step;
    }
    next_fits = next_fits && !__builtin_mul_overflow(next, extent, &next);
  }
  return count;
}

// ---------------------------------------------------------------------------
// What one unit offers the others.

// dlpack.cpp
template <class T>
Tensor<T> import_dlpack(py::handle data);
template <class T>
void bind_dlpack(py::class_<Tensor<T>>& cls);
// buffer_export.cpp
template <class T>
void bind_buffer_export(py::class_<Tensor<T>>& cls);
// operators.cpp: number slots for the class's +, -, * and (float) /; after
// every method is in place, since defining a method resets its slot.
template <class T>
void install_operator_slots(py::class_<Tensor<T>>& cls);
// pickle.cpp
template <class T>
void bind_pickling(py::class_<Tensor<T>>& cls);
template <class T>
void bind_restore(py::module_& module);
// import.cpp
template <class T>
void bind_array_factory(py::module_& module);
// iteration.cpp
template <class T>
void bind_iteration(py::class_<Tensor<T>>& cls);

}  // namespace halvorn::interop
