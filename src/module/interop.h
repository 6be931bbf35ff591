// halvorn and other libraries: the buffer protocol and DLPack out, the
// quorva_array_* functions in, pickling, copying, the @ and / operators, and
// a rank-0 tensor as a Python number.
// Included by the module's one translation unit, after tensor_caster.h, so
// every tensor argument here goes through the same caster as everywhere else.
#pragma once

#include <dlpack/dlpack.h>
#include <pybind11/complex.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "core/arithmetic.h"
#include "core/dot.h"
#include "core/misuse.h"
#include "core/import.h"
#include "core/tensor.h"
#include "module/tensor_caster.h"

#if DLPACK_MAJOR_VERSION < 1
#error "halvorn needs DLPack 1.0 or later (the versioned capsule)"
#endif

namespace halvorn::interop {

namespace py = pybind11;

template <class T>
struct ElementTraits;
template <>
struct ElementTraits<short> {
  static constexpr const char* word = "int16";
  static constexpr std::uint8_t dlpack_code = kDLInt;
  static constexpr SourceType source = SourceType::int16;
};
template <>
struct ElementTraits<int> {
  static constexpr const char* word = "int32";
  static constexpr std::uint8_t dlpack_code = kDLInt;
  static constexpr SourceType source = SourceType::int32;
};
template <>
struct ElementTraits<float> {
  static constexpr const char* word = "float32";
  static constexpr std::uint8_t dlpack_code = kDLFloat;
  static constexpr SourceType source = SourceType::float32;
};
template <>
struct ElementTraits<double> {
  static constexpr const char* word = "float64";
  static constexpr std::uint8_t dlpack_code = kDLFloat;
  static constexpr SourceType source = SourceType::float64;
};

template <class T>
std::string array_function_name() {
  return std::string("quorva_array_") + ElementTraits<T>::word;
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
      throw py::buffer_error("a tensor with an extent above 2**63 - 1 has no buffer or DLPack view");
    }
    if (extent != 0 && __builtin_mul_overflow(span, static_cast<std::int64_t>(extent), &span)) {
      throw py::buffer_error("a tensor whose nonzero extents multiply past 2**59 has no buffer or DLPack view");
    }
    extents.push_back(static_cast<std::int64_t>(extent));
  }
  return extents;
}

// Steps between elements, in units of `unit` bytes, for `element_bytes` per
// element: the product of the later extents times element_bytes / unit. An
// empty tensor's steps are never taken; where they would overflow they are 0.
inline std::vector<std::int64_t> steps(const std::vector<std::int64_t>& extents, std::int64_t element_bytes,
                                       std::int64_t unit) {
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
  py::detail::make_caster<Tensor<T>> caster;
  if (!caster.load(object, false)) {
    throw py::type_error(std::string("a ") + py::str(py::type::handle_of(object).attr("__name__")).cast<std::string>() +
                         " holds no halvorn " + ElementTraits<T>::word + " tensor");
  }
  return py::detail::cast_op<const Tensor<T>&>(caster);
}

// ---------------------------------------------------------------------------
// Out: the buffer protocol. Read-only, in place: each element is lane 0 of its
// packet, so the steps are 16 bytes times the later extents.

template <class T>
py::buffer_info* export_buffer(PyObject* object, void*) {
  const Tensor<T>& tensor = built_tensor<T>(object);
  const std::vector<std::int64_t> extents = signed_extents(tensor.shape);
  const std::vector<std::int64_t> byte_steps = steps(extents, 16, 1);
  return new py::buffer_info(first_packet(tensor), static_cast<py::ssize_t>(sizeof(T)),
                             py::format_descriptor<T>::format(), static_cast<py::ssize_t>(extents.size()),
                             std::vector<py::ssize_t>(extents.begin(), extents.end()),
                             std::vector<py::ssize_t>(byte_steps.begin(), byte_steps.end()), /*readonly=*/true);
}

// pybind11's own buffer slot calls this for every request. (Its def_buffer
// would end the process when the argument does not convert; here an
// unconstructed instance is refused with BufferError like any other failure.)
template <class T>
struct BufferInstaller : py::class_<Tensor<T>> {
  explicit BufferInstaller(const py::class_<Tensor<T>>& cls) : py::class_<Tensor<T>>(cls) {}
  void install() { this->install_buffer_funcs(&export_buffer<T>, nullptr); }
};

// ---------------------------------------------------------------------------
// Out: DLPack.

// What a capsule's managed tensor owns: a reference to the Python tensor (a
// view) or a private copy, and the shape and steps the DLTensor points at.
struct DlpackHolder {
  DLManagedTensor legacy{};
  DLManagedTensorVersioned versioned{};
  PyObject* owner = nullptr;
  void* copy = nullptr;
  std::vector<std::int64_t> shape;
  std::vector<std::int64_t> strides;
};

// The consumer calls this when it is done, on any thread and with or without
// the interpreter lock. A thread that holds the lock drops the reference at
// once: that includes a capsule or a consumer's array that dies while the
// interpreter shuts down, after Py_IsInitialized() has turned false but
// before the objects are gone. Any other thread takes the lock first, which
// it can only while the interpreter is still initialised.
inline void release_holder(DlpackHolder* holder) noexcept {
  if (holder->owner != nullptr) {
    if (PyThreadState_GetUnchecked() != nullptr) {
      Py_DECREF(holder->owner);
    } else if (Py_IsInitialized() != 0) {
      const PyGILState_STATE state = PyGILState_Ensure();
      Py_DECREF(holder->owner);
      PyGILState_Release(state);
    }
  }
  std::free(holder->copy);
  delete holder;
}

