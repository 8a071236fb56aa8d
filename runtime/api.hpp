// Small conveniences over the C API: conversions, calls, attributes, the
// module's globals and logging.  Everything returns owning `Ref`s and throws
// `PyException` on failure.
#pragma once

#include "error.hpp"
#include "ref.hpp"
#include "state.hpp"

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace rt {

// ---- conversions -----------------------------------------------------------

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }
inline Ref str(std::string_view s) {
    return check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline Ref integer(long long v) { return check(PyLong_FromLongLong(v)); }
inline Ref floating(double v) { return check(PyFloat_FromDouble(v)); }
// The texts of `parts` joined, as an f-string does: str() of each part that
// is not a str, one allocation for the result.  At most 8 parts.
Ref concat(std::initializer_list<PyObject*> parts);
// PyUnicode_FromFormat, as a Ref.
Ref format(const char* fmt, ...);

inline Ref to_py(const Ref& r) { return r; }
inline Ref to_py(Ref&& r) { return std::move(r); }
inline Ref to_py(PyObject* borrowed) { return Ref::borrow(borrowed); }
inline Ref to_py(Arg a) { return Ref::borrow(a.get()); }
inline Ref to_py(const char* s) { return str(s); }
inline Ref to_py(const std::string& s) { return str(s); }
inline Ref to_py(std::string_view s) { return str(s); }
inline Ref to_py(bool b) { return boolean(b); }
inline Ref to_py(int v) { return integer(v); }
inline Ref to_py(long v) { return integer(v); }
inline Ref to_py(long long v) { return integer(v); }
inline Ref to_py(double v) { return floating(v); }

[[noreturn]] void global_missing(PyObject* name);

// UTF-8 view of a str (valid while the object lives).
std::string_view utf8(PyObject* s);
// str(o) as UTF-8.
std::string to_string(PyObject* o);
// str(o)
inline Ref text_of(PyObject* o) { return check(PyObject_Str(o)); }
// Truth by Python's rules.
bool truthy_slow(PyObject* o);
inline bool truthy(PyObject* o) {
    if (o == Py_True) return true;
    if (o == Py_False || o == Py_None) return false;
    return truthy_slow(o);
}
double as_double(PyObject* o);

// ---- attributes and items --------------------------------------------------

// `name` is an interned str: RT_NAME("...") at the call site.
inline Ref getattr(PyObject* o, PyObject* name) { return check(PyObject_GetAttr(o, name)); }
// Like getattr, but a missing attribute gives a null Ref instead of an error.
Ref getattr_opt(PyObject* o, PyObject* name);
template <class V>
void setattr(PyObject* o, PyObject* name, V&& v) {
    check_status(PyObject_SetAttr(o, name, to_py(std::forward<V>(v)).get()));
}
// len(o) and o[i]; a plain list is read directly.
inline Py_ssize_t length(PyObject* o) {
    if (PyList_CheckExact(o)) return PyList_GET_SIZE(o);
    Py_ssize_t n = PyObject_Length(o);
    if (n < 0) throw_pending();
    return n;
}
inline Ref item(PyObject* o, Py_ssize_t i) {
    if (PyList_CheckExact(o) && i < PyList_GET_SIZE(o)) return Ref::borrow(PyList_GET_ITEM(o, i));
    return check(PySequence_GetItem(o, i));
}
// dict[key] for a dict, borrowed; null when the key is missing.  Only an
// error (in the key's hash or comparison) throws.
inline PyObject* dict_find(PyObject* dict, PyObject* key, Where where = Where::here()) {
    PyObject* v = PyDict_GetItemWithError(dict, key);
    if (!v && PyErr_Occurred()) throw_pending(where);
    return v;
}
// A look-up site: where one call site last found its key in a dict (the
// entry's position in the dict's order).  The next look-up there reads that
// one entry and takes it when it holds the key, which makes the hit certain
// (a dict's keys are unique); otherwise the hashed look-up runs and the
// position is learnt again.  Dicts of the same layout (module globals,
// instance dicts, records built alike) share positions, so most look-ups
// hash nothing.  RT_SITE is a fresh site per call site.
struct DictSite {
    Py_ssize_t pos = -1;
    unsigned short relearnt = 0;  // bounds the re-learning on large dicts
};
// A site of type T of its own for the call site where it is written (one
// static object per expansion).
#define RT_STATIC_SITE(T) ([]() -> T& { static T site_; return site_; }())
#define RT_SITE RT_STATIC_SITE(::rt::DictSite)

// The entry's key is `key`: the same object, or an equal exact str.
inline bool same_key(PyObject* k, PyObject* key) noexcept {
    return k == key || (PyUnicode_CheckExact(k) && PyUnicode_CheckExact(key) &&
                        PyUnicode_GET_LENGTH(k) == PyUnicode_GET_LENGTH(key) && PyUnicode_Compare(k, key) == 0);
}
// dict[key] at the site's position, borrowed; null when it is not there.
inline PyObject* entry_at(PyObject* dict, PyObject* key, const DictSite& site) noexcept {
    Py_ssize_t p = site.pos;
    PyObject *k, *v;
    return p >= 0 && PyDict_Next(dict, &p, &k, &v) && same_key(k, key) ? v : nullptr;
}
PyObject* dict_find_learning(PyObject* dict, PyObject* key, DictSite& site, Where where);
// dict_find through a look-up site.
inline PyObject* dict_find(PyObject* dict, PyObject* key, DictSite& site, Where where = Where::here()) {
    if (PyObject* v = entry_at(dict, key, site)) return v;
    return dict_find_learning(dict, key, site, where);
}

// An attribute-read site: how objects of the type last seen there give the
// attribute, by the generic look-up's rules.  A __slots__ member the class
// defines is read at its offset; when no class in the MRO defines the name,
// the instance dictionary's entry is read through a look-up site; anything
// else (a class attribute or descriptor, a custom __getattr__) reads
// through PyObject_GetAttr.  The class is recognised by its version tag,
// which the interpreter changes whenever the class or one of its bases
// changes; another type, or a changed class, is learnt again.
struct AttrSite {
    enum How : unsigned char {
        Generic,       // PyObject_GetAttr
        InstanceDict,  // the instance dictionary's entry, at `entry`
        Slot,          // a __slots__ member, stored at `offset` in the object
    };
    PyTypeObject* type = nullptr;  // compared, never used
    unsigned int version = 0;
    How how = Generic;
    Py_ssize_t offset = 0;
    DictSite entry;

    // Objects of `tp` read as the site learnt: the same class, unchanged.
    bool knows(PyTypeObject* tp) const noexcept { return tp == type && tp->tp_version_tag == version; }
};
#define RT_ATTR_SITE RT_STATIC_SITE(::rt::AttrSite)
// o.<name> through an attribute-read site of its own.
#define RT_ATTR(o, name) ::rt::getattr((o), RT_NAME(name), RT_ATTR_SITE)

Ref getattr_learning(PyObject* o, PyObject* name, AttrSite& site);
// o.<name> through an attribute-read site.
inline Ref getattr(PyObject* o, PyObject* name, AttrSite& site) {
    if (site.knows(Py_TYPE(o))) {
        if (site.how == AttrSite::Slot) {
            if (PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + site.offset)) {
                return Ref::borrow(v);
            }
            return getattr_learning(o, name, site);  // unset: the AttributeError
        }
        if (site.how == AttrSite::Generic) return check(PyObject_GetAttr(o, name));
        Ref dict = check(PyObject_GenericGetDict(o, nullptr));
        if (PyObject* v = entry_at(dict.get(), name, site.entry)) return Ref::borrow(v);
    }
    return getattr_learning(o, name, site);
}

