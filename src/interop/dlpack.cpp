// DLPack, both ways: __dlpack__ hands out a capsule of a read-only view of
// lane 0 of every packet (or of a copy), and quorva_array_* reads any
// producer's capsule, refusing one that breaks the protocol's rules.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "core/misuse/misuse.h"
#include "core/operations/lane_copy.h"
#include "interop/interop_internal.h"

namespace halvorn::interop {
namespace {

// Every DLPack element type halvorn reads, and the one it writes for each
// element type: the DLPack code and width of each source type.
struct DlpackType {
  std::uint8_t code;
  std::uint8_t bits;
  SourceType source;
};
constexpr DlpackType dlpack_types[] = {
    {kDLInt, 8, SourceType::int8},       {kDLInt, 16, SourceType::int16},
    {kDLInt, 32, SourceType::int32},     {kDLInt, 64, SourceType::int64},
    {kDLUInt, 8, SourceType::uint8},     {kDLUInt, 16, SourceType::uint16},
    {kDLUInt, 32, SourceType::uint32},   {kDLUInt, 64, SourceType::uint64},
    {kDLFloat, 16, SourceType::float16}, {kDLFloat, 32, SourceType::float32},
    {kDLFloat, 64, SourceType::float64}, {kDLBfloat, 16, SourceType::bfloat16},
    {kDLBool, 8, SourceType::boolean},
};

// The source type of a DLPack element; none for what is not a single number.
inline std::optional<SourceType> dlpack_source(const DLDataType& type, bool& complex_number) {
  complex_number = type.code == kDLComplex;
  if (type.lanes != 1) return std::nullopt;
  for (const DlpackType& known : dlpack_types) {
    if (known.code == type.code && known.bits == type.bits) return known.source;
  }
  return std::nullopt;
}

// The DLPack type of a tensor of T's elements.
template <class T>
constexpr DLDataType dlpack_type() {
  for (const DlpackType& known : dlpack_types) {
    if (known.source == ElementTraits<T>::source) return DLDataType{known.code, known.bits, 1};
  }
  return DLDataType{kDLOpaqueHandle, 0, 0};
}

// ---------------------------------------------------------------------------
// Out.

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
  auto* managed =
      static_cast<DLManagedTensorVersioned*>(PyCapsule_GetPointer(capsule, "dltensor_versioned"));
  managed->deleter(managed);
  PyErr_SetRaisedException(pending);
}

using VersionPair = std::optional<std::tuple<int, int>>;

template <class T>
py::capsule export_dlpack(TensorInstance<T> self, const py::object& stream,
                          const VersionPair& max_version, const VersionPair& dl_device,
                          std::optional<bool> copy) {
  const Tensor<T>& tensor = *self.value;
  if (!stream.is_none()) {
    throw py::buffer_error(
        "a halvorn tensor lives on the CPU, which has no streams: pass stream=None");
  }
  if (dl_device && *dl_device != std::tuple<int, int>(kDLCPU, 0)) {
    throw py::buffer_error(
        "a halvorn tensor lives on the CPU, device (1, 0); it cannot be exported to another "
        "device");
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
      copy_lane0(tensor.data.packets, count, holder->copy);
    }
    data = holder->copy != nullptr ? holder->copy : static_cast<void*>(empty_anchor);
    flags = DLPACK_FLAG_BITMASK_IS_COPIED;
  } else {
    // A view of lane 0 of every packet, in place; it keeps the tensor alive.
    holder->strides = steps(holder->shape, 16, static_cast<std::int64_t>(sizeof(T)));
    data = first_packet(tensor);
    flags = DLPACK_FLAG_BITMASK_READ_ONLY;
    holder->owner = self.self.inc_ref().ptr();
  }
  DLTensor view{};
  view.data = data;
  view.device = DLDevice{kDLCPU, 0};
  view.ndim = static_cast<std::int32_t>(holder->shape.size());
  view.dtype = dlpack_type<T>();
  view.shape = holder->shape.data();
  view.strides = holder->strides.data();
  view.byte_offset = 0;

