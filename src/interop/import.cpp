// In: quorva_array_<type>, a copy of someone else's numbers. A tensor of the
// same class is copied as it is; then, in this order, the buffer protocol,
// DLPack, NumPy's __array__, and nested sequences of numbers.
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/operations/arithmetic.h"
#include "interop/interop_internal.h"

namespace halvorn::interop {
namespace {

// ---------------------------------------------------------------------------
// The buffer protocol.

template <class T>
Tensor<T> import_buffer(PyObject* data, bool as_task = false) {
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_RECORDS_RO) != 0) {
    py::raise_from(PyExc_TypeError,
                   (array_function_name<T>() + "(): the object's buffer cannot be read").c_str());
    throw py::error_already_set();
  }
  struct Release {
    Py_buffer* view;
    ~Release() { PyBuffer_Release(view); }
  } release{&view};

  const char* format = view.format != nullptr ? view.format : "B";
  const ParsedFormat parsed = parse_buffer_format(format, static_cast<std::size_t>(view.itemsize));
  if (parsed.verdict == ParsedFormat::Verdict::complex_number) {
    raise_type<T>(std::string("complex numbers (buffer format '") + format +
                  "') have no place in a real tensor");
  }
  if (parsed.verdict == ParsedFormat::Verdict::unsupported) {
    raise_type<T>(std::string("buffer format '") + format + "' with item size " +
                  std::to_string(view.itemsize) + " is not a single number");
  }
  // What was asked for is a shape and steps, and no suboffsets: an exporter
  // that breaks those rules is refused rather than read wrongly.
  if (view.ndim < 0 || (view.ndim > 0 && view.shape == nullptr)) {
    throw py::buffer_error(array_function_name<T>() +
                           "(): the buffer has no shape for its dimensions");
  }
  if (view.suboffsets != nullptr) {
    throw py::buffer_error(array_function_name<T>() +
                           "(): the buffer has suboffsets, which were not asked for");
  }
  StridedBlock block;
  block.first = static_cast<const std::byte*>(view.buf);
  block.format = parsed.format;
  for (int d = 0; d < view.ndim; ++d) {
    if (view.shape[d] < 0) raise_type<T>("the buffer has a negative extent");
    block.shape.push_back(static_cast<std::uint64_t>(view.shape[d]));
  }
  const std::uint64_t count = set_steps<T>(block, view.strides, 1, view.itemsize, "buffer");
  if (block.first == nullptr && count != 0) {
    throw py::buffer_error(array_function_name<T>() + "(): the buffer has elements but no data");
  }
  if (as_task) {
    // The buffer stays held, so its memory cannot go while the lock is free.
    ImportResult<T> imported = [&] {
      const TaskWork work;
      return import_block<T>(block);
    }();
    return finish_import<T>(std::move(imported), block.shape, "buffer");
  }
  return finish_import<T>(import_block<T>(block), block.shape, "buffer");
}

// ---------------------------------------------------------------------------
// Nested sequences of numbers, shaped as NumPy shapes them.

// Deeper nesting than NumPy allows is refused; it also stops a list that
// contains itself.
inline constexpr std::size_t deepest_nesting = 64;