// A look-up site for a watched dict (see watch()): the entry last found,
// reused while no watched dict has changed since.  For dicts that change
// rarely: module globals, sys.modules.  RT_WATCHED is a fresh one per call
// site.
struct WatchedSite {
    unsigned gen = 0;
    PyObject* dict = nullptr;   // compared only
    PyObject* value = nullptr;  // borrowed from `dict`, which has not changed since
};
#define RT_WATCHED RT_STATIC_SITE(::rt::WatchedSite)
PyObject* dict_find_watching(PyObject* dict, PyObject* key, WatchedSite& site, Where where);
// dict_find through a watched site.
inline PyObject* dict_find(PyObject* dict, PyObject* key, WatchedSite& site, Where where = Where::here()) {
    if (site.gen == watched_generation() && site.dict == dict) return site.value;
    return dict_find_watching(dict, key, site, where);
}

// An attribute-read site for an attribute that is bound once and rarely
// rebound, such as a container an object keeps for its life.  Besides what
// an AttrSite knows, it keeps the value last read from an instance
// dictionary that is watched (see watch()), and reuses it while that dict
// is still the object's and no watched dict has changed since.  Where the
// interpreter's attribute stores do not reach dict watchers, it is a plain
// AttrSite.  The object's own dict is watched: every store to its
// attributes then moves the generation on, so use it only for objects
// whose attributes change rarely.
struct KeptAttrSite : AttrSite {
    WatchedSite kept;
};
#define RT_KEPT_ATTR(o, name) ::rt::getattr((o), RT_NAME(name), RT_STATIC_SITE(::rt::KeptAttrSite))

