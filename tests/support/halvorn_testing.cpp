// halvorn_testing: a companion module for the Python tests, never installed.
//
// The module's public surface has no way to build a tensor from chosen values,
// which property tests need, nor a view of the lanes behind an element, nor a
// way to pick the kernels' instruction set. This module gives the tests those
// three, on real
// halvorn tensors: it registers no class of its own, so a Tensor<T> it returns
// becomes an instance of halvorn's class for T (pybind11 finds the type in the
// registry that both modules share), and a halvorn tensor passed in arrives
// as that instance's own Tensor<T>.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core/operations/dot_kernels.h"
#include "core/primitives/kernel_builds.h"
#include "core/storage/tensor.h"
#include "interop/native_casters.h"
#include "module/instruction_set_control.h"
#include "peak.h"

namespace py = pybind11;

namespace halvorn {
namespace {

// A tensor of `shape` whose elements, in storage order, are `values`, each
// broadcast into every lane as the factories do.
template <class T>
Tensor<T> build(const Shape& shape, const std::vector<T>& values) {
  Tensor<T> tensor(shape, T(0));
  if (tensor.data.size() != values.size()) {
    throw py::value_error("the shape holds " + std::to_string(tensor.data.size()) +
                          " elements, but " + std::to_string(values.size()) + " values came");
  }
  for (std::uint64_t i = 0; i < values.size(); ++i) tensor.data[i] = values[i];
  return tensor;
}

// The raw bytes of every packet, 16 per element in storage order.
template <class T>
py::bytes packet_bytes(const Tensor<T>& tensor) {
  return py::bytes(reinterpret_cast<const char*>(tensor.data.packets),
                   static_cast<py::ssize_t>(tensor.data.size() * 16));
}

InstructionSet instruction_set(const std::string& name) {
  for (int set = 0; set < instruction_set_count; ++set) {
    if (name == instruction_set_name(static_cast<InstructionSet>(set))) {
      return static_cast<InstructionSet>(set);
    }
  }
  throw py::value_error("no instruction set is called '" + name + "'");
}

// The instruction sets this CPU runs, narrowest first.
std::vector<std::string> instruction_sets() {
  std::vector<std::string> usable;
  for (const InstructionSet set : usable_instruction_sets()) {
    usable.emplace_back(instruction_set_name(set));
  }
  return usable;
}

const InstructionSetControl& module_control() {
  const InstructionSetControl* control = module_instruction_set_control();
  if (control == nullptr)
    throw py::import_error("halvorn has not published its instruction set control");
  return *control;
}

// Caps the instruction set that halvorn's own kernels use (never above what
// the CPU runs) and returns the set they use from now on.
std::string cap_kernels(const std::string& name) {
  return instruction_set_name(module_control().cap(instruction_set(name)));
}

// dot() with the kernel of one instruction set, laid out as dot() lays out
// each case for its kernel: vector x matrix and matrix x matrix as they come,
// matrix x vector as the vector times the matrix's transpose. Operands dot()
// would refuse raise ValueError here instead of ending the process.
template <class T>
Tensor<T> dot_with(const std::string& isa, const Tensor<T>& a, const Tensor<T>& b) {
  const InstructionSet set = instruction_set(isa);
  if (set > widest_instruction_set()) {
    throw py::value_error("this CPU cannot run the " + isa + " kernel");
  }
  const std::size_t rank_a = a.shape.size();
  const std::size_t rank_b = b.shape.size();
  const bool vector_matrix = rank_a == 1 && rank_b == 2;
  const bool matrix_vector = rank_a == 2 && rank_b == 1;
  const bool matrix_matrix = rank_a == 2 && rank_b == 2;
  if (!(vector_matrix || matrix_vector || matrix_matrix)) throw py::value_error("ranks");
  const std::uint64_t rows = vector_matrix ? 1 : a.shape[0];
  const std::uint64_t inner = a.shape[rank_a - 1];
  const std::uint64_t columns = matrix_vector ? 1 : b.shape[1];
  if (b.shape[0] != inner) throw py::value_error("extents");
  Shape result_shape;
  if (vector_matrix) result_shape = {columns};
  if (matrix_vector) result_shape = {rows};
  if (matrix_matrix) result_shape = {rows, columns};
  Tensor<T> result(result_shape);
  if (result.data.size() == 0) return result;
  const DotProblem<T> problem =
      matrix_vector
          ? DotProblem<T>{b.data.packets, a.data.packets, result.data.packets, 1, inner, rows, 1,
                          inner}
          : DotProblem<T>{a.data.packets,
                          b.data.packets,
                          result.data.packets,
                          rows,
                          inner,
                          columns,
                          columns,
                          1};
  dot_kernels_builds.of(set).of<T>()(problem);
  return result;
}

// An exporter that breaks the buffer protocol's rules in one way, as a faulty
// library might, over the int32 values 1 to 6 (2 x 3): "suboffsets" lays the
// rows out behind pointers (PIL's layout) and says so with suboffsets whether
// they were asked for or not; "no-shape" gives one dimension and no shape;
// "negative-ndim" gives -1 dimensions.
struct RuleBreaker {
  PyObject_HEAD std::int32_t values[6];
  const std::int32_t* rows[2];
  Py_ssize_t shape[2];
  Py_ssize_t strides[2];
  Py_ssize_t suboffsets[2];
  int kind;
};

const std::vector<std::string> rule_breaker_kinds = {"suboffsets", "no-shape", "negative-ndim"};

int rule_breaker_buffer(PyObject* self, Py_buffer* view, int /*flags*/) {
  auto* breaker = reinterpret_cast<RuleBreaker*>(self);
  const bool indirect = breaker->kind == 0;
  view->obj = Py_NewRef(self);
  view->buf = indirect ? static_cast<void*>(breaker->rows) : static_cast<void*>(breaker->values);
  view->len = sizeof breaker->values;
  view->itemsize = sizeof(std::int32_t);
  view->readonly = 1;
  view->format = const_cast<char*>("i");
  view->ndim = breaker->kind == 2 ? -1 : breaker->kind == 1 ? 1 : 2;
  view->shape = breaker->kind == 1 ? nullptr : breaker->shape;
  view->strides = breaker->strides;
  view->suboffsets = indirect ? breaker->suboffsets : nullptr;
  view->internal = nullptr;
  return 0;
}

void rule_breaker_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_Free(self);
  Py_DECREF(type);
}

// Owned by the module's attribute RuleBreaker.
PyTypeObject* rule_breaker_type = nullptr;

py::object rule_breaking_buffer(const std::string& kind) {
  const auto found = std::find(rule_breaker_kinds.begin(), rule_breaker_kinds.end(), kind);
  if (found == rule_breaker_kinds.end()) throw py::value_error("no such kind: " + kind);
  RuleBreaker* breaker = PyObject_New(RuleBreaker, rule_breaker_type);
  if (breaker == nullptr) throw py::error_already_set();
  for (int i = 0; i < 6; ++i) breaker->values[i] = i + 1;
  breaker->rows[0] = breaker->values;
  breaker->rows[1] = breaker->values + 3;
  breaker->shape[0] = 2;
  breaker->shape[1] = 3;
  breaker->kind = static_cast<int>(found - rule_breaker_kinds.begin());
  // Through the row pointers, or straight through the values.
  breaker->strides[0] = breaker->kind == 0 ? static_cast<Py_ssize_t>(sizeof(void*)) : 12;
  breaker->strides[1] = 4;
  breaker->suboffsets[0] = 0;
  breaker->suboffsets[1] = -1;
  return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(breaker));
}

