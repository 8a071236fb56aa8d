#include "error.hpp"

#include <cstdarg>
#include <new>

namespace rt {

PyException::PyException() : exc_(Ref::steal(PyErr_GetRaisedException())) {
    if (!exc_) {
        exc_ = Ref::steal(PyObject_CallOneArg(
            PyExc_SystemError, PyUnicode_FromString("error thrown without a Python exception set")));
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

void throw_pending() { throw PyException(); }

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyException();
}

void raisef(PyObject* type, const char* format, ...) {
    va_list va;
    va_start(va, format);
    PyErr_FormatV(type, format, va);
    va_end(va);
    throw PyException();
}

void set_error_from_current() noexcept {
    try {
        throw;
    } catch (PyException& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

}  // namespace rt