inline void delete_legacy(DLManagedTensor* managed) noexcept {
  release_holder(static_cast<DlpackHolder*>(managed->manager_ctx));
}

inline void delete_versioned(DLManagedTensorVersioned* managed) noexcept {
  release_holder(static_cast<DlpackHolder*>(managed->manager_ctx));
}

// A capsule that dies still carrying its first name was never consumed, so
// its managed tensor is still ours to delete; a consumer renames it to
// "used_..." and calls the deleter itself. Any exception already pending is
// kept across the deleter.
inline void legacy_capsule_gone(PyObject* capsule) noexcept {
  if (PyCapsule_IsValid(capsule, "dltensor") == 0) return;
  PyObject* pending = PyErr_GetRaisedException();
  auto* managed = static_cast<DLManagedTensor*>(PyCapsule_GetPointer(capsule, "dltensor"));
  managed->deleter(managed);
  PyErr_SetRaisedException(pending);
}

inline void versioned_capsule_gone(PyObject* capsule) noexcept {
  if (PyCapsule_IsValid(capsule, "dltensor_versioned") == 0) return;
  PyObject* pending = PyErr_GetRaisedException();
  auto* managed = static_cast<DLManagedTensorVersioned*>(PyCapsule_GetPointer(capsule, "dltensor_versioned"));
  managed->deleter(managed);
  PyErr_SetRaisedException(pending);
}

using VersionPair = std::optional<std::tuple<int, int>>;

