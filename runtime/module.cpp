#include "module.hpp"

#include <cstring>

namespace rt {

void init_module(PyObject* m) {
    set_module(m);
    init_function_type();
    init_coroutine_type();
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
    set_global(as ? as : attr, getattr(m.get(), attr));
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
    Ref getter = make_function(def, name_, module_name().get());
    Ref prop = call(reinterpret_cast<PyObject*>(&PyProperty_Type), getter);
    return attr(def.name, prop);
}

ClassBuilder& ClassBuilder::attr(const char* name, const Ref& value) {
    setitem(ns_.get(), str(name).get(), value);
    return *this;
}

Ref ClassBuilder::build(const Ref& bases) {
    Ref b = bases ? bases : check(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    return call(reinterpret_cast<PyObject*>(&PyType_Type), name_, b, ns_);
}

Ref function(const FuncDef& def) { return make_function(def, nullptr, module_name().get()); }

int exec_module(PyObject* m, void (*exec)(PyObject*)) noexcept {
    try {
        init_module(m);
        exec(m);
        return 0;
    } catch (...) {
        set_error_from_current();
        return -1;
    }
}

}  // namespace rt
