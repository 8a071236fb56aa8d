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
#include <source_location>

namespace rt {

// Where in the C++ sources something happened: the file as the build names
// it (relative to the repository) and the line.
struct Where {
    const char* file = nullptr;
    unsigned line = 0;
    static constexpr Where here(std::source_location l = std::source_location::current()) noexcept {
        return {l.file_name(), static_cast<unsigned>(l.line())};
    }
};

class PyException : public std::exception {
public:
    // Takes the pending Python error (which must exist).
    explicit PyException(Where where = Where::here());
    explicit PyException(Ref exc, Where where = Where::here()) noexcept
        : exc_(std::move(exc)), where_(where) {}

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
    // Where the C++ code raised it or first saw it pending.
    Where where() const noexcept { return where_; }

private:
    Ref exc_;
    Where where_;
};

// A format string that remembers the line it was written on.
struct Format {
    const char* text;
    Where where;
    Format(const char* t, Where w = Where::here()) noexcept : text(t), where(w) {}  // NOLINT: implicit
};

// Throw the pending Python error.
[[noreturn]] void throw_pending(Where where = Where::here());
// Raise `type(message)` as a C++ exception.
[[noreturn]] void raise(PyObject* type, const char* message, Where where = Where::here());
[[noreturn]] void raise_formatted(PyObject* type, Where where, const char* format, ...);
template <class... A>
[[noreturn]] void raisef(PyObject* type, Format format, A... args) {
    raise_formatted(type, format.where, format.text, args...);
}

// Steal a new reference; throw the pending error when it is null.
inline Ref check(PyObject* o, Where where = Where::here()) {
    if (!o) throw_pending(where);
    return Ref::steal(o);
}
inline void check_status(int rc, Where where = Where::here()) {
    if (rc < 0) throw_pending(where);
}

// At the boundary back to Python: make the exception being handled pending
// (PyException restored as is, bad_alloc as MemoryError, any other C++
// exception as RuntimeError).
void set_error_from_current() noexcept;
// The same, also telling where a PyException was raised.
void set_error_from_current(Where& where) noexcept;
// The same where an exception leaves a native function or coroutine step:
// the error also gets a traceback entry naming `qualname` and the C++ file
// and line where it was raised (or, for an error raised inside this runtime
// layer, `fallback`: where the function is defined).
void set_error_leaving(PyObject* qualname, Where fallback) noexcept;

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