template <class T>
py::capsule export_dlpack(const Tensor<T>& tensor, const py::object& stream, const VersionPair& max_version,
                          const VersionPair& dl_device, std::optional<bool> copy) {
  if (!stream.is_none()) {
    throw py::buffer_error("a halvorn tensor lives on the CPU, which has no streams: pass stream=None");
  }
  if (dl_device && *dl_device != std::tuple<int, int>(kDLCPU, 0)) {
    throw py::buffer_error("a halvorn tensor lives on the CPU, device (1, 0); it cannot be exported to another device");
  }
  const bool versioned = max_version && std::get<0>(*max_version) >= 1;
  auto holder = std::make_unique<DlpackHolder>();
  holder->shape = signed_extents(tensor.shape);
  const std::uint64_t count = tensor.data.size();
  void* data;
  std::uint64_t flags;
  if (copy.value_or(false)) {
    // A writable, contiguous copy of the values alone.
    holder->strides = steps(holder->shape, 1, 1);
    if (count > 0) {
      // count * sizeof(T) fits: the tensor already holds count * 16 bytes.
      const std::uint64_t bytes = count * sizeof(T);
      holder->copy = std::malloc(static_cast<std::size_t>(bytes));
      if (holder->copy == nullptr) storage_unavailable(bytes, "for a DLPack copy");
      auto* values = static_cast<T*>(holder->copy);
      for (std::uint64_t i = 0; i < count; ++i) values[i] = static_cast<T>(tensor.data[i]);
    }
    data = holder->copy != nullptr ? holder->copy : static_cast<void*>(empty_anchor);
    flags = DLPACK_FLAG_BITMASK_IS_COPIED;
  } else {
    // A view of lane 0 of every packet, in place; it keeps the tensor alive.
    holder->strides = steps(holder->shape, 16, static_cast<std::int64_t>(sizeof(T)));
    data = first_packet(tensor);
    flags = DLPACK_FLAG_BITMASK_READ_ONLY;
    holder->owner = py::cast(&tensor, py::return_value_policy::reference).release().ptr();
  }
  DLTensor view{};
  view.data = data;
  view.device = DLDevice{kDLCPU, 0};
  view.ndim = static_cast<std::int32_t>(holder->shape.size());
  view.dtype = DLDataType{ElementTraits<T>::dlpack_code, static_cast<std::uint8_t>(8 * sizeof(T)), 1};
  view.shape = holder->shape.data();
  view.strides = holder->strides.data();
  view.byte_offset = 0;

  DlpackHolder* raw = holder.release();
  PyObject* capsule;
  if (versioned) {
    const int asked_minor = std::get<0>(*max_version) == DLPACK_MAJOR_VERSION ? std::get<1>(*max_version) : -1;
    const std::uint32_t minor = asked_minor >= 0 && asked_minor < DLPACK_MINOR_VERSION
                                    ? static_cast<std::uint32_t>(asked_minor)
                                    : DLPACK_MINOR_VERSION;
    raw->versioned.version = DLPackVersion{DLPACK_MAJOR_VERSION, minor};
    raw->versioned.manager_ctx = raw;
    raw->versioned.deleter = delete_versioned;
    raw->versioned.flags = flags;
    raw->versioned.dl_tensor = view;
    capsule = PyCapsule_New(&raw->versioned, "dltensor_versioned", versioned_capsule_gone);
  } else {
    // The legacy capsule has no read-only flag: a consumer that does not ask
    // for a versioned one must not write through it.
    raw->legacy.manager_ctx = raw;
    raw->legacy.deleter = delete_legacy;
    raw->legacy.dl_tensor = view;
    capsule = PyCapsule_New(&raw->legacy, "dltensor", legacy_capsule_gone);
  }
  if (capsule == nullptr) {
    release_holder(raw);
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::capsule>(capsule);
}

// ---------------------------------------------------------------------------
// In: the refusals every input kind shares.

// " at element [i, j]" for a flat row-major position; nothing for rank 0.
inline std::string position_text(const Shape& shape, std::uint64_t flat) {
  if (shape.empty()) return "";
  std::vector<std::uint64_t> index(shape.size());
  for (std::size_t d = shape.size(); d-- > 0;) {
    index[d] = flat % shape[d];
    flat /= shape[d];
  }
  std::string text = " at element [";
  for (std::size_t d = 0; d < index.size(); ++d) text += (d ? ", " : "") + std::to_string(index[d]);
  return text + "]";
}

template <class T>
std::string range_text() {
  return std::string(ElementTraits<T>::word) + " (" + std::to_string(std::numeric_limits<T>::min()) + " to " +
         std::to_string(std::numeric_limits<T>::max()) + ")";
}

template <class T>
[[noreturn]] void raise_overflow(const std::string& value, const std::string& where) {
  PyErr_SetString(PyExc_OverflowError,
                  (array_function_name<T>() + "(): " + value + where + " does not fit in " + range_text<T>())
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
    case ImportRefusal::none:
      return std::move(*result.tensor);
    case ImportRefusal::floating_into_integer:
      raise_type<T>(std::string("the ") + source + " holds floating-point numbers; an " + ElementTraits<T>::word +
                    " tensor takes only integers (nothing is truncated)");
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
// never walked at all.
// The element count of a shape that set_steps has accepted (it fits).
inline std::uint64_t element_count_of(const Shape& shape) {
  std::uint64_t count = 1;
  for (const std::uint64_t extent : shape) {
    if (extent == 0) return 0;
    count *= extent;
  }
  return count;
}

template <class T>
void set_steps(StridedBlock& block, const std::int64_t* given, std::int64_t unit, std::int64_t item_bytes,
               const char* source) {
  const Shape& shape = block.shape;
  block.byte_strides.assign(shape.size(), 0);
  bool empty = false;
  for (const std::uint64_t extent : shape) empty = empty || extent == 0;
  std::uint64_t count = 1;
  for (const std::uint64_t extent : shape) {
    if (!empty && __builtin_mul_overflow(count, extent, &count)) {
      throw py::value_error(array_function_name<T>() + "(): the " + source + "'s extents multiply past 2**64 - 1");
    }
  }
  if (empty) return;
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
}

// ---------------------------------------------------------------------------
// In: the buffer protocol.

template <class T>
Tensor<T> import_buffer(PyObject* data) {
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_RECORDS_RO) != 0) {
    py::raise_from(PyExc_TypeError, (array_function_name<T>() + "(): the object's buffer cannot be read").c_str());
    throw py::error_already_set();
  }
  struct Release {
    Py_buffer* view;
    ~Release() { PyBuffer_Release(view); }
  } release{&view};

  const char* format = view.format != nullptr ? view.format : "B";
  const ParsedFormat parsed = parse_buffer_format(format, static_cast<std::size_t>(view.itemsize));
  if (parsed.verdict == ParsedFormat::Verdict::complex_number) {
    raise_type<T>(std::string("complex numbers (buffer format '") + format + "') have no place in a real tensor");
  }
  if (parsed.verdict == ParsedFormat::Verdict::unsupported) {
    raise_type<T>(std::string("buffer format '") + format + "' with item size " + std::to_string(view.itemsize) +
                  " is not a single number");
  }
  // What was asked for is a shape and steps, and no suboffsets: an exporter
  // that breaks those rules is refused rather than read wrongly.
  if (view.ndim < 0 || (view.ndim > 0 && view.shape == nullptr)) {
    throw py::buffer_error(array_function_name<T>() + "(): the buffer has no shape for its dimensions");
  }
  if (view.suboffsets != nullptr) {
    throw py::buffer_error(array_function_name<T>() + "(): the buffer has suboffsets, which were not asked for");
  }
  StridedBlock block;
  block.first = static_cast<const std::byte*>(view.buf);
  block.format = parsed.format;
  for (int d = 0; d < view.ndim; ++d) {
    if (view.shape[d] < 0) raise_type<T>("the buffer has a negative extent");
    block.shape.push_back(static_cast<std::uint64_t>(view.shape[d]));
  }
  set_steps<T>(block, view.strides, 1, view.itemsize, "buffer");
  if (block.first == nullptr && element_count_of(block.shape) != 0) {
    throw py::buffer_error(array_function_name<T>() + "(): the buffer has elements but no data");
  }
  return finish_import<T>(import_block<T>(block), block.shape, "buffer");
}

// ---------------------------------------------------------------------------
// In: DLPack.

// The source type of a DLPack element; none for what is not a single number.
inline std::optional<SourceType> dlpack_source(const DLDataType& type, bool& complex_number) {
  complex_number = type.code == kDLComplex;
  if (type.lanes != 1) return std::nullopt;
  switch (type.code) {
    case kDLInt:
      switch (type.bits) {
        case 8: return SourceType::int8;
        case 16: return SourceType::int16;
        case 32: return SourceType::int32;
        case 64: return SourceType::int64;
      }
      break;
    case kDLUInt:
      switch (type.bits) {
        case 8: return SourceType::uint8;
        case 16: return SourceType::uint16;
        case 32: return SourceType::uint32;
        case 64: return SourceType::uint64;
      }
      break;
    case kDLFloat:
      switch (type.bits) {
        case 16: return SourceType::float16;
        case 32: return SourceType::float32;
        case 64: return SourceType::float64;
      }
      break;
    case kDLBfloat:
      if (type.bits == 16) return SourceType::bfloat16;
      break;
    case kDLBool:
      if (type.bits == 8) return SourceType::boolean;
      break;
    default:
      break;
  }
  return std::nullopt;
}

template <class T>
Tensor<T> import_dltensor(const DLTensor& view) {
  if (view.device.device_type != kDLCPU) {
    throw py::buffer_error(array_function_name<T>() + "(): only data on the CPU can be imported");
  }
  bool complex_number = false;
  const std::optional<SourceType> source = dlpack_source(view.dtype, complex_number);
  if (complex_number) raise_type<T>("complex numbers (DLPack) have no place in a real tensor");
  if (!source) {
    raise_type<T>("DLPack type code " + std::to_string(view.dtype.code) + ", " + std::to_string(view.dtype.bits) +
                  " bits, " + std::to_string(view.dtype.lanes) + " lanes is not a single number");
  }
  // A producer that breaks the rules (through ctypes, or a faulty library)
  // is refused before anything is read.
  if (view.ndim < 0) throw py::buffer_error(array_function_name<T>() + "(): the DLPack tensor has a negative rank");
  if (view.ndim > 0 && view.shape == nullptr) {
    throw py::buffer_error(array_function_name<T>() + "(): the DLPack tensor has no shape for its dimensions");
  }
  StridedBlock block;
  block.format = SourceFormat{*source, false};
  for (std::int32_t d = 0; d < view.ndim; ++d) {
    if (view.shape[d] < 0) raise_type<T>("the DLPack tensor has a negative extent");
    block.shape.push_back(static_cast<std::uint64_t>(view.shape[d]));
  }
  const auto bytes = static_cast<std::int64_t>(source_bytes(*source));
  set_steps<T>(block, view.strides, bytes, bytes, "DLPack tensor");
  if (element_count_of(block.shape) != 0) {
    // An empty tensor's data is never read, and may be null.
    if (view.data == nullptr) {
      throw py::buffer_error(array_function_name<T>() + "(): the DLPack tensor has elements but no data");
    }
    block.first = static_cast<const std::byte*>(view.data) + view.byte_offset;
  }
  return finish_import<T>(import_block<T>(block), block.shape, "DLPack tensor");
}

template <class T>
Tensor<T> import_dlpack(py::handle data) {
  py::object method = data.attr("__dlpack__");
  py::object capsule;
  try {
    capsule = method(py::arg("max_version") = py::make_tuple(DLPACK_MAJOR_VERSION, DLPACK_MINOR_VERSION));
  } catch (py::error_already_set& error) {
    // A producer older than the versioned protocol does not know max_version.
    if (!error.matches(PyExc_TypeError)) throw;
    capsule = method();
  }
  PyObject* raw = capsule.ptr();
  if (PyCapsule_IsValid(raw, "dltensor_versioned") != 0) {
    auto* managed = static_cast<DLManagedTensorVersioned*>(PyCapsule_GetPointer(raw, "dltensor_versioned"));
    if (PyCapsule_SetName(raw, "used_dltensor_versioned") != 0) throw py::error_already_set();
    struct Done {
      DLManagedTensorVersioned* managed;
      ~Done() {
        if (managed->deleter != nullptr) managed->deleter(managed);
      }
    } done{managed};
    if (managed->version.major != DLPACK_MAJOR_VERSION) {
      throw py::buffer_error(array_function_name<T>() + "(): DLPack major version " +
                             std::to_string(managed->version.major) + " is not supported");
    }
    return import_dltensor<T>(managed->dl_tensor);
  }
  if (PyCapsule_IsValid(raw, "dltensor") != 0) {
    auto* managed = static_cast<DLManagedTensor*>(PyCapsule_GetPointer(raw, "dltensor"));
    if (PyCapsule_SetName(raw, "used_dltensor") != 0) throw py::error_already_set();
    struct Done {
      DLManagedTensor* managed;
      ~Done() {
        if (managed->deleter != nullptr) managed->deleter(managed);
      }
    } done{managed};
    return import_dltensor<T>(managed->dl_tensor);
  }
  raise_type<T>("__dlpack__() returned no DLPack capsule");
}

// ---------------------------------------------------------------------------
// In: nested sequences of numbers, shaped as NumPy shapes them.

// Deeper nesting than NumPy allows is refused; it also stops a list that
// contains itself.
inline constexpr std::size_t deepest_nesting = 64;

inline bool is_nested_sequence(PyObject* object) {
  if (PyList_Check(object) || PyTuple_Check(object)) return true;
  if (PyUnicode_Check(object) || PyBytes_Check(object)) return false;
  return PySequence_Check(object) != 0;
}

inline std::string type_name(PyObject* object) {
  return py::str(py::type::handle_of(object).attr("__name__")).cast<std::string>();
}

template <class T>
class NestedImport {
 public:
  Tensor<T> run(PyObject* data) {
    infer_shape(data);
    check_structure(data, 0);
    Tensor<T> tensor(shape_);
    out_ = tensor.data.packets;
    position_.assign(shape_.size(), 0);
    fill(data, 0);
    return tensor;
  }

 private:
  // The extents along the first element of every level, as NumPy finds them.
  void infer_shape(PyObject* data) {
    py::object current = py::reinterpret_borrow<py::object>(data);
    while (is_nested_sequence(current.ptr())) {
      if (shape_.size() == deepest_nesting) {
        throw py::value_error(array_function_name<T>() + "(): sequences nested deeper than 64 levels");
      }
      const py::object items = fast(current.ptr());
      const Py_ssize_t length = PySequence_Fast_GET_SIZE(items.ptr());
      shape_.push_back(static_cast<std::uint64_t>(length));
      if (length == 0) break;
      current = py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(items.ptr(), 0));
    }
  }

  static py::object fast(PyObject* sequence) {
    PyObject* items = PySequence_Fast(sequence, "not a sequence");
    if (items == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(items);
  }

  std::string where(std::size_t depth) const {
    if (depth == 0) return "the top level";
    std::string text = "[";
    for (std::size_t d = 0; d < depth; ++d) text += (d ? ", " : "") + std::to_string(position_[d]);
    return text + "]";
  }

  [[noreturn]] void ragged(std::size_t depth, const std::string& found) const {
    throw py::value_error(array_function_name<T>() + "(): ragged nesting at " + where(depth) + ": expected " +
                          (depth == shape_.size() ? std::string("a number")
                                                  : "a sequence of length " + std::to_string(shape_[depth])) +
                          ", found " + found);
  }

  // Every sequence above the numbers has its level's length, so the tensor
  // allocated next is exactly as large as the data. The numbers themselves
  // are looked at once, while they are converted.
  void check_structure(PyObject* object, std::size_t depth) {
    if (depth == shape_.size()) return;
    if (!is_nested_sequence(object)) ragged(depth, "a " + type_name(object));
    const py::object items = fast(object);
    const auto length = static_cast<std::uint64_t>(PySequence_Fast_GET_SIZE(items.ptr()));
    if (length != shape_[depth]) ragged(depth, "length " + std::to_string(length));
    if (depth + 1 == shape_.size()) return;
    for (std::uint64_t i = 0; i < length; ++i) {
      if (static_cast<std::uint64_t>(PySequence_Fast_GET_SIZE(items.ptr())) != length) changed(depth);
      position_.resize(shape_.size());
      position_[depth] = i;
      const py::object item = py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(items.ptr(), i));
      check_structure(item.ptr(), depth + 1);
    }
  }

  [[noreturn]] void changed(std::size_t depth) const {
    throw py::value_error(array_function_name<T>() + "(): the sequence at " + where(depth) +
                          " changed its length during the import");
  }

  // The same walk again, converting the numbers. Python code that runs on
  // the way (a number's __index__ or __float__, a sequence's __getitem__) may
  // change any list, so every length is checked again before each item is
  // read, and nothing is ever written past the tensor's last packet.
  void fill(PyObject* object, std::size_t depth) {
    if (depth == shape_.size()) {
      if (is_nested_sequence(object)) ragged(depth, "a sequence (" + type_name(object) + ")");
      out_[written_++] = number(object, depth);
      return;
    }
    if (!is_nested_sequence(object)) ragged(depth, "a " + type_name(object));
    const py::object items = fast(object);
    const std::uint64_t length = shape_[depth];
    if (static_cast<std::uint64_t>(PySequence_Fast_GET_SIZE(items.ptr())) != length) {
      ragged(depth, "length " + std::to_string(PySequence_Fast_GET_SIZE(items.ptr())));
    }
    const bool last = depth + 1 == shape_.size();
    for (std::uint64_t i = 0; i < length; ++i) {
      if (static_cast<std::uint64_t>(PySequence_Fast_GET_SIZE(items.ptr())) != length) changed(depth);
      position_[depth] = i;
      PyObject* item = PySequence_Fast_GET_ITEM(items.ptr(), i);
      if (last && (PyFloat_CheckExact(item) || PyLong_CheckExact(item))) {
        // The common case runs no Python code, so the borrowed item is safe.
        out_[written_++] = number(item, depth + 1);
      } else {
        const py::object held = py::reinterpret_borrow<py::object>(item);
        fill(held.ptr(), depth + 1);
      }
    }
  }

  [[noreturn]] void refuse(std::size_t depth, const std::string& what) const {
    const std::string at = shape_.empty() ? std::string("the value") : "element " + where(depth);
    raise_type<T>(at + " " + what);
  }

  std::string shown(PyObject* object) const {
    PyObject* text = PyObject_Repr(object);
    if (text == nullptr) {
      PyErr_Clear();
      return "a " + type_name(object);
    }
    const py::str owned = py::reinterpret_steal<py::str>(text);
    std::string result = owned.cast<std::string>();
    if (result.size() > 40) result = result.substr(0, 37) + "...";
    return result;
  }

  // An integer, exactly.
  T from_integer(PyObject* integer, std::size_t depth) const {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(integer, &overflow);
    if (value == -1 && PyErr_Occurred() != nullptr) throw py::error_already_set();
    if constexpr (std::is_integral_v<T>) {
      if (overflow != 0 || !std::in_range<T>(value)) {
        raise_overflow<T>(shown(integer), shape_.empty() ? "" : " at element " + where(depth));
      }
      return static_cast<T>(value);
    } else {
      if (overflow == 0) return static_cast<T>(value);  // rounded once
      const double wide = PyLong_AsDouble(integer);
      if constexpr (std::is_same_v<T, float>) {
        return round_to_float(integer, wide);
      } else {
        if (wide == -1.0 && PyErr_Occurred() != nullptr) {
          // Beyond every double: the same refusal as float() gives it.
          PyErr_Clear();
          PyErr_SetString(PyExc_OverflowError, (array_function_name<T>() + "(): " + shown(integer) +
                                                (shape_.empty() ? "" : " at element " + where(depth)) +
                                                " is too large for any float")
                                                   .c_str());
          throw py::error_already_set();
        }
        return static_cast<T>(wide);
      }
    }
  }

  // An integer of 64 bits or more, to the float nearest it (ties to even,
  // and to infinity past the largest float), given `wide`, PyLong_AsDouble's
  // correctly rounded double of it. Rounding that double again is wrong only
  // where it lies exactly halfway between two floats and the integer does
  // not, so there it is first moved a step towards the integer.
  static float round_to_float(PyObject* integer, double wide) {
    if (wide == -1.0 && PyErr_Occurred() != nullptr) {
      if (PyErr_ExceptionMatches(PyExc_OverflowError) == 0) throw py::error_already_set();
      PyErr_Clear();
      // A comparison, not PyLong_GetSign: a 3.14-only symbol would keep the
      // module from loading far enough into another version to refuse it.
      const int negative = PyObject_RichCompareBool(integer, py::int_(0).ptr(), Py_LT);
      if (negative < 0) throw py::error_already_set();
      return negative != 0 ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
    }
    // From 2**63 on, a float's step is 2**29 of the double's.
    constexpr std::uint64_t below_float = (std::uint64_t{1} << 29) - 1;
    if ((std::bit_cast<std::uint64_t>(wide) & below_float) == std::uint64_t{1} << 28) {
      const py::object halfway = py::reinterpret_steal<py::object>(PyFloat_FromDouble(wide));
      if (!halfway) throw py::error_already_set();
      const int above = PyObject_RichCompareBool(integer, halfway.ptr(), Py_GT);
      const int below = above == 0 ? PyObject_RichCompareBool(integer, halfway.ptr(), Py_LT) : 0;
      if (above < 0 || below < 0) throw py::error_already_set();
      if (above != 0) wide = std::nextafter(wide, std::numeric_limits<double>::infinity());
      if (below != 0) wide = std::nextafter(wide, -std::numeric_limits<double>::infinity());
    }
    return static_cast<float>(wide);
  }

  T number(PyObject* item, std::size_t depth) const {
    if constexpr (std::is_floating_point_v<T>) {
      if (PyFloat_CheckExact(item)) return static_cast<T>(PyFloat_AS_DOUBLE(item));
    }
    if (PyLong_Check(item)) return from_integer(item, depth);  // bool included
    if (PyFloat_Check(item)) {
      if constexpr (std::is_integral_v<T>) {
        refuse(depth, "is a float (" + shown(item) + "); an " + ElementTraits<T>::word +
                          " tensor takes only integers (nothing is truncated)");
      } else {
        return static_cast<T>(PyFloat_AS_DOUBLE(item));
      }
    }
    if (is_complex(item)) refuse(depth, "is complex (" + shown(item) + "); tensors hold real numbers");
    if (PyIndex_Check(item) != 0) {
      const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(item));
      if (!index) throw py::error_already_set();
      return from_integer(index.ptr(), depth);
    }
    const bool has_float = Py_TYPE(item)->tp_as_number != nullptr && Py_TYPE(item)->tp_as_number->nb_float != nullptr;
    if constexpr (std::is_floating_point_v<T>) {
      if (has_float) {
        const double value = PyFloat_AsDouble(item);
        if (value == -1.0 && PyErr_Occurred() != nullptr) throw py::error_already_set();
        return static_cast<T>(value);
      }
    } else {
      if (has_float) {
        refuse(depth, "is a " + type_name(item) + " (" + shown(item) + "), not an integer; an " +
                          ElementTraits<T>::word + " tensor takes only integers");
      }
    }
    refuse(depth, "is a " + type_name(item) + ", not a number");
  }

  // Complex but not real, by the numbers tower (NumPy's complex scalars are
  // registered there; Decimal is not complex, though it converts to one).
  static bool is_complex(PyObject* item) {
    if (PyComplex_Check(item)) return true;
    const py::module_ numbers = py::module_::import("numbers");
    const int complex_number = PyObject_IsInstance(item, numbers.attr("Complex").ptr());
    if (complex_number < 0) throw py::error_already_set();
    if (complex_number == 0) return false;
    const int real_number = PyObject_IsInstance(item, numbers.attr("Real").ptr());
    if (real_number < 0) throw py::error_already_set();
    return real_number == 0;
  }

  Shape shape_;
  std::vector<std::uint64_t> position_;
  Packet<T>* out_ = nullptr;
  std::uint64_t written_ = 0;
};

