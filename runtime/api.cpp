#include "api.hpp"
#include "trace.hpp"

#include <algorithm>
#include <cstdarg>
#include <string>

namespace rt {

Ref concat(std::initializer_list<PyObject*> parts) {
    constexpr size_t kMax = 8;
    if (parts.size() > kMax) raise(PyExc_SystemError, "concat: too many parts");
    PyObject* strs[kMax];
    Ref owned[kMax];
    Py_ssize_t length = 0;
    Py_UCS4 max_char = 0;
    size_t n = 0;
    for (PyObject* p : parts) {
        if (!PyUnicode_CheckExact(p)) {
            owned[n] = check(PyObject_Str(p));
            p = owned[n].get();
        }
        strs[n++] = p;
        length += PyUnicode_GET_LENGTH(p);
        max_char = std::max<Py_UCS4>(max_char, PyUnicode_MAX_CHAR_VALUE(p));
    }
    Ref out = check(PyUnicode_New(length, max_char));
    Py_ssize_t at = 0;
    for (size_t i = 0; i < n; ++i) {
        const Py_ssize_t len = PyUnicode_GET_LENGTH(strs[i]);
        if (PyUnicode_CopyCharacters(out.get(), at, strs[i], 0, len) < 0) throw_pending();
        at += len;
    }
    return out;
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

bool truthy_slow(PyObject* o) {
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

namespace {
constexpr size_t kMaxCallArgs = 16;

// argv[0] = first, then the positional and keyword values; their count.
size_t fill_call(PyObject** argv, PyObject* first, PyObject* kwnames, std::initializer_list<Ref> pos,
                 std::initializer_list<Ref> kw) {
    if (pos.size() + kw.size() + 1 > kMaxCallArgs || static_cast<Py_ssize_t>(kw.size()) != PyTuple_GET_SIZE(kwnames)) {
        raise(PyExc_SystemError, "call_kw: keyword names do not match the call");
    }
    argv[0] = first;
    size_t i = 1;
    for (const Ref& r : pos) argv[i++] = r.get();
    for (const Ref& r : kw) argv[i++] = r.get();
    return pos.size();
}
}  // namespace

Ref call_kw(PyObject* f, PyObject* kwnames, std::initializer_list<Ref> pos, std::initializer_list<Ref> kw) {
    PyObject* argv[kMaxCallArgs];
    const size_t np = fill_call(argv, nullptr, kwnames, pos, kw);
    return check(PyObject_Vectorcall(f, argv + 1, np | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref call_method_kw(PyObject* o, PyObject* name, PyObject* kwnames, std::initializer_list<Ref> pos,
                   std::initializer_list<Ref> kw) {
    PyObject* argv[kMaxCallArgs];
    Ref self = Ref::borrow(o);
    const size_t np = fill_call(argv, o, kwnames, pos, kw);
    return check(PyObject_VectorcallMethod(name, argv, (np + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

PyObject* dict_find_learning(PyObject* dict, PyObject* key, DictSite& site, Where where) {
    PyObject* v = dict_find(dict, key, where);
    // A small dict is cheap to walk; a large one is learnt a bounded number
    // of times, in case its layout keeps changing.
    constexpr Py_ssize_t kSmall = 16;
    constexpr unsigned short kRelearnLarge = 64;
    if (!v || (PyDict_GET_SIZE(dict) > kSmall && site.relearnt >= kRelearnLarge)) return v;
    if (PyDict_GET_SIZE(dict) > kSmall) ++site.relearnt;
    Py_ssize_t p = 0;
    PyObject *k, *val;
    while (PyDict_Next(dict, &p, &k, &val)) {
        if (val == v && same_key(k, key)) {
            site.pos = p - 1;
            break;
        }
    }
    return v;
}

namespace {
// How attribute `name` of instances of `tp` can be read, by the generic
// attribute look-up's rules: from a __slots__ member the class defines
// (its offset in `*offset`), from the instance dictionary when no class in
// the MRO defines the name, or else only through PyObject_GetAttr.
AttrSite::How read_by(PyTypeObject* tp, PyObject* name, Py_ssize_t* offset) {
    if (tp->tp_getattro != PyObject_GenericGetAttr) return AttrSite::Generic;
    PyObject* mro = tp->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return AttrSite::Generic;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        Ref dict = check(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        PyObject* found = dict_find(dict.get(), name);
        if (!found) continue;
        if (Py_IS_TYPE(found, &PyMemberDescr_Type)) {
            const PyMemberDef* m = reinterpret_cast<PyMemberDescrObject*>(found)->d_member;
            if (m->type == Py_T_OBJECT_EX && !(m->flags & (Py_AUDIT_READ | Py_RELATIVE_OFFSET))) {
                *offset = m->offset;
                return AttrSite::Slot;
            }
        }
        return AttrSite::Generic;
    }
    if (!(tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) && tp->tp_dictoffset == 0) return AttrSite::Generic;
    return AttrSite::InstanceDict;
}
}  // namespace

Ref getattr_learning(PyObject* o, PyObject* name, AttrSite& site) {
    Ref value = getattr(o, name);
    PyTypeObject* tp = Py_TYPE(o);
    if (site.knows(tp)) {
        if (site.how == AttrSite::InstanceDict) {
            // Same class, the entry moved: learn where it is now.
            Ref dict = check(PyObject_GenericGetDict(o, nullptr));
            dict_find(dict.get(), name, site.entry);
        }
        return value;
    }
    site.type = nullptr;
    if (!PyUnstable_Type_AssignVersionTag(tp)) return value;  // tags run out: never learnt
    Py_ssize_t offset = 0;
    AttrSite::How how = read_by(tp, name, &offset);
    if (how == AttrSite::InstanceDict) {
        Ref dict = check(PyObject_GenericGetDict(o, nullptr));
        site.entry = DictSite{};
        if (dict_find(dict.get(), name, site.entry) != value.get()) how = AttrSite::Generic;
    }
    site.how = how;
    site.offset = offset;
    site.type = tp;
    site.version = tp->tp_version_tag;
    return value;
}

Ref get_or(PyObject* mapping, PyObject* key, PyObject* dflt, DictSite& site) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* v = dict_find(mapping, key, site);
        return Ref::borrow(v ? v : dflt);
    }
    return get_or(mapping, key, dflt);
}

Ref get_or(PyObject* mapping, PyObject* key, PyObject* dflt) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* v = dict_find(mapping, key);
        return Ref::borrow(v ? v : dflt);
    }
    if (dflt == Py_None) return call_method(mapping, RT_NAME("get"), key);
    return call_method(mapping, RT_NAME("get"), key, dflt);
}

Ref head(PyObject* s, Py_ssize_t n) {
    if (PyUnicode_CheckExact(s)) return check(PyUnicode_Substring(s, 0, n));
    return check(PySequence_GetSlice(s, 0, n));
}

void global_missing(PyObject* name) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw_pending();
}

void log(PyObject* level_method, int level, PyObject* text, Where where) {
    Ref logger = RT_GLOBAL("logger");
    auto* logger_type = reinterpret_cast<PyTypeObject*>(state().logger_type);
    if (!where.file || !PyObject_TypeCheck(logger.get(), logger_type)) {
        PyObject* argv[2] = {logger.get(), text};
        check(PyObject_VectorcallMethod(level_method, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        return;
    }
    // What Logger.<level>() does, with the record's location taken from the
    // C++ code instead of the calling Python frame.
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
                             level_number, str(where.file), integer(where.line), Ref::borrow(text),
                             check(PyTuple_New(0)), exc_info, Ref::borrow(func ? func : Py_None));
    call_method(logger.get(), RT_NAME("handle"), record);
}

namespace {

int g_watcher = -1;       // the dict watcher's id; -1: none
unsigned g_watch_users;   // module states using it
// Whether storing an instance's attribute reaches the watchers of its
// dictionary.  Not so in CPython 3.13.0 for an object whose attributes live
// inline beside a dictionary made on request; decided by trying it once.
bool g_instance_stores_seen = false;

int on_watched_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    if (++detail::watch_gen == 0) detail::watch_gen = 1;
    return 0;
}

// Try it: watch the dictionary of a fresh instance and store an attribute.
bool instance_stores_reach_watchers() {
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), "_probe", check(PyTuple_New(0)), check(PyDict_New()));
    Ref obj = call(cls.get());
    setattr(obj.get(), RT_NAME("value"), false);
    Ref dict = check(PyObject_GenericGetDict(obj.get(), nullptr));
    if (!watch(dict.get())) return false;
    const unsigned before = detail::watch_gen;
    setattr(obj.get(), RT_NAME("value"), true);
    return detail::watch_gen != before;
}

// Remember `on` for level index `which` while the dicts it was read from
// (the logger's own among them) stay as they are.
void remember_log_decision(State& st, PyObject* logger, unsigned which, bool on,
                           std::initializer_list<PyObject*> read) {
    if (!which || !g_instance_stores_seen) return;
    for (PyObject* d : read) {
        if (!watch(d)) return;
    }
    if (st.log_gen != watched_generation() || st.log_logger != logger) st.log_known = 0;
    st.log_gen = watched_generation();
    st.log_logger = logger;
    st.log_known |= static_cast<unsigned char>(1u << which);
    if (on) st.log_on |= static_cast<unsigned char>(1u << which);
    else st.log_on &= static_cast<unsigned char>(~(1u << which));
}

}  // namespace

void start_watching(State&) {
    if (g_watcher < 0) {
        g_watcher = PyDict_AddWatcher(on_watched_change);
        if (g_watcher < 0) {
            PyErr_Clear();  // none left: every read is made afresh
            return;
        }
        try {
            g_instance_stores_seen = instance_stores_reach_watchers();
        } catch (PyException&) {
            g_instance_stores_seen = false;  // not known: never relied on
        }
    }
    ++g_watch_users;
}

void stop_watching(State& s) noexcept {
    s.log_known = 0;
    s.log_logger = nullptr;
    on_watched_change(PyDict_EVENT_CLEARED, nullptr, nullptr, nullptr);  // forget everything read so far
    if (g_watcher < 0 || --g_watch_users > 0) return;
    if (PyDict_ClearWatcher(g_watcher) < 0) PyErr_Clear();
    g_watcher = -1;
}

bool watch(PyObject* dict) noexcept {
    if (g_watcher < 0) return false;
    if (PyDict_Watch(g_watcher, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

Ref getattr_keeping(PyObject* o, PyObject* name, KeptAttrSite& site) {
    site.kept = WatchedSite{};
    Ref value = getattr(o, name, static_cast<AttrSite&>(site));
    if (!g_instance_stores_seen || site.how != AttrSite::InstanceDict || !site.knows(Py_TYPE(o))) return value;
    Ref dict = check(PyObject_GenericGetDict(o, nullptr));
    if (PyDict_CheckExact(dict.get()) && dict_find(dict.get(), name) == value.get() && watch(dict.get())) {
        site.kept = WatchedSite{watched_generation(), dict.get(), value.get()};
    }
    return value;
}

PyObject* dict_find_watching(PyObject* dict, PyObject* key, WatchedSite& site, Where where) {
    PyObject* v = dict_find(dict, key, where);
    if (v && PyDict_CheckExact(dict) && watch(dict)) site = WatchedSite{watched_generation(), dict, v};
    return v;
}

bool log_wanted(int level) {
    State& st = state();
    // Index of a standard level (10 to 50); 0 for any other, never remembered.
    const unsigned which = level % 10 == 0 && level >= 10 && level <= 50 ? static_cast<unsigned>(level / 10) : 0;
    if ((st.log_known >> which & 1u) && which && st.log_gen == watched_generation() &&
        reinterpret_cast<PyObject*>(Py_TYPE(st.log_logger)) == st.logger_type) {
        return st.log_on >> which & 1u;
    }
    PyObject* logger = dict_find(st.dict, RT_NAME("logger"), RT_WATCHED);
    if (!logger || reinterpret_cast<PyObject*>(Py_TYPE(logger)) != st.logger_type) return true;
    // The standard class sets both in the instance's own dictionary.
    Ref logger_ref = Ref::borrow(logger);
    Ref own = check(PyObject_GenericGetDict(logger, nullptr));
    PyObject* disabled = dict_find(own.get(), RT_NAME("disabled"), RT_SITE);
    if (disabled != Py_False) {
        if (!disabled) return true;
        if (disabled == Py_True) remember_log_decision(st, logger, which, false, {st.dict, own.get()});
        return !truthy(disabled);
    }
    PyObject* cache_obj = dict_find(own.get(), RT_NAME("_cache"), RT_SITE);
    if (!cache_obj || !PyDict_CheckExact(cache_obj)) return true;
    Ref cache = Ref::borrow(cache_obj);
    Ref key = integer(level);
    static DictSite level_sites[6];
    PyObject* enabled = dict_find(cache.get(), key.get(), level_sites[which]);
    if (!enabled) return true;  // not decided yet: the method decides and caches it
    if (PyBool_Check(enabled)) remember_log_decision(st, logger, which, enabled == Py_True, {st.dict, own.get(), cache.get()});
    return enabled != Py_False;
}

void log_exception(PyObject* text, const Ref& exc, Where where) {
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
    Ref time_mod = RT_GLOBAL("time");
    Ref t = RT_CALL_MODULE_ATTR(time_mod.get(), "time");
    return as_double(t.get());
}

}  // namespace rt
