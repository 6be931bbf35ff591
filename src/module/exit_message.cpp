#include "module/exit_message.h"

#include <pybind11/eval.h>
#include <pybind11/pybind11.h>

#include "core/misuse/fatal.h"
#include "interop/interop.h"
#include "module/notebook_message_source.h"

namespace halvorn {
namespace {

namespace py = pybind11;

// notebook_message.py's _deliver, for the life of the process, since the
// hook it serves is the process's.
PyObject* deliver_to_notebook = nullptr;

// Text that Python code printed before a misuse ends the process is still
// waiting in sys.stdout's buffer (block-buffered when it is a pipe or a file);
// the exit would drop it. Errors from the flush are dropped.
void flush_python_streams() noexcept {
  for (const char* name : {"stdout", "stderr"}) {
    PyObject* stream = PySys_GetObject(name);
    if (stream == nullptr || stream == Py_None) continue;
    PyObject* result = PyObject_CallMethod(stream, "flush", nullptr);
    Py_XDECREF(result);
    PyErr_Clear();
  }
}

// True when the message went to a notebook cell instead; errors count as false.
bool delivered_to_notebook(const char* message) noexcept {
  if (deliver_to_notebook == nullptr) return false;
  PyObject* result = PyObject_CallFunction(deliver_to_notebook, "s", message);
  const bool delivered = result == Py_True;
  Py_XDECREF(result);
  PyErr_Clear();
  return delivered;
}

// Python runs only where it can: initialised, not shutting down, and the GIL
// held by this thread. Anywhere else the core writes the message to fd 2 as it
// always did. An exception that was already pending is kept.
bool before_fail(const char* message) noexcept {
  if (!python_can_run_here()) return false;
  PyObject* pending = PyErr_GetRaisedException();
  flush_python_streams();
  const bool delivered = delivered_to_notebook(message);
  PyErr_SetRaisedException(pending);
  return delivered;
}

}  // namespace

// Runs notebook_message.py once per process (a second import reuses it) and
// sets the hook.
void set_python_before_fail_hook() {
  if (deliver_to_notebook == nullptr) {
    py::dict scope;
    scope["__builtins__"] = py::module_::import("builtins");
    py::exec(notebook_message_source, scope);
    deliver_to_notebook = py::object(scope["_deliver"]).release().ptr();
  }
  set_before_fail_hook(&before_fail);
}

}  // namespace halvorn