// ---------------------------------------------------------------------------
// In: objects that offer only NumPy's __array__ (a pandas DataFrame or Series,
// an xarray DataArray). Without this route they would be read as sequences: a
// DataFrame iterates over its column names.

// A failure of the object's own code, as TypeError with that failure as its
// cause. Interruptions (KeyboardInterrupt, SystemExit) are not the object's
// fault and go on as they are.
template <class T>
[[noreturn]] void raise_array_failure(const std::string& what) {
  if (PyErr_ExceptionMatches(PyExc_Exception) == 0) throw py::error_already_set();
  py::raise_from(PyExc_TypeError, (array_function_name<T>() + "(): " + what).c_str());
  throw py::error_already_set();
}

// What __array__() gives, called with no arguments as every version of the
// protocol allows; nothing for an object without the method (or with
// __array__ = None, which opts out). The caller takes the result only as an
// array in its own right, never through its __array__ in turn, so an object
// that hands out ever new wrappers cannot send the import round in circles.
template <class T>
std::optional<py::object> array_of(const py::object& data) {
  // Plain lists and tuples, the common case, have no __array__.
  if (PyList_CheckExact(data.ptr()) || PyTuple_CheckExact(data.ptr())) return std::nullopt;
  PyObject* method = nullptr;
  const int found = PyObject_GetOptionalAttrString(data.ptr(), "__array__", &method);
  if (found < 0) raise_array_failure<T>("the object's __array__ cannot be read");
  if (found == 0) return std::nullopt;
  const py::object owned = py::reinterpret_steal<py::object>(method);
  if (owned.is_none()) return std::nullopt;
  PyObject* result = PyObject_CallNoArgs(method);
  if (result == nullptr) raise_array_failure<T>("the object's __array__() failed");
  return py::reinterpret_steal<py::object>(result);
}