Ref getattr_keeping(PyObject* o, PyObject* name, KeptAttrSite& site);
inline Ref getattr(PyObject* o, PyObject* name, KeptAttrSite& site) {
    if (site.kept.gen == watched_generation() && site.knows(Py_TYPE(o))) {
        // (The site keeps a value only for an instance-dictionary read.)
        Ref dict = check(PyObject_GenericGetDict(o, nullptr));
        if (dict.get() == site.kept.dict) return Ref::borrow(site.kept.value);
    }
    return getattr_keeping(o, name, site);
}

// mapping.get(key, dflt); a plain dict is read directly.
Ref get_or(PyObject* mapping, PyObject* key, PyObject* dflt = Py_None);
Ref get_or(PyObject* mapping, PyObject* key, PyObject* dflt, DictSite& site);
// mapping.get("key") and mapping.get("key", dflt) through a site of their own.
#define RT_GET(mapping, key) ::rt::get_or((mapping), RT_NAME(key), Py_None, RT_SITE)
#define RT_GET_OR(mapping, key, dflt) ::rt::get_or((mapping), RT_NAME(key), (dflt), RT_SITE)
// s[:n]; a plain str is cut directly.
Ref head(PyObject* s, Py_ssize_t n);
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

// mod.<name>: for a plain module, its dictionary's entry through a watched
// site; otherwise (or when the entry is missing) the attribute look-up.
inline Ref module_attr(PyObject* mod, PyObject* name, WatchedSite& site) {
    if (PyModule_CheckExact(mod)) {
        if (PyObject* v = dict_find(PyModule_GetDict(mod), name, site)) return Ref::borrow(v);
    }
    return getattr(mod, name);
}
#define RT_MODULE_ATTR(mod, name) ::rt::module_attr((mod), RT_NAME(name), RT_WATCHED)

// mod.<name>(*a) where `mod` is usually a module (asyncio, time, json...): a
// plain module's function is taken from its dictionary through a watched
// site, anything else is called as a method.
template <class... A>
Ref call_module_attr(WatchedSite& site, PyObject* mod, PyObject* name, A&&... a) {
    if (PyModule_CheckExact(mod)) {
        if (PyObject* f = dict_find(PyModule_GetDict(mod), name, site)) {
            Ref fn = Ref::borrow(f);
            return call(fn.get(), std::forward<A>(a)...);
        }
    }
    return call_method(mod, name, std::forward<A>(a)...);
}
#define RT_CALL_MODULE_ATTR(mod, name, ...) \
    ::rt::call_module_attr(RT_WATCHED, (mod), RT_NAME(name) __VA_OPT__(, ) __VA_ARGS__)

