#include "module/exit_message.h"

#include <pybind11/eval.h>
#include <pybind11/pybind11.h>

#include <atomic>

#include "core/misuse/fatal.h"
#include "interop/interop.h"
#include "module/notebook_message_source.h"

namespace halvorn {
namespace {

namespace py = pybind11;

// notebook_message.py's _deliver, for the life of the process, since the
// hook it serves is the process's.
PyObject* deliver_to_notebook = nullptr;

// The thread state of the thread that ran the atexit handler below, once it
// has: from then on the interpreter may shut down (and take the lock away from
// every other thread) whenever that thread lets the lock go, so only it may
// still run Python on the way out.
std::atomic<PyThreadState*> shutting_down{nullptr};

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

// Python runs only on a thread that holds the interpreter lock, and, once the
// interpreter may shut down, only on the thread shutting it down: a flush lets
// the lock go while it writes, and another thread that let it go then would
// never get it back, holding the stream's own lock, which the shutdown then
// waits for in vain. Anywhere else the core writes the message to fd 2, as it
// always did. An exception that was already pending is kept.
bool before_exit(const char* message) noexcept {
  if (!python_can_run_here()) return false;
  const PyThreadState* shutdown_thread = shutting_down.load();
  if (shutdown_thread != nullptr && shutdown_thread != PyThreadState_GetUnchecked()) return false;
  PyObject* pending = PyErr_GetRaisedException();
  flush_python_streams();
  const bool delivered = delivered_to_notebook(message);
  PyErr_SetRaisedException(pending);
  return delivered;
}

// A thread that fails while another is on its way out lets the interpreter
// lock go, which the exiting thread's flush and notebook delivery need.
void before_waiting() noexcept {
  if (python_can_run_here()) PyEval_SaveThread();
}

// Registered with atexit, so that it runs before the interpreter starts to
// shut down (after the threads that are not daemons have ended): while a
// failing thread is still flushing, the shutdown waits here for its end
// rather than take the interpreter lock away from it (which lost the message
// and ended with status 0, or aborted with status 134 when the thread held
// sys.stdout's lock).
void hold_shutdown_for_an_exit() {
  if (exit_under_way_elsewhere()) {
    PyEval_SaveThread();
    wait_for_exit();
  }
  shutting_down.store(PyThreadState_GetUnchecked());
}

}  // namespace

// Runs notebook_message.py once per process (a second import reuses it),
// registers the atexit handler once and sets the hooks.
void set_python_exit_hooks() {
  if (deliver_to_notebook == nullptr) {
    py::dict scope;
    scope["__builtins__"] = py::module_::import("builtins");
    py::exec(notebook_message_source, scope);
    deliver_to_notebook = py::object(scope["_deliver"]).release().ptr();
    py::module_::import("atexit").attr("register")(py::cpp_function(&hold_shutdown_for_an_exit));
  }
  set_exit_hooks({&before_exit, &before_waiting});
}

}  // namespace halvorn