// ---------------------------------------------------------------------------
// In: the entry point.

template <class T>
Tensor<T> import_any(const py::object& data) {
  PyObject* object = data.ptr();
  if (PyUnicode_Check(object) || PyBytes_Check(object)) {
    raise_type<T>(std::string("a ") + type_name(object) + " is not a sequence of numbers");
  }
  // A tensor of the same class: its packets as they are.
  py::detail::make_caster<Tensor<T>> same;
  if (same.load(data, false)) {
    const Tensor<T>& source = py::detail::cast_op<const Tensor<T>&>(same);
    Tensor<T> copy(source.shape);
    if (copy.data.size() > 0) {
      std::memcpy(static_cast<void*>(copy.data.packets), source.data.packets, 16 * copy.data.size());
    }
    return copy;
  }
  if (PyObject_CheckBuffer(object) != 0) return import_buffer<T>(object);
  if (py::hasattr(data, "__dlpack__")) return import_dlpack<T>(data);
  if (std::optional<py::object> array = array_of<T>(data)) {
    if (PyObject_CheckBuffer(array->ptr()) != 0) return import_buffer<T>(array->ptr());
    if (py::hasattr(*array, "__dlpack__")) return import_dlpack<T>(*array);
    raise_type<T>("__array__() returned a " + type_name(array->ptr()) +
                  ", which is not an array (no buffer protocol, no __dlpack__)");
  }
  return NestedImport<T>().run(object);
}

