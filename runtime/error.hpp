// Python errors as C++ exceptions.
//
// Any C API call that fails leaves a Python exception pending; the code that
// notices turns it into a `PyException` with throw_pending().  The exception
// object keeps everything Python attached to it (traceback, cause, context,
// notes).  Where control returns to the interpreter, `restore()` puts it
// back as the pending error.  Other C++ exceptions are translated there too
// (see set_error_from_current()).
#pragma once

#include "ref.hpp"

#include <exception>

namespace rt {

class PyException : public std::exception {
public:
    // Takes the pending Python error (which must exist).
    PyException();
    explicit PyException(Ref exc) noexcept : exc_(std::move(exc)) {}

    const char* what() const noexcept override { return "Python exception"; }

    // The exception instance (a BaseException).
    PyObject* value() const noexcept { return exc_.get(); }
    const Ref& ref() const noexcept { return exc_; }
    bool matches(PyObject* type) const noexcept {
        return PyErr_GivenExceptionMatches(exc_.get(), type);
    }
    // Only Exception subclasses: what `except Exception` would catch.
    bool is_ordinary() const noexcept { return matches(PyExc_Exception); }
    // Make it the pending error again (the exception is moved out).
    void restore() noexcept;
    // str(exc), or "" when even that fails.
    Ref text() const noexcept;

private:
    Ref exc_;
};

// Throw the pending Python error.
[[noreturn]] void throw_pending();
// Raise `type(message)` as a C++ exception.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raisef(PyObject* type, const char* format, ...);

// Steal a new reference; throw the pending error when it is null.
inline Ref check(PyObject* o) {
    if (!o) throw_pending();
    return Ref::steal(o);
}
inline void check_status(int rc) {
    if (rc < 0) throw_pending();
}

// At the boundary back to Python: make the exception being handled pending
// (PyException restored as is, bad_alloc as MemoryError, any other C++
// exception as RuntimeError).
void set_error_from_current() noexcept;

// Run `body` (which returns a PyObject* new reference, or a Ref) and turn any
// C++ exception into a pending Python error and a null result.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return Ref(body()).release();
    } catch (...) {
        set_error_from_current();
        return nullptr;
    }
}

}  // namespace rt
