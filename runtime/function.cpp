#include "function.hpp"

#include "coro.hpp"
#include "trace.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace rt {

namespace {

constexpr size_t kMaxParams = 16;

// Layout of a native function object.  The object owns every PyObject*
// field; `def` points to static data of the module that made it.
struct FuncObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* defaults;  // tuple, one entry per parameter (None where required)
    PyObject* weakrefs;
    PyObject* param_names;  // tuple of the parameters' interned names
    PyObject* signature;    // built at the first __signature__ access, then kept
    const FuncDef* def;
    State* state;           // the state of the module that made it
    unsigned checked;       // bit i: parameter i has a declared check
    unsigned char nparams;
};

FuncObject* as_func(PyObject* o) { return reinterpret_cast<FuncObject*>(o); }

const char* type_name_of(Check c) {
    switch (c) {
        case Check::Str: return "str";
        case Check::Dict: return "dict";
        case Check::List: return "list";
        case Check::Int: return "int";
        case Check::Float: return "float";
        case Check::Any: break;
    }
    return "object";
}

PyTypeObject* exact_type_of(Check c) {
    switch (c) {
        case Check::Str: return &PyUnicode_Type;
        case Check::Dict: return &PyDict_Type;
        case Check::List: return &PyList_Type;
        default: return nullptr;
    }
}

[[noreturn]] void wrong_type(const Param& p, PyObject* given) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 p.name, type_name_of(p.check), Py_TYPE(given)->tp_name);
    PyTypeObject* exact = exact_type_of(p.check);
    if (exact && PyObject_TypeCheck(given, exact)) {
        PyException e;
        Ref note = format("Subclasses of built-in types are refused here; pass a plain %s.", exact->tp_name);
        Ref r = call_method(e.value(), RT_NAME("add_note"), note);
        throw e;
    }
    throw_pending();
}

bool is_real_number(PyObject* o) {
    return PyNumber_Check(o) && !PyComplex_Check(o);
}

// Check one argument against its declaration: null when it passes as it
// is, else a new reference to the converted number.
PyObject* convert(const Param& p, PyObject* o) {
    if (o == Py_None && p.none_ok) return nullptr;
    switch (p.check) {
        case Check::Str:
        case Check::Dict:
        case Check::List:
            if (Py_IS_TYPE(o, exact_type_of(p.check))) return nullptr;
            wrong_type(p, o);
        case Check::Int:
            if (PyLong_CheckExact(o)) return nullptr;
            if (is_real_number(o)) return check(PyNumber_Long(o)).release();
            wrong_type(p, o);
        case Check::Float:
            if (PyFloat_CheckExact(o)) return nullptr;
            if (is_real_number(o)) return check(PyNumber_Float(o)).release();
            wrong_type(p, o);
        case Check::Any:
            break;
    }
    return nullptr;
}

Ref default_value(const Default& d) {
    switch (d.tag) {
        case Default::Int: return integer(d.i);
        case Default::Float: return floating(d.f);
        case Default::Text: return str(d.s);
        default: return none();
    }
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'" as Python words it.
std::string quoted_list(const std::vector<const char*>& names) {
    std::string s;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i) s += (names.size() == 2) ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        s += '\'';
        s += names[i];
        s += '\'';
    }
    return s;
}

// Owned references to converted arguments, released on every way out.
struct Converted {
    PyObject* o[kMaxParams];
    unsigned owned = 0;
    ~Converted() {
        for (unsigned m = owned; m; m &= m - 1) Py_DECREF(o[__builtin_ctz(m)]);
    }
};

[[noreturn]] void too_many_positional(FuncObject* f, Py_ssize_t nargs) {
    const Py_ssize_t nparams = f->nparams;
    Py_ssize_t nrequired = 0;
    for (const Param& p : f->def->params) nrequired += p.dflt.tag == Default::Required;
    if (nrequired == nparams) {
        raisef(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given", f->qualname, nparams,
               nparams == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
    }
    raisef(PyExc_TypeError, "%U() takes from %zd to %zd positional arguments but %zd %s given", f->qualname,
           nrequired, nparams, nargs, nargs == 1 ? "was" : "were");
}

// The index of the parameter named `key`: by identity first (keyword names
// and the parameter names are interned), then by value.
size_t param_index(FuncObject* f, PyObject* key) {
    PyObject* const* names = &PyTuple_GET_ITEM(f->param_names, 0);
    const size_t n = f->nparams;
    for (size_t i = 0; i < n; ++i) {
        if (names[i] == key) return i;
    }
    if (PyUnicode_Check(key)) {
        for (size_t i = 0; i < n; ++i) {
            if (PyUnicode_Compare(names[i], key) == 0) return i;
        }
    }
    return n;
}

// Bind positional and keyword arguments to the declared parameters in
// `slots` (borrowed), with the defaults filled in.
void bind(FuncObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    const FuncDef& def = *f->def;
    const size_t nparams = f->nparams;
    if (static_cast<size_t>(nargs) > nparams) too_many_positional(f, nargs);
    for (size_t i = 0; i < nparams; ++i) slots[i] = i < static_cast<size_t>(nargs) ? args[i] : nullptr;
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            const size_t idx = param_index(f, key);
            if (idx == nparams) {
                raisef(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", f->qualname, key);
            }
            if (slots[idx]) {
                raisef(PyExc_TypeError, "%U() got multiple values for argument '%s'", f->qualname,
                       def.params[idx].name);
            }
            slots[idx] = args[nargs + k];
        }
    }
    bool missing = false;
    for (size_t i = 0; i < nparams; ++i) {
        if (slots[i]) continue;
        if (def.params[i].dflt.tag == Default::Required) {
            missing = true;
        } else {
            slots[i] = PyTuple_GET_ITEM(f->defaults, static_cast<Py_ssize_t>(i));
        }
    }
    if (missing) {
        std::vector<const char*> names;
        for (size_t i = 0; i < nparams; ++i) {
            if (!slots[i]) names.push_back(def.params[i].name);
        }
        raisef(PyExc_TypeError, "%U() missing %zd required positional argument%s: %s", f->qualname,
               static_cast<Py_ssize_t>(names.size()), names.size() == 1 ? "" : "s", quoted_list(names).c_str());
    }
}

