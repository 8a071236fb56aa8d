#include "api.hpp"

#include "trace.hpp"

#include <cstdarg>
#include <string>
#include <unordered_map>

namespace rt {

PyObject* intern(const char* s) {
    // One owned reference per distinct name, kept for the life of the
    // process, so callers can use the result as a borrowed reference.
    static auto* names = new std::unordered_map<std::string, PyObject*>();
    auto it = names->find(s);
    if (it != names->end()) return it->second;
    PyObject* o = PyUnicode_InternFromString(s);
    if (!o) throw_pending();
    names->emplace(s, o);
    return o;
}

Ref format(const char* fmt, ...) {
    va_list va;
    va_start(va, fmt);
    PyObject* o = PyUnicode_FromFormatV(fmt, va);
    va_end(va);
    return check(o);
}

std::string_view utf8(PyObject* s) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (!p) throw_pending();
    return {p, static_cast<size_t>(n)};
}

std::string to_string(PyObject* o) {
    Ref s = text_of(o);
    return std::string(utf8(s.get()));
}

bool truthy(PyObject* o) {
    int r = PyObject_IsTrue(o);
    if (r < 0) throw_pending();
    return r != 0;
}

double as_double(PyObject* o) {
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) throw_pending();
    return d;
}

Ref getattr_opt(PyObject* o, PyObject* name) {
    PyObject* r = nullptr;
    if (PyObject_GetOptionalAttr(o, name, &r) < 0) throw_pending();
    return Ref::steal(r);
}

Ref call_kw(PyObject* f, std::initializer_list<Ref> pos, std::initializer_list<Kw> kw) {
    const size_t np = pos.size(), nk = kw.size();
    PyObject* argv[16];
    if (np + nk + 1 > 16) raise(PyExc_SystemError, "call_kw: too many arguments");
    argv[0] = nullptr;
    size_t i = 1;
    for (const Ref& r : pos) argv[i++] = r.get();
    Ref names;
    if (nk) {
        names = check(PyTuple_New(static_cast<Py_ssize_t>(nk)));
        Py_ssize_t k = 0;
        for (const Kw& w : kw) {
            PyTuple_SET_ITEM(names.get(), k++, Ref::borrow(intern(w.name)).release());
            argv[i++] = w.value.get();
        }
    }
    return check(PyObject_Vectorcall(f, argv + 1, np | PY_VECTORCALL_ARGUMENTS_OFFSET, names.get()));
}

namespace {
PyObject* g_module = nullptr;  // borrowed: the module owns its own state
}

void set_module(PyObject* m) { g_module = m; }
PyObject* module() { return g_module; }

Ref global(PyObject* name) {
    PyObject* d = PyModule_GetDict(g_module);  // borrowed
    PyObject* v = PyDict_GetItemWithError(d, name);
    if (!v) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw_pending();
    }
    return Ref::borrow(v);
}

void log(PyObject* level_method, int level, const Ref& text, Where where) {
    static PyObject* const logger_type = [] {
        Ref logging = check(PyImport_ImportModule("logging"));
        return getattr(logging.get(), "Logger").release();  // kept for the life of the process
    }();
    Ref logger = global(RT_NAME("logger"));
    int is_logger = PyObject_IsInstance(logger.get(), logger_type);
    check_status(is_logger);
    if (!is_logger || !where.file) {
        call_method(logger.get(), level_method, text);
        return;
    }
    Ref level_number = integer(level);
    if (!truthy(call_method(logger.get(), RT_NAME("isEnabledFor"), level_number).get())) return;
    Ref exc_info = none();
    if (level_method == RT_NAME("exception")) {
        Ref exc = Ref::steal(PyErr_GetHandledException());
        if (exc && exc.get() != Py_None) {
            Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
            exc_info = check(PyTuple_Pack(3, Py_TYPE(exc.get()), exc.get(), tb ? tb.get() : Py_None));
        }
    }
    PyObject* func = running_qualname();
    Ref record = call_method(logger.get(), RT_NAME("makeRecord"), getattr(logger.get(), RT_NAME("name")),
                             level_number, str(where.file), integer(where.line), text,
                             check(PyTuple_New(0)), exc_info, Ref::borrow(func ? func : Py_None));
    call_method(logger.get(), RT_NAME("handle"), record);
}

void log_exception(const Ref& text, const Ref& exc, Where where) {
    Ref previous = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(exc.get());
    try {
        log(RT_NAME("exception"), 40, text, where);
    } catch (...) {
        PyErr_SetHandledException(previous.get());
        throw;
    }
    PyErr_SetHandledException(previous.get());
}

double wall_time() {
    Ref time_mod = global(RT_NAME("time"));
    Ref t = call_method(time_mod.get(), RT_NAME("time"));
    return as_double(t.get());
}

}  // namespace rt
