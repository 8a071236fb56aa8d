#include "module.hpp"

#include "property.hpp"

#include <cstring>

namespace rt {

namespace {
State* state_of(PyObject* m) { return static_cast<State*>(PyModule_GetState(m)); }
}  // namespace

void init_state(State& s, PyObject* m) {
    s.module = m;
    s.dict = PyModule_GetDict(m);
    for (size_t i = 0; i < kStringCount; ++i) {
        s.strings[i] = check(PyUnicode_FromStringAndSize(kStrings[i].data(),
                                                         static_cast<Py_ssize_t>(kStrings[i].size())))
                           .release();
        PyUnicode_InternInPlace(&s.strings[i]);
    }
    for (size_t i = 0; i < kKwSetCount; ++i) {
        Ref names = check(PyUnicode_FromStringAndSize(kKwSets[i].data(), static_cast<Py_ssize_t>(kKwSets[i].size())));
        Ref parts = check(PyUnicode_Split(names.get(), s.strings[string_index(",")], -1));
        const Py_ssize_t n = PyList_GET_SIZE(parts.get());
        Ref tuple = check(PyTuple_New(n));
        for (Py_ssize_t k = 0; k < n; ++k) {
            PyObject* part = Py_NewRef(PyList_GET_ITEM(parts.get(), k));
            PyUnicode_InternInPlace(&part);
            PyTuple_SET_ITEM(tuple.get(), k, part);
        }
        s.kwnames[i] = tuple.release();
    }
    Ref logging = check(PyImport_ImportModule("logging"));
    s.logger_type = getattr(logging.get(), s.strings[string_index("Logger")]).release();
    start_watching(s);
    s.func_type = make_function_type(m);
    s.coro_type = make_coroutine_type(m);
    s.property_type = make_property_type(m);
}

int traverse_state(State& s, visitproc visit, void* arg) {
    for (PyObject* o : s.originals) Py_VISIT(o);
    for (PyObject* o : s.stop_iteration) Py_VISIT(o);
    Py_VISIT(s.logger_type);
    Py_VISIT(s.func_type);
    Py_VISIT(s.coro_type);
    Py_VISIT(s.property_type);
    return 0;
}

namespace {
// The references traverse_state visits: what breaking a cycle clears.
void clear_visited(State& s) {
    for (PyObject*& o : s.originals) Py_CLEAR(o);
    for (PyObject*& o : s.stop_iteration) Py_CLEAR(o);
    Py_CLEAR(s.logger_type);
    Py_CLEAR(s.func_type);
    Py_CLEAR(s.coro_type);
    Py_CLEAR(s.property_type);
}
}  // namespace

void clear_state(State& s) {
    stop_watching(s);
    free_coroutine_memory(s);
    clear_visited(s);
    for (PyObject*& o : s.strings) Py_CLEAR(o);
    for (PyObject*& o : s.kwnames) Py_CLEAR(o);
}

int traverse_module(PyObject* m, visitproc visit, void* arg) {
    State* s = state_of(m);
    return s ? traverse_state(*s, visit, arg) : 0;
}

int clear_module(PyObject* m) {
    if (State* s = state_of(m)) clear_visited(*s);
    return 0;
}

void free_module(void* m) {
    if (State* s = state_of(static_cast<PyObject*>(m))) clear_state(*s);
}

void set_global(const char* name, const Ref& value) {
    check_status(PyModule_AddObjectRef(module(), name, value.get()));
}

static const char* last_component(const char* name) {
    const char* dot = strrchr(name, '.');
    return dot ? dot + 1 : name;
}

void import_global(const char* name, const char* as) {
    Ref m = check(PyImport_ImportModule(name));
    set_global(as ? as : last_component(name), m);
}

void import_from(const char* name, const char* attr, const char* as) {
    Ref m = check(PyImport_ImportModule(name));
    set_global(as ? as : attr, check(PyObject_GetAttrString(m.get(), attr)));
}

void keep_original(Original which) {
    static constexpr const char* where[kOriginalCount][2] = {
        {"uuid", "uuid4"}, {"os", "urandom"}, {"asyncio", "iscoroutine"}};
    const auto i = static_cast<size_t>(which);
    Ref m = check(PyImport_ImportModule(where[i][0]));
    Py_XSETREF(state().originals[i], check(PyObject_GetAttrString(m.get(), where[i][1])).release());
}

Ref module_name() { return check(PyModule_GetNameObject(module())); }

ClassBuilder::ClassBuilder(const char* name, const char* doc) : name_(name), ns_(check(PyDict_New())) {
    setitem(ns_.get(), RT_NAME("__module__"), module_name());
    setitem(ns_.get(), RT_NAME("__qualname__"), name);
    setitem(ns_.get(), RT_NAME("__doc__"), doc ? str(doc) : none());
}

ClassBuilder& ClassBuilder::method(const FuncDef& def) {
    return attr(def.name, make_function(def, name_, module_name().get()));
}

ClassBuilder& ClassBuilder::property(const FuncDef& def) {
    return attr(def.name, make_property(make_function(def, name_, module_name().get())));
}

ClassBuilder& ClassBuilder::attr(const char* name, const Ref& value) {
    Ref key = check(PyUnicode_InternFromString(name));
    setitem(ns_.get(), key.get(), value);
    return *this;
}

Ref ClassBuilder::build(const Ref& bases) {
    Ref b = bases ? bases : check(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    return call(reinterpret_cast<PyObject*>(&PyType_Type), name_, b, ns_);
}

Ref function(const FuncDef& def) { return make_function(def, nullptr, module_name().get()); }

int exec_module(PyObject* m, void (*exec)(PyObject*)) noexcept {
    State* s = state_of(m);
    StateScope scope(s);
    try {
        init_state(*s, m);
        exec(m);
        return 0;
    } catch (...) {
        set_error_from_current();
        return -1;
    }
}

}  // namespace rt
