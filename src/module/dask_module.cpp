#include "module/dask_module.h"

#include <pybind11/stl.h>

#include <string>

#include "core/operations/arithmetic.h"
#include "core/operations/dot.h"
#include "interop/interop.h"
#include "module/dask_arrays_source.h"
#include "module/embedded_python.h"

namespace halvorn {

namespace py = pybind11;

void bind_dask_module(py::module_& module) {
  const std::string name = py::cast<std::string>(module.attr("__name__")) + ".dask";
  py::module_ dask_module =
      py::reinterpret_borrow<py::module_>(py::module_::import("types").attr("ModuleType")(name));
  py::dict scope = dask_module.attr("__dict__");
  scope["__builtins__"] = py::module_::import("builtins");
  scope["_halvorn"] = module;
  // The graph's checks, before anything is computed: the core's own, so that
  // the messages, the exit and the exceptions are those of halvorn's calls.
  scope["_require_same_shape"] =
      py::cpp_function([](const std::string& operation, const Shape& a, const Shape& b) {
        require_same_shape(operation.c_str(), a, b);
      });
  scope["_dot_result_shape"] = py::cpp_function(&dot_result_shape);
  // What a task runs, as TaskWork: with the interpreter lock released, and
  // its misuse raised.
  py::dict imports, operations, on_values, products, continued;
  for (const char* operation : {"add", "sub", "mul", "div"}) operations[operation] = py::dict();
  for_each_element_type([&]<class T>() {
    const char* word = ElementTraits<T>::word;
    imports[word] = py::cpp_function(&interop::import_for_task<T>);
    on_values[word] = py::cpp_function(&interop::operate_for_task<T>);
    using Operation = Tensor<T> (*)(const Tensor<T>&, const Tensor<T>&);
    const auto as_task = []<Operation operation>() {
      return py::cpp_function([](const Tensor<T>& a, const Tensor<T>& b) {
        const TaskWork work;
        return operation(a, b);
      });
    };
    operations["add"][word] = as_task.template operator()<&add<T>>();
    operations["sub"][word] = as_task.template operator()<&sub<T>>();
    operations["mul"][word] = as_task.template operator()<&mul<T>>();
    operations["div"][word] = as_task.template operator()<&div<T>>();
    products[word] = as_task.template operator()<&dot<T>>();
    continued[word] =
        py::cpp_function([](const Tensor<T>& sums, const Tensor<T>& a, const Tensor<T>& b) {
          const TaskWork work;
          return dot_continued<T>(sums, a, b);
        });
  });
  scope["_import"] = imports;
  scope["_operations"] = operations;
  scope["_operate"] = on_values;
  scope["_dot"] = products;
  scope["_dot_continued"] = continued;
  run_embedded_python(dask_arrays_source, "halvorn/dask.py", scope);
  py::module_::import("sys").attr("modules")[name.c_str()] = dask_module;
  scope["_attach"](module);
}

}  // namespace halvorn
