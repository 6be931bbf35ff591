#include "module/error_settings.h"

#include <pybind11/pybind11.h>

#include <atomic>
#include <string>

#include "core/misuse/misuse.h"
#include "interop/interop.h"
#include "module/embedded_python.h"
#include "module/error_settings_source.h"

namespace halvorn {

namespace py = pybind11;

namespace {

// One variable for the life of the process, shared by every import of the
// module (a reload included), so that no import's setting goes unread.
PyObject* misuse_setting = nullptr;

// Plain process memory: a forked child starts with its parent's default, a
// spawned one from "exit".
std::atomic<bool> process_default_raises{false};

// The policy the core asks: "raise" in the current context, and always in a
// task's native work (TaskWork). Python can only be asked on a thread that
// holds the interpreter lock, and an exception is only taken while the
// interpreter runs (not in a __del__ of its shutdown); anywhere else the
// misuse ends the process, as it always did.
bool misuse_raises() noexcept {
  if (TaskWork::running()) return true;
  if (misuse_setting == nullptr || !python_can_run_here() || Py_IsFinalizing()) return false;
  PyObject* pending = PyErr_GetRaisedException();
  PyObject* value = nullptr;
  bool raising = false;
  if (PyContextVar_Get(misuse_setting, nullptr, &value) == 0) {
    if (value == nullptr) {
      raising = process_default_raises.load();
    } else {
      raising = PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, "raise") == 0;
      Py_DECREF(value);
    }
  }
  PyErr_Clear();
  PyErr_SetRaisedException(pending);
  return raising;
}

void translate_misuse(std::exception_ptr thrown) {
  try {
    std::rethrow_exception(thrown);
  } catch (const Misuse& misuse) {
    PyObject* type = misuse.kind() == MisuseKind::zero_divisor ? PyExc_ZeroDivisionError
                     : misuse.kind() == MisuseKind::storage    ? PyExc_MemoryError
                                                               : PyExc_ValueError;
    PyErr_SetString(type, misuse.what());
  }
}

}  // namespace

void bind_error_settings(py::module_& module) {
  if (misuse_setting == nullptr) {
    // No default: unset means "follow the process default".
    misuse_setting = PyContextVar_New("halvorn_misuse", nullptr);
    if (misuse_setting == nullptr) throw py::error_already_set();
  }
  set_misuse_policy(&misuse_raises);
  py::register_exception_translator(&translate_misuse);

  // A namespace of its own, so that the file's imports and helpers stay out of
  // the module's; functions defined there still name halvorn as their module.
  py::dict scope;
  scope["__name__"] = module.attr("__name__");
  scope["__builtins__"] = py::module_::import("builtins");
  scope["_setting"] = py::handle(misuse_setting);
  scope["_process_default"] =
      py::cpp_function([] { return py::str(process_default_raises.load() ? "raise" : "exit"); });
  // Called with one of the two checked strings only.
  scope["_set_process_default"] = py::cpp_function(
      [](const std::string& misuse) { process_default_raises.store(misuse == "raise"); });
  run_embedded_python(error_settings_source, "halvorn/error_settings.py", scope);
  for (const char* name : {"seterr", "geterr", "errstate"}) module.attr(name) = scope[name];
  // What a decorated function and a pickled errstate name, so that they
  // pickle by reference.
  for (const char* name : {"_call_with_setting", "_stepped", "_errstate_of"})
    module.attr(name) = scope[name];
}

}  // namespace halvorn
