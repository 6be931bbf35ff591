// What Python does before a misuse ends the process (the core's before-fail
// hook): what it printed is flushed, and in a notebook kernel the message goes
// to the running cell, by notebook_message.py, compiled in as text.
#pragma once

namespace halvorn {

// Runs notebook_message.py once per process (a second import reuses it) and
// sets the core's before-fail hook: what Python printed is flushed, and in a
// notebook kernel the message goes to the running cell.
void set_python_before_fail_hook();

}  // namespace halvorn