// The call once the argument `first` has been converted to `converted` (a
// new reference): the remaining checks run on a copy of the arguments.
[[gnu::noinline]] PyObject* call_converted(FuncObject* f, PyObject* self, PyObject* const* bound, unsigned first,
                                           PyObject* converted) {
    Converted conv;
    for (size_t i = 0; i < f->nparams; ++i) conv.o[i] = bound[i];
    conv.o[first] = converted;
    conv.owned = 1u << first;
    for (unsigned m = f->checked & ~((2u << first) - 1); m; m &= m - 1) {
        const unsigned i = static_cast<unsigned>(__builtin_ctz(m));
        if (PyObject* c = convert(f->def->params[i], conv.o[i])) {
            conv.o[i] = c;
            conv.owned |= 1u << i;
        }
    }
    return f->def->impl(Args{conv.o, self, f->nparams}).release();
}

// The declared checks, then the implementation, on bound arguments.  The
// arguments are copied only when one of them is converted (a number of
// another type), which is rare.
inline PyObject* call_bound(FuncObject* f, PyObject* self, PyObject* const* bound) {
    for (unsigned m = f->checked; m; m &= m - 1) {
        const unsigned i = static_cast<unsigned>(__builtin_ctz(m));
        const Param& p = f->def->params[i];
        if (p.check == Check::Str && PyUnicode_CheckExact(bound[i])) continue;  // the usual case, inline
        if (PyObject* converted = convert(p, bound[i])) {
            return call_converted(f, self, bound, i, converted);
        }
    }
    return f->def->impl(Args{bound, self, f->nparams}).release();
}

// A call whose arguments are not exactly the parameters in order.
[[gnu::noinline]] PyObject* call_binding(FuncObject* f, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    PyObject* slots[kMaxParams];
    bind(f, args, nargs, kwnames, slots);
    return call_bound(f, self, slots);
}

// Binding allocates nothing: arguments passed exactly positionally are used
// in place, anything else is bound into a stack array; only a converted
// number is a new object.
PyObject* func_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    FuncObject* f = as_func(self);
    StateScope scope(f->state, f->qualname);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    try {
        if (kwnames || static_cast<size_t>(nargs) != f->nparams) return call_binding(f, self, args, nargs, kwnames);
        return call_bound(f, self, args);
    } catch (...) {
        set_error_leaving(f->qualname, f->def->where);
        return nullptr;
    }
}

PyObject* func_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* func_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_func(self)->qualname, self);
}

int func_traverse(PyObject* self, visitproc visit, void* arg) {
    FuncObject* f = as_func(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->dict);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->param_names);
    Py_VISIT(f->signature);
    return 0;
}

int func_clear(PyObject* self) {
    FuncObject* f = as_func(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->param_names);
    Py_CLEAR(f->signature);
    return 0;
}

void func_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_func(self)->weakrefs) PyObject_ClearWeakRefs(self);
    func_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// __signature__: an inspect.Signature of the declared parameters, with the