// f(*pos, **dict(zip(kwnames, kw))): `kwnames` is the call site's tuple of
// keyword names, RT_KW("a,b").
Ref call_kw(PyObject* f, PyObject* kwnames, std::initializer_list<Ref> pos, std::initializer_list<Ref> kw);
// o.name(*pos, **dict(zip(kwnames, kw))), without making a bound method.
Ref call_method_kw(PyObject* o, PyObject* name, PyObject* kwnames, std::initializer_list<Ref> pos,
                   std::initializer_list<Ref> kw);

// ---- module globals --------------------------------------------------------

// The extension module whose code is running.
inline PyObject* module() { return state().module; }
// Look a module global up at the time of use (NameError when missing): one
// dictionary look-up with the interned name.
inline Ref global(PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(state().dict, name);
    if (!v) global_missing(name);
    return Ref::borrow(v);
}
inline Ref global(PyObject* name, WatchedSite& site) {
    PyObject* v = dict_find(state().dict, name, site);
    if (!v) global_missing(name);
    return Ref::borrow(v);
}
// The module global "name" through a watched site of its own.
#define RT_GLOBAL(name) ::rt::global(RT_NAME(name), RT_WATCHED)

// `mod.name`, borrowed, when `mod` is a module whose attribute `name` is
// still the original function `which` (see keep_original); else null.
inline PyObject* original_in(PyObject* mod, PyObject* name, Original which, WatchedSite& site) {
    PyObject* kept = state().originals[static_cast<size_t>(which)];
    if (!kept || !PyModule_CheckExact(mod)) return nullptr;
    PyObject* f = dict_find(PyModule_GetDict(mod), name, site);
    return f == kept ? f : nullptr;
}

// ---- logging ---------------------------------------------------------------

// One record with the text on the module's current `logger` global, at the
// level of `level_method` (the logging level number `level`).  A
// logging.Logger (or subclass) gets a record made with the C++ file and line
// of the call and the running native function's qualified name as its
// location; any other object gets `logger.<level_method>(text)` called.
void log(PyObject* level_method, int level, PyObject* text, Where where);
// Whether logger.<method>(text) at `level` could do anything: false only
// when the module's `logger` is a plain logging.Logger (the class as the
// module found it at import) that is disabled or
// whose own level cache says the level is off, exactly the test its method
// would make first.  The RT_LOG_* forms skip building the text then; their
// text is a Ref or a borrowed str (RT_NAME("...")).
bool log_wanted(int level);
#define RT_LOG_AT(method, level, text)                                          \
    do {                                                                        \
        if (::rt::log_wanted(level))                                            \
            ::rt::log(RT_NAME(method), level, ::rt::Arg(text).get(), ::rt::Where::here()); \
    } while (0)
#define RT_LOG_DEBUG(text) RT_LOG_AT("debug", 10, text)
#define RT_LOG_INFO(text) RT_LOG_AT("info", 20, text)
#define RT_LOG_WARNING(text) RT_LOG_AT("warning", 30, text)
#define RT_LOG_ERROR(text) RT_LOG_AT("error", 40, text)
// logger.exception(text) with `exc` as the exception being handled, so the
// record carries its traceback.
void log_exception(PyObject* text, const Ref& exc, Where where = Where::here());
inline void log_exception(const Ref& text, const Ref& exc, Where where = Where::here()) {
    log_exception(text.get(), exc, where);
}

// Time since the epoch as the module's `time.time()` reports it.
double wall_time();

}  // namespace rt
