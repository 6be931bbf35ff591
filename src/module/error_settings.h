// seterr, geterr and errstate: whether the misuse the core finds ends the
// process (the default) or raises a Python exception.
//
// The setting is a contextvars.ContextVar, as NumPy keeps its error state:
// an asyncio task starts from its creator's setting and keeps its own changes
// to itself. A context that never set it (a new thread, a task that a pool or
// an engine runs in a fresh context) follows the process default, "exit"
// until seterr(scope="process") changes it. The native side owns both and
// reads them only after a misuse has been found; the three public names are
// Python, in error_settings.py, compiled in as text.
#pragma once

#include <pybind11/pybind11.h>

namespace halvorn {

// seterr, geterr and errstate on `module`, and the core's misuse policy and
// the translation of its Misuse to a Python exception set to follow them.
void bind_error_settings(pybind11::module_& module);

}  // namespace halvorn
