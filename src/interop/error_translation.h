// How native exceptions reach Python beside pybind11's bound functions: in
// plain C functions, through pybind11's own translators, and as the
// MemoryError behind a failed allocation, wherever pybind11 would report it
// as something else. Its uses of pybind11's internals are listed in
// pybind11_internals_used.h.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>

#include "interop/pybind11_internals_used.h"

namespace halvorn {

// pybind11 reports an allocation that the interpreter refused while it turns
// a result into Python objects as a TypeError ("Unable to convert function
// return value") caused by the MemoryError: the MemoryError is raised.
inline void surface_memory_error() noexcept {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* raised = PyErr_GetRaisedException();
  PyObject* cause = PyException_GetCause(raised);
  if (cause != nullptr && PyErr_GivenExceptionMatches(cause, PyExc_MemoryError)) {
    Py_DECREF(raised);
    PyErr_SetRaisedException(cause);
    return;
  }
  Py_XDECREF(cause);
  PyErr_SetRaisedException(raised);
}

// The body of a plain C function (METH_FASTCALL, for what pybind11's own
// functions cannot be: a pickle reconstructor that pickles as its name, a
// method without pybind11's call overhead): the new reference `body` returns,
// or null with any exception it throws made the pending Python error, as
// pybind11's translators make it for a bound function.
template <class Body>
PyObject* call_translating(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    pybind11::detail::try_translate_exceptions();
    surface_memory_error();
    return nullptr;
  }
}

// An exception that native code throws while the interpreter's MemoryError is
// pending comes of that refusal (pybind11's "Could not allocate list object!",
// a cast that got no object): the MemoryError is what is raised.
inline void raise_pending_memory_errors() {
  pybind11::register_local_exception_translator([](std::exception_ptr thrown) {
    if (PyErr_Occurred() != nullptr && PyErr_ExceptionMatches(PyExc_MemoryError)) return;
    std::rethrow_exception(thrown);
  });
}

}  // namespace halvorn
