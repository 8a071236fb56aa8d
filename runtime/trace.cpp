#include "trace.hpp"

#include <frameobject.h>

#include <cstdint>
#include <cstring>
#include <iterator>

namespace rt {

bool in_runtime(Where where) noexcept {
    if (!where.file) return true;
    return std::strncmp(where.file, "runtime/", 8) == 0 || std::strstr(where.file, "/runtime/") != nullptr;
}

namespace {

// Code objects of the entries made so far, by raise site: an error path taken
// again (a retried operation, a loop) reuses its code object instead of
// making a new one each time.  Kept for the life of the process, like
// interned names; only touched with the interpreter's lock held.
struct CodeSlot {
    const char* file;
    unsigned line;
    PyCodeObject* code;
};
CodeSlot g_codes[64];
PyObject* g_globals = nullptr;  // the entries' (empty) globals

PyCodeObject* code_for(const char* name, Where where) {
    const auto key = reinterpret_cast<uintptr_t>(where.file) ^ (uintptr_t{where.line} * 0x9E3779B1u);
    CodeSlot& slot = g_codes[(key ^ (key >> 7)) % std::size(g_codes)];
    if (slot.code && slot.file == where.file && slot.line == where.line &&
        PyUnicode_CompareWithASCIIString(slot.code->co_name, name) == 0) {
        return reinterpret_cast<PyCodeObject*>(Py_NewRef(slot.code));
    }
    PyCodeObject* code = PyCode_NewEmpty(where.file, name, static_cast<int>(where.line));
    if (!code) return nullptr;
    Py_XSETREF(slot.code, reinterpret_cast<PyCodeObject*>(Py_NewRef(code)));
    slot.file = where.file;
    slot.line = where.line;
    return code;
}

}  // namespace

void add_traceback(PyObject* qualname, Where where) noexcept {
    if (!where.file || !PyErr_Occurred()) return;
    // Building the entry must not disturb the error it is for.
    PyObject* exc = PyErr_GetRaisedException();
    const char* name = qualname ? PyUnicode_AsUTF8(qualname) : nullptr;
    if (!name) {
        PyErr_Clear();
        name = "<native>";
    }
    if (!g_globals) g_globals = PyDict_New();
    PyCodeObject* code = g_globals ? code_for(name, where) : nullptr;
    PyFrameObject* frame = code ? PyFrame_New(PyThreadState_Get(), code, g_globals, nullptr) : nullptr;
    PyErr_Clear();  // an entry that cannot be made is left out
    PyErr_SetRaisedException(exc);
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

}  // namespace rt