// annotations as the declared strings; built once, at the first access.
Ref build_signature(FuncObject* f) {
    const FuncDef& def = *f->def;
    Ref inspect = check(PyImport_ImportModule("inspect"));
    Ref param_cls = getattr(inspect.get(), RT_NAME("Parameter"));
    Ref sig_cls = getattr(inspect.get(), RT_NAME("Signature"));
    Ref kind = getattr(param_cls.get(), RT_NAME("POSITIONAL_OR_KEYWORD"));
    Ref empty = getattr(param_cls.get(), RT_NAME("empty"));
    Ref params = check(PyList_New(0));
    for (size_t i = 0; i < def.params.size(); ++i) {
        const Param& p = def.params[i];
        Ref dflt = p.dflt.tag == Default::Required
                       ? empty
                       : Ref::borrow(PyTuple_GET_ITEM(f->defaults, static_cast<Py_ssize_t>(i)));
        Ref ann = p.annotation ? str(p.annotation) : empty;
        Ref param = call_kw(param_cls.get(), RT_KW("default,annotation"),
                            {Ref::borrow(PyTuple_GET_ITEM(f->param_names, static_cast<Py_ssize_t>(i))), kind},
                            {dflt, ann});
        check_status(PyList_Append(params.get(), param.get()));
    }
    Ref ret = def.returns ? str(def.returns) : getattr(sig_cls.get(), RT_NAME("empty"));
    return call_kw(sig_cls.get(), RT_KW("return_annotation"), {params}, {ret});
}

PyObject* func_get_signature(PyObject* self, void*) noexcept {
    FuncObject* f = as_func(self);
    StateScope scope(f->state);
    if (!f->signature) {
        PyObject* sig = guarded([&] { return build_signature(f); });
        if (!sig) return nullptr;
        if (!f->signature) f->signature = sig;
        else Py_DECREF(sig);
    }
    return Py_NewRef(f->signature);
}

PyGetSetDef func_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__signature__", func_get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef func_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(FuncObject, name), 0, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(FuncObject, qualname), 0, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(FuncObject, module), 0, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(FuncObject, doc), 0, nullptr},
    {"__annotations__", Py_T_OBJECT_EX, offsetof(FuncObject, annotations), 0, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FuncObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FuncObject, weakrefs), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FuncObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot func_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(func_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(func_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(func_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(func_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(func_dealloc)},
    {Py_tp_getset, func_getset},
    {Py_tp_members, func_members},
    {0, nullptr},
};

PyType_Spec func_spec = {
    "tovana.runtime.native_function",
    sizeof(FuncObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    func_slots,
};

}  // namespace

PyTypeObject* make_function_type(PyObject* module) {
    return reinterpret_cast<PyTypeObject*>(check(PyType_FromModuleAndSpec(module, &func_spec, nullptr)).release());
}

Ref make_function(const FuncDef& def, const char* owner, PyObject* module_name) {
    const size_t nparams = def.params.size();
    if (nparams > kMaxParams || (def.kind == Kind::Coroutine && nparams > kMaxCoroutineArgs)) {
        raisef(PyExc_SystemError, "%s: too many declared parameters", def.name);
    }
    Ref self = check(PyType_GenericAlloc(state().func_type, 0));
    FuncObject* f = as_func(self.get());
    f->vectorcall = func_vectorcall;
    f->def = &def;
    f->state = &state();
    f->nparams = static_cast<unsigned char>(nparams);
    f->name = str(def.name).release();
    f->qualname = (owner ? format("%s.%s", owner, def.name) : str(def.name)).release();
    f->module = Ref::borrow(module_name ? module_name : Py_None).release();
    f->doc = (def.doc ? str(def.doc) : none()).release();
    Ref annotations = check(PyDict_New());
    Ref defaults = check(PyTuple_New(static_cast<Py_ssize_t>(nparams)));
    Ref names = check(PyTuple_New(static_cast<Py_ssize_t>(nparams)));
    for (size_t i = 0; i < nparams; ++i) {
        const Param& p = def.params[i];
        PyObject* name = check(PyUnicode_InternFromString(p.name)).release();
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
        if (p.annotation) setitem(annotations.get(), name, p.annotation);
        PyTuple_SET_ITEM(defaults.get(), static_cast<Py_ssize_t>(i), default_value(p.dflt).release());
        if (p.check != Check::Any) f->checked |= 1u << i;
    }
    if (def.returns) setitem(annotations.get(), RT_NAME("return"), def.returns);
    f->annotations = annotations.release();
    f->defaults = defaults.release();
    f->param_names = names.release();
    if (def.kind == Kind::Coroutine) {
        Ref inspect = check(PyImport_ImportModule("inspect"));
        call_method(inspect.get(), RT_NAME("markcoroutinefunction"), self);
    }
    return self;
}

PyObject* function_name(PyObject* func) { return as_func(func)->name; }
PyObject* function_qualname(PyObject* func) { return as_func(func)->qualname; }
Where function_where(PyObject* func) { return as_func(func)->def->where; }

bool takes_only_self(PyObject* func) { return as_func(func)->nparams == 1 && !as_func(func)->checked; }

PyObject* call_getter(PyObject* func, PyObject* obj) noexcept {
    FuncObject* f = as_func(func);
    StateScope scope(f->state, f->qualname);
    try {
        return f->def->impl(Args{&obj, func, 1}).release();
    } catch (...) {
        set_error_leaving(f->qualname, f->def->where);
        return nullptr;
    }
}

}  // namespace rt
