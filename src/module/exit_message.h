// What Python does on the way out when a misuse ends the process (the core's
// exit hooks): what it printed is flushed, in a notebook kernel the message
// goes to the running cell (notebook_message.py, compiled in as text), and
// neither another failing thread nor the interpreter's own shutdown cuts that
// short.
#pragma once

namespace halvorn {

// Runs notebook_message.py and registers an atexit handler once per process
// (a second import reuses them), and sets the core's exit hooks.
void set_python_exit_hooks();

}  // namespace halvorn