void bind_rule_breaker(py::module_& module) {
  static PyType_Slot slots[] = {{Py_bf_getbuffer, reinterpret_cast<void*>(&rule_breaker_buffer)},
                                {Py_tp_dealloc, reinterpret_cast<void*>(&rule_breaker_dealloc)},
                                {0, nullptr}};
  static PyType_Spec spec = {"halvorn_testing.RuleBreaker", sizeof(RuleBreaker), 0,
                             Py_TPFLAGS_DEFAULT, slots};
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) throw py::error_already_set();
  module.attr("RuleBreaker") = py::reinterpret_steal<py::object>(type);
  rule_breaker_type = reinterpret_cast<PyTypeObject*>(type);
  module.def("rule_breaking_buffer", &rule_breaking_buffer);
}

template <class T>
void bind_type(py::module_& module) {
  module.def((std::string("build_") + ElementTraits<T>::word).c_str(), &build<T>);
  module.def("packet_bytes", &packet_bytes<T>);
  module.def("dot_with", &dot_with<T>);
}

}  // namespace

// The peak (peak.cpp) runs in the vectors of this set.
std::string testing::chosen_kernel_set() { return instruction_set_name(module_control().chosen()); }

}  // namespace halvorn

PYBIND11_MODULE(halvorn_testing, module) {
  using namespace halvorn;
  // The tensor classes must be registered before anything here returns one.
  py::module_::import("halvorn");
  for_each_element_type([&]<class T>() { bind_type<T>(module); });
  module.def("instruction_sets", &instruction_sets);
  module.def("cap_kernels", &cap_kernels);
  module.def("chosen_kernels", &testing::chosen_kernel_set);
  bind_rule_breaker(module);
  // For the benchmark: the exact-order peak it holds dot against.
  module.def("peak_multiply_add_float32", &testing::peak_multiply_add_float32, py::arg("pairs"),
             py::arg("factor"), py::arg("addend"), py::arg("chains") = 16);
  module.def("peak_multiply_add_float64", &testing::peak_multiply_add_float64, py::arg("pairs"),
             py::arg("factor"), py::arg("addend"), py::arg("chains") = 16);
  module.def("peak_multiply_add_int32", &testing::peak_multiply_add_int32);
  module.def("peak_multiply_add_int16", &testing::peak_multiply_add_int16);
  module.def("peak_vector_width", &testing::peak_vector_width);
  module.def("peak_vector_bytes", &testing::peak_vector_bytes);
  // For the benchmark's call floor: what pybind11 spends getting two tensors
  // into native code and back, with the same caster and the type record held
  // as halvorn holds it, and no work.
  remember_type<Tensor<double>>();
  module.def("binding_floor", [](const Tensor<double>&, const Tensor<double>&) {});
}