inline bool is_nested_sequence(PyObject* object) {
  if (PyList_Check(object) || PyTuple_Check(object)) return true;
  if (PyUnicode_Check(object) || PyBytes_Check(object)) return false;
  return PySequence_Check(object) != 0;
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
        throw py::value_error(array_function_name<T>() +
                              "(): sequences nested deeper than 64 levels");
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
    throw py::value_error(
        array_function_name<T>() + "(): ragged nesting at " + where(depth) + ": expected " +
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
      if (static_cast<std::uint64_t>(PySequence_Fast_GET_SIZE(items.ptr())) != length)
        changed(depth);
      position_.resize(shape_.size());
      position_[depth] = i;
      const py::object item =
          py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(items.ptr(), i));
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
      if (static_cast<std::uint64_t>(PySequence_Fast_GET_SIZE(items.ptr())) != length)
        changed(depth);
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
    if (std::string brief = brief_tensor_text(object); !brief.empty()) return brief;
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
          PyErr_SetString(PyExc_OverflowError,
                          (array_function_name<T>() + "(): " + shown(integer) +
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
      return negative != 0 ? -std::numeric_limits<float>::infinity()
                           : std::numeric_limits<float>::infinity();
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
    if (is_complex(item))
      refuse(depth, "is complex (" + shown(item) + "); tensors hold real numbers");
    if (PyIndex_Check(item) != 0) {
      const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(item));
      if (!index) throw py::error_already_set();
      return from_integer(index.ptr(), depth);
    }
    const bool has_float =
        Py_TYPE(item)->tp_as_number != nullptr && Py_TYPE(item)->tp_as_number->nb_float != nullptr;
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
// The entry point.

template <class T>
Tensor<T> import_any(const py::object& data) {
  PyObject* object = data.ptr();
  if (PyUnicode_Check(object) || PyBytes_Check(object)) {
    raise_type<T>(std::string("a ") + type_name(object) + " is not a sequence of numbers");
  }
  // A tensor of the same class: its packets as they are.
  if (const Tensor<T>* same = tensor_of<T>(data)) {
    const Tensor<T>& source = *same;
    Tensor<T> copy(source.shape);
    if (copy.data.size() > 0) {
      std::memcpy(static_cast<void*>(copy.data.packets), source.data.packets,
                  16 * copy.data.size());
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

}  // namespace

template <class T>
Tensor<T> import_for_task(const py::object& data) {
  if (tensor_of<T>(data) == nullptr && PyObject_CheckBuffer(data.ptr()) != 0) {
    return import_buffer<T>(data.ptr(), true);
  }
  return import_any<T>(data);
}

// A held buffer of T's own values, C-contiguous, or TypeError.
template <class T>
struct ValuesBuffer {
  Py_buffer view{};
  bool held = false;
  ValuesBuffer(const py::object& data, bool writable) {
    const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(data.ptr(), &view, flags) != 0) throw py::error_already_set();
    held = true;
    const ParsedFormat parsed = parse_buffer_format(view.format != nullptr ? view.format : "B",
                                                    static_cast<std::size_t>(view.itemsize));
    const ParsedFormat own = parse_buffer_format(py::format_descriptor<T>::format(), sizeof(T));
    if (parsed.verdict != ParsedFormat::Verdict::number || parsed.format.type != own.format.type ||
        parsed.format.byte_swapped || view.itemsize != static_cast<Py_ssize_t>(sizeof(T))) {
      throw py::type_error(std::string("values of an ") + ElementTraits<T>::word +
                           " operation must be that type's own, in this machine's byte order");
    }
  }
  ValuesBuffer(const ValuesBuffer&) = delete;
  ValuesBuffer& operator=(const ValuesBuffer&) = delete;
  ~ValuesBuffer() {
    if (held) PyBuffer_Release(&view);
  }
  Shape shape() const {
    Shape extents;
    for (int d = 0; d < view.ndim; ++d)
      extents.push_back(static_cast<std::uint64_t>(view.shape[d]));
    return extents;
  }
};

template <class T>
void operate_for_task(const std::string& operation, const py::object& a, const py::object& b,
                      const py::object& out) {
  if (operation != "add" && operation != "sub" && operation != "mul" && operation != "div") {
    throw py::value_error("no operation " + operation);
  }
  const ValuesBuffer<T> left(a, false), right(b, false), result(out, true);
  const Shape shape = left.shape();
  if (right.view.len != left.view.len || result.view.len != left.view.len) {
    throw py::type_error("the values of an element-wise operation must be as many in each array");
  }
  const TaskWork work;
  operate_on_values<T>(operation.c_str(), left.view.buf, right.view.buf, result.view.buf, shape);
}

template <class T>
void bind_array_factory(py::module_& module) {
  module.def(array_function_name<T>().c_str(), &import_any<T>, py::arg("data"), py::pos_only());
}

#define HALVORN_INSTANTIATE(T)                                                                \
  template void bind_array_factory<T>(py::module_&);                                          \
  template Tensor<T> import_for_task<T>(const py::object&);                                   \
  template void operate_for_task<T>(const std::string&, const py::object&, const py::object&, \
                                    const py::object&);
HALVORN_FOR_EACH_ELEMENT_TYPE(HALVORN_INSTANTIATE)
#undef HALVORN_INSTANTIATE

}  // namespace halvorn::interop
