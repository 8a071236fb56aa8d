#include "error.hpp"

#include "trace.hpp"

#include <cstdarg>
#include <new>

namespace rt {

PyException::PyException(Where where) : exc_(Ref::steal(PyErr_GetRaisedException())), where_(where) {
    if (!exc_) {
        PyErr_SetString(PyExc_SystemError, "error thrown without a Python exception set");
        exc_ = Ref::steal(PyErr_GetRaisedException());
    }
}

void PyException::restore() noexcept {
    PyErr_SetRaisedException(exc_.release());
}

Ref PyException::text() const noexcept {
    PyObject* s = PyObject_Str(exc_.get());
    if (!s) {
        PyErr_Clear();
        s = PyUnicode_FromString("");
    }
    return Ref::steal(s);
}

void throw_pending(Where where) { throw PyException(where); }

void raise(PyObject* type, const char* message, Where where) {
    PyErr_SetString(type, message);
    throw PyException(where);
}

void raise_formatted(PyObject* type, Where where, const char* format, ...) {
    va_list va;
    va_start(va, format);
    PyErr_FormatV(type, format, va);
    va_end(va);
    throw PyException(where);
}

void set_error_from_current() noexcept {
    Where ignored;
    set_error_from_current(ignored);
}

void set_error_from_current(Where& where) noexcept {
    try {
        throw;
    } catch (PyException& e) {
        where = e.where();
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

void set_error_leaving(PyObject* qualname, Where fallback) noexcept {
    Where where;
    set_error_from_current(where);
    add_traceback(qualname, in_runtime(where) ? fallback : where);
}

}  // namespace rt
