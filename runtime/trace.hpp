// Where native code shows up in tracebacks and log records.
//
// An exception that leaves a native function or a native coroutine step
// gets a traceback entry, as one leaving a Python frame would: its file is
// the C++ source (relative to the repository), its line the one where the
// error was raised, and its name the function's Python-visible qualified
// name.  Log records made by the modules carry the same kind of location.
// Nothing here runs on a success path except the `Running` scope, which
// records which native function's code is running (one thread-local store
// and restore per call or coroutine step).
#pragma once

#include "error.hpp"

namespace rt {

// A location inside this runtime layer (or an unknown one), which says
// nothing useful about the module code that called into it.
bool in_runtime(Where where) noexcept;

// Add a traceback entry to the pending error.
void add_traceback(PyObject* qualname, Where where) noexcept;

namespace detail {
// Borrowed: the function object (and so its qualified name) outlives the
// call or step that set it.  Constant-initialised, so reading it needs no
// guard or wrapper call.
[[gnu::tls_model("initial-exec")]] inline constinit thread_local PyObject* running = nullptr;
}  // namespace detail

// The qualified name of the native function (or coroutine) whose code is
// running on this thread, borrowed; null outside native code.
inline PyObject* running_qualname() noexcept { return detail::running; }

class Running {
public:
    explicit Running(PyObject* qualname) noexcept : previous_(detail::running) { detail::running = qualname; }
    ~Running() { detail::running = previous_; }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

private:
    PyObject* previous_;
};

}  // namespace rt
