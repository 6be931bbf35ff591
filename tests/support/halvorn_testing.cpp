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

#include <string>
#include <vector>

#include "core/dispatch.h"
#include "core/dot_kernels.h"
#include "core/tensor.h"
#include "module/dispatch_control.h"
#include "module/tensor_caster.h"
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
  for (int set = 0; set <= static_cast<int>(widest_instruction_set()); ++set) {
    usable.emplace_back(instruction_set_name(static_cast<InstructionSet>(set)));
  }
  return usable;
}

const DispatchControl& module_control() {
  const DispatchControl* control = module_dispatch_control();
  if (control == nullptr) throw py::import_error("halvorn has not published its dispatch control");
  return *control;
}

// Caps the instruction set that halvorn's own kernels use (never above what
// the CPU runs) and returns the set they use from now on.
std::string cap_kernels(const std::string& name) {
  return instruction_set_name(module_control().cap(instruction_set(name)));
}

std::string chosen_kernels() { return instruction_set_name(module_control().chosen()); }

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
          : DotProblem<T>{a.data.packets, b.data.packets, result.data.packets, rows, inner,
                          columns, columns, 1};
  if (set == InstructionSet::sse41) dot_sse41::multiply<T>(problem);
  if (set == InstructionSet::avx2) dot_avx2::multiply<T>(problem);
  if (set == InstructionSet::avx512) dot_avx512::multiply<T>(problem);
  return result;
}

template <class T>
void bind_type(py::module_& module, const char* suffix) {
  module.def((std::string("build_") + suffix).c_str(), &build<T>);
  module.def("packet_bytes", &packet_bytes<T>);
  module.def("dot_with", &dot_with<T>);
}

}  // namespace
}  // namespace halvorn

PYBIND11_MODULE(halvorn_testing, module) {
  using namespace halvorn;
  // The tensor classes must be registered before anything here returns one.
  py::module_::import("halvorn");
  bind_type<short>(module, "int16");
  bind_type<int>(module, "int32");
  bind_type<float>(module, "float32");
  bind_type<double>(module, "float64");
  module.def("instruction_sets", &instruction_sets);
  module.def("cap_kernels", &cap_kernels);
  module.def("chosen_kernels", &chosen_kernels);
  // For the benchmark: the exact-order peak it holds dot against.
  module.def("peak_multiply_add_float32", &testing::peak_multiply_add_float32);
  module.def("peak_multiply_add_float64", &testing::peak_multiply_add_float64);
  module.def("peak_vector_width", &testing::peak_vector_width);
  // For the benchmark's call floor: what pybind11 spends getting two tensors
  // into native code and back, with the same caster and the type record held
  // as halvorn holds it, and no work.
  remember_tensor_type<double>();
  module.def("binding_floor", [](const Tensor<double>&, const Tensor<double>&) {});
}