// ---------------------------------------------------------------------------
// Pickling: the values alone, sizeof(T) bytes each, with the shape.

template <class T>
py::tuple reduce(const Tensor<T>& tensor, int protocol) {
  const std::uint64_t count = tensor.data.size();
  PyObject* raw = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * sizeof(T)));
  if (raw == nullptr) throw py::error_already_set();
  py::object payload = py::reinterpret_steal<py::object>(raw);
  auto* values = reinterpret_cast<T*>(PyBytes_AS_STRING(raw));
  for (std::uint64_t i = 0; i < count; ++i) {
    const T value = tensor.data[i];
    std::memcpy(values + i, &value, sizeof(T));
  }
  if (protocol >= 5) {
    // Protocol 5 may carry the values out of band.
    payload = py::module_::import("pickle").attr("PickleBuffer")(payload);
  } else if (protocol < 3) {
    // Protocols 0 to 2 have no bytes type, and their text forms spend up to
    // six bytes on a byte; base64 text spends 4/3.
    payload = py::module_::import("binascii").attr("b2a_base64")(payload, py::arg("newline") = false).attr("decode")("ascii");
  }
  py::object restore = py::module_::import("halvorn").attr((std::string("_restore_") + ElementTraits<T>::word).c_str());
  return py::make_tuple(restore, py::make_tuple(py::cast(tensor.shape), payload));
}