  DlpackHolder* raw = holder.release();
  PyObject* capsule;
  if (versioned) {
    const int asked_minor =
        std::get<0>(*max_version) == DLPACK_MAJOR_VERSION ? std::get<1>(*max_version) : -1;
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
// In.

template <class T>
Tensor<T> import_dltensor(const DLTensor& view) {
  if (view.device.device_type != kDLCPU) {
    throw py::buffer_error(array_function_name<T>() + "(): only data on the CPU can be imported");
  }
  bool complex_number = false;
  const std::optional<SourceType> source = dlpack_source(view.dtype, complex_number);
  if (complex_number) raise_type<T>("complex numbers (DLPack) have no place in a real tensor");
  if (!source) {
    raise_type<T>("DLPack type code " + std::to_string(view.dtype.code) + ", " +
                  std::to_string(view.dtype.bits) + " bits, " + std::to_string(view.dtype.lanes) +
                  " lanes is not a single number");
  }
  // A producer that breaks the rules (through ctypes, or a faulty library)
  // is refused before anything is read.
  if (view.ndim < 0)
    throw py::buffer_error(array_function_name<T>() + "(): the DLPack tensor has a negative rank");
  if (view.ndim > 0 && view.shape == nullptr) {
    throw py::buffer_error(array_function_name<T>() +
                           "(): the DLPack tensor has no shape for its dimensions");
  }
  StridedBlock block;
  block.format = SourceFormat{*source, false};
  for (std::int32_t d = 0; d < view.ndim; ++d) {
    if (view.shape[d] < 0) raise_type<T>("the DLPack tensor has a negative extent");
    block.shape.push_back(static_cast<std::uint64_t>(view.shape[d]));
  }
  const auto bytes = static_cast<std::int64_t>(source_bytes(*source));
  if (set_steps<T>(block, view.strides, bytes, bytes, "DLPack tensor") != 0) {
    // An empty tensor's data is never read, and may be null.
    if (view.data == nullptr) {
      throw py::buffer_error(array_function_name<T>() +
                             "(): the DLPack tensor has elements but no data");
    }
    block.first = static_cast<const std::byte*>(view.data) + view.byte_offset;
  }
  return finish_import<T>(import_block<T>(block), block.shape, "DLPack tensor");
}

}  // namespace

template <class T>
Tensor<T> import_dlpack(py::handle data) {
  py::object method = data.attr("__dlpack__");
  py::object capsule;
  try {
    capsule =
        method(py::arg("max_version") = py::make_tuple(DLPACK_MAJOR_VERSION, DLPACK_MINOR_VERSION));
  } catch (py::error_already_set& error) {
    // A producer older than the versioned protocol does not know max_version.
    if (!error.matches(PyExc_TypeError)) throw;
    capsule = method();
  }
  PyObject* raw = capsule.ptr();
  if (PyCapsule_IsValid(raw, "dltensor_versioned") != 0) {
    auto* managed =
        static_cast<DLManagedTensorVersioned*>(PyCapsule_GetPointer(raw, "dltensor_versioned"));
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

template <class T>
void bind_dlpack(py::class_<Tensor<T>>& cls) {
  cls.def("__dlpack__", &export_dlpack<T>, py::kw_only(), py::arg("stream") = py::none(),
          py::arg("max_version") = py::none(), py::arg("dl_device") = py::none(),
          py::arg("copy") = py::none());
  cls.def("__dlpack_device__", [](const Tensor<T>&) { return std::tuple<int, int>(kDLCPU, 0); });
}

#define HALVORN_INSTANTIATE(T)                     \
  template Tensor<T> import_dlpack<T>(py::handle); \
  template void bind_dlpack<T>(py::class_<Tensor<T>>&);
HALVORN_FOR_EACH_ELEMENT_TYPE(HALVORN_INSTANTIATE)
#undef HALVORN_INSTANTIATE

}  // namespace halvorn::interop
