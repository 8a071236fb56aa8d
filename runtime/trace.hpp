// Where native code shows up in tracebacks and log records.
//
// An exception that leaves a native function or a native coroutine step
// gets a traceback entry, as one leaving a Python frame would: its file is
// the C++ source (relative to the repository), its line the one where the
// error was raised, and its name the function's Python-visible qualified
// name.  Log records made by the modules carry the same kind of location.
// Nothing here runs on a success path; which native function is running is
// recorded by the StateScope of each call or coroutine step (state.hpp).
#pragma once

#include "error.hpp"

namespace rt {

// A location inside this runtime layer (or an unknown one), which says
// nothing useful about the module code that called into it.
bool in_runtime(Where where) noexcept;

// Add a traceback entry to the pending error.
void add_traceback(PyObject* qualname, Where where) noexcept;

}  // namespace rt