// Rebuilds a tensor from reduce's values. A pickle is code its loader runs, so
// this only guards against a damaged one: the values must be exactly as many
// as the shape holds.
template <class T>
Tensor<T> restore(const Shape& shape, const std::variant<py::buffer, py::str>& values) {
  py::object bytes;
  if (const py::str* text = std::get_if<py::str>(&values)) {
    bytes = py::module_::import("binascii").attr("a2b_base64")(*text, py::arg("strict_mode") = true);
  } else {
    bytes = std::get<py::buffer>(values);
  }
  Py_buffer view;
  if (PyObject_GetBuffer(bytes.ptr(), &view, PyBUF_SIMPLE) != 0) throw py::error_already_set();
  struct Release {
    Py_buffer* view;
    ~Release() { PyBuffer_Release(view); }
  } release{&view};
  std::uint64_t count = 1;
  bool empty = false;
  for (const std::uint64_t extent : shape) empty = empty || extent == 0;
  for (const std::uint64_t extent : shape) {
    if (!empty && __builtin_mul_overflow(count, extent, &count)) {
      throw py::value_error("a pickled tensor's values do not match its shape");
    }
  }
  if (empty) count = 0;
  if (count > static_cast<std::uint64_t>(view.len) / sizeof(T) || count * sizeof(T) != static_cast<std::uint64_t>(view.len)) {
    throw py::value_error("a pickled tensor's values do not match its shape");
  }
  StridedBlock block;
  block.first = static_cast<const std::byte*>(view.buf);
  block.format = SourceFormat{ElementTraits<T>::source, false};
  block.shape = shape;
  std::vector<std::int64_t> extents(shape.size());
  for (std::size_t d = 0; d < shape.size(); ++d) extents[d] = static_cast<std::int64_t>(shape[d]);
  block.byte_strides = steps(extents, static_cast<std::int64_t>(sizeof(T)), 1);
  return finish_import<T>(import_block<T>(block), shape, "pickle");
}

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
// Registration.

