#include "trace.hpp"

#include <frameobject.h>

#include <cstring>

namespace rt {

bool in_runtime(Where where) noexcept {
    if (!where.file) return true;
    return std::strncmp(where.file, "runtime/", 8) == 0 || std::strstr(where.file, "/runtime/") != nullptr;
}

void add_traceback(PyObject* qualname, Where where) noexcept {
    if (!where.file || !PyErr_Occurred()) return;
    // Building the entry must not disturb the error it is for.
    PyObject* exc = PyErr_GetRaisedException();
    const char* name = qualname ? PyUnicode_AsUTF8(qualname) : nullptr;
    if (!name) {
        PyErr_Clear();
        name = "<native>";
    }
    PyObject* globals = PyDict_New();
    PyCodeObject* code = globals ? PyCode_NewEmpty(where.file, name, static_cast<int>(where.line)) : nullptr;
    PyFrameObject* frame = code ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    PyErr_Clear();  // an entry that cannot be made is left out
    PyErr_SetRaisedException(exc);
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
    Py_XDECREF(globals);
}

}  // namespace rt
