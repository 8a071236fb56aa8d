// Small conveniences over the C API: conversions, calls, attributes, the
// module's globals and logging.  Everything returns owning `Ref`s and throws
// `PyException` on failure.
#pragma once

#include "error.hpp"
#include "ref.hpp"

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace rt {

// ---- interned names --------------------------------------------------------

// The interned str for `s` (borrowed: one reference per distinct name is
// kept for the life of the process).
PyObject* intern(const char* s);
#define RT_NAME(s) ([]() -> PyObject* { static PyObject* n_ = ::rt::intern(s); return n_; }())

// ---- conversions -----------------------------------------------------------

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }
inline Ref str(std::string_view s) {
    return check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline Ref integer(long long v) { return check(PyLong_FromLongLong(v)); }
inline Ref floating(double v) { return check(PyFloat_FromDouble(v)); }
// PyUnicode_FromFormat, as a Ref.
Ref format(const char* fmt, ...);

inline Ref to_py(const Ref& r) { return r; }
inline Ref to_py(Ref&& r) { return std::move(r); }
inline Ref to_py(PyObject* borrowed) { return Ref::borrow(borrowed); }
inline Ref to_py(const char* s) { return str(s); }
inline Ref to_py(const std::string& s) { return str(s); }
inline Ref to_py(std::string_view s) { return str(s); }
inline Ref to_py(bool b) { return boolean(b); }
inline Ref to_py(int v) { return integer(v); }
inline Ref to_py(long v) { return integer(v); }
inline Ref to_py(long long v) { return integer(v); }
inline Ref to_py(double v) { return floating(v); }

// UTF-8 view of a str (valid while the object lives).
std::string_view utf8(PyObject* s);
// str(o) as UTF-8.
std::string to_string(PyObject* o);
// str(o)
inline Ref text_of(PyObject* o) { return check(PyObject_Str(o)); }
// Truth by Python's rules.
bool truthy(PyObject* o);
double as_double(PyObject* o);

// ---- attributes and items --------------------------------------------------

inline Ref getattr(PyObject* o, PyObject* name) { return check(PyObject_GetAttr(o, name)); }
inline Ref getattr(PyObject* o, const char* name) { return getattr(o, intern(name)); }
// Like getattr, but a missing attribute gives a null Ref instead of an error.
Ref getattr_opt(PyObject* o, PyObject* name);
template <class V>
void setattr(PyObject* o, PyObject* name, V&& v) {
    check_status(PyObject_SetAttr(o, name, to_py(std::forward<V>(v)).get()));
}
inline Ref getitem(PyObject* o, PyObject* key) { return check(PyObject_GetItem(o, key)); }
template <class V>
void setitem(PyObject* o, PyObject* key, V&& v) {
    check_status(PyObject_SetItem(o, key, to_py(std::forward<V>(v)).get()));
}

// ---- calls -----------------------------------------------------------------

template <class... A>
Ref call(PyObject* f, A&&... a) {
    if constexpr (sizeof...(A) == 0) {
        return check(PyObject_CallNoArgs(f));
    } else {
        Ref conv[] = {to_py(std::forward<A>(a))...};
        PyObject* argv[sizeof...(A) + 1];
        argv[0] = nullptr;
        for (size_t i = 0; i < sizeof...(A); ++i) argv[i + 1] = conv[i].get();
        return check(PyObject_Vectorcall(f, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         nullptr));
    }
}

template <class... A>
Ref call_method(PyObject* o, PyObject* name, A&&... a) {
    Ref conv[] = {Ref::borrow(o), to_py(std::forward<A>(a))...};
    PyObject* argv[sizeof...(A) + 1];
    for (size_t i = 0; i <= sizeof...(A); ++i) argv[i] = conv[i].get();
    return check(PyObject_VectorcallMethod(name, argv, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           nullptr));
}

// A keyword argument for call_kw.
struct Kw {
    const char* name;
    Ref value;
};
// f(*pos, **kw) with the keywords in the given order.
Ref call_kw(PyObject* f, std::initializer_list<Ref> pos, std::initializer_list<Kw> kw);

// ---- module globals --------------------------------------------------------

// The extension module whose code is running (one per shared object).
void set_module(PyObject* module);
PyObject* module();
// Look a module global up at the time of use (NameError when missing).
Ref global(PyObject* name);
inline Ref global(const char* name) { return global(intern(name)); }

// ---- logging ---------------------------------------------------------------

// One record with the text on the module's current `logger` global, at the
// level of `level_method` (the logging level number `level`).  A
// logging.Logger gets a record made with the C++ file and line of the call
// and the running native function's qualified name as its location; any
// other object gets `logger.<level_method>(text)` called.
void log(PyObject* level_method, int level, const Ref& text, Where where);
inline void log_debug(const Ref& t, Where w = Where::here()) { log(RT_NAME("debug"), 10, t, w); }
inline void log_info(const Ref& t, Where w = Where::here()) { log(RT_NAME("info"), 20, t, w); }
inline void log_warning(const Ref& t, Where w = Where::here()) { log(RT_NAME("warning"), 30, t, w); }
inline void log_error(const Ref& t, Where w = Where::here()) { log(RT_NAME("error"), 40, t, w); }
// logger.exception(text) with `exc` as the exception being handled, so the
// record carries its traceback.
void log_exception(const Ref& text, const Ref& exc, Where where = Where::here());

// Time since the epoch as the module's `time.time()` reports it.
double wall_time();

}  // namespace rt