template <class T>
void bind_interop(py::class_<Tensor<T>>& cls) {
  BufferInstaller<T>(cls).install();
  cls.def("__dlpack__", &export_dlpack<T>, py::kw_only(), py::arg("stream") = py::none(),
          py::arg("max_version") = py::none(), py::arg("dl_device") = py::none(), py::arg("copy") = py::none());
  cls.def("__dlpack_device__", [](const Tensor<T>&) { return std::tuple<int, int>(kDLCPU, 0); });
  cls.def("__reduce_ex__", &reduce<T>, py::arg("protocol"));
  // Called directly, object's own __reduce__ would go through pybind11's
  // common base class and abort.
  cls.def("__reduce__", [](const Tensor<T>& tensor) { return reduce<T>(tensor, 2); });
  // Tensors never change once built, so a copy, shallow or deep, is the tensor itself.
  cls.def("__copy__", [](const Tensor<T>& tensor) -> const Tensor<T>& { return tensor; },
          py::return_value_policy::reference);
  cls.def("__deepcopy__", [](const Tensor<T>& tensor, const py::object&) -> const Tensor<T>& { return tensor; },
          py::arg("memo"), py::return_value_policy::reference);
  // Plain methods like the other operators: a foreign operand raises
  // TypeError at once.
  cls.def("__matmul__", &dot<T>);
  if constexpr (std::is_floating_point_v<T>) {
    // Integer tensors keep / undefined: it means true division, and their
    // __divide__ truncates.
    cls.def("__truediv__", &div<T>);
  }
  bind_numbers<T>(cls);
}

template <class T>
void bind_array_factory(py::module_& module) {
  module.def(array_function_name<T>().c_str(), &import_any<T>, py::arg("data"), py::pos_only());
}

// _restore_<type> is a plain C function whose self is the module, because
// pybind11 pickles its own function objects as a call of eval(), which
// restricted unpicklers (and careful readers) refuse; this one pickles as its
// name, halvorn._restore_<type>. Its arguments go through pybind11's casters
// and its exceptions through pybind11's translators, as a bound function's do.
template <class T>
PyObject* restore_entry(PyObject*, PyObject* const* arguments, Py_ssize_t count) {
  try {
    py::detail::make_caster<Shape> shape;
    py::detail::make_caster<std::variant<py::buffer, py::str>> values;
    if (count != 2 || !shape.load(arguments[0], true) || !values.load(arguments[1], true)) {
      throw py::type_error(std::string("_restore_") + ElementTraits<T>::word +
                           "() takes a shape and the values (bytes or base64 text)");
    }
    return py::cast(restore<T>(py::detail::cast_op<const Shape&>(shape),
                               py::detail::cast_op<const std::variant<py::buffer, py::str>&>(values)))
        .release()
        .ptr();
  } catch (...) {
    py::detail::try_translate_exceptions();
    return nullptr;
  }
}

template <class T>
void bind_restore(py::module_& module) {
  static const std::string name = std::string("_restore_") + ElementTraits<T>::word;
  // The leading "name(...)\n--\n\n" becomes the function's signature.
  static const std::string doc = name + "(shape, values, /)\n--\n\nRebuilds a pickled tensor.";
  static PyMethodDef definition{name.c_str(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&restore_entry<T>)),
                                METH_FASTCALL, doc.c_str()};
  py::object entry = py::reinterpret_steal<py::object>(PyCFunction_NewEx(&definition, module.ptr(), module.attr("__name__").ptr()));
  if (!entry) throw py::error_already_set();
  module.attr(name.c_str()) = entry;
}

inline void bind_array_factories(py::module_& module) {
  bind_array_factory<short>(module);
  bind_array_factory<int>(module);
  bind_array_factory<float>(module);
  bind_array_factory<double>(module);
  bind_restore<short>(module);
  bind_restore<int>(module);
  bind_restore<float>(module);
  bind_restore<double>(module);
}

}  // namespace halvorn::interop
