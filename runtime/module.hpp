// Building a module's Python surface: imports into its globals and classes
// made with type(name, bases, namespace) from native functions.
#pragma once

#include "coro.hpp"
#include "function.hpp"

namespace rt {

// `import name` (or `from name import attr`) into the module's globals under
// `as` (default: the last dotted component).
void import_global(const char* name, const char* as = nullptr);
void import_from(const char* name, const char* attr, const char* as = nullptr);
// A module global.
void set_global(const char* name, const Ref& value);

// Keep a standard-library function as it is now (at module execution).
void keep_original(Original which);

// The module's __name__ (for __module__ of functions and classes).
Ref module_name();

// Namespace of a class under construction.
class ClassBuilder {
public:
    ClassBuilder(const char* name, const char* doc);
    // A method from a native function declaration.
    ClassBuilder& method(const FuncDef& def);
    // A read-only property whose getter is the native function `def`.
    ClassBuilder& property(const FuncDef& def);
    ClassBuilder& attr(const char* name, const Ref& value);
    PyObject* ns() const { return ns_.get(); }
    // type(name, bases, ns); bases defaults to (object,).
    Ref build(const Ref& bases = Ref());

private:
    const char* name_;
    Ref ns_;
};

// A module-level function.
Ref function(const FuncDef& def);

// Wrap a C++ coroutine as the result of the native coroutine function
// being called (named after it).
inline Ref coroutine(const Args& a, Co<Ref> co) {
    return make_coroutine(std::move(co), a.func, a.v, a.n);
}
// The same for a coroutine whose first part is the plain function `first`.
inline Ref coroutine(const Args& a, FirstPart first) { return make_deferred(first, a.func, a.v, a.n); }

// Run a module's exec function with its state set up and current; errors
// become the pending Python error.
int exec_module(PyObject* module, void (*exec)(PyObject*)) noexcept;
int traverse_module(PyObject* module, visitproc visit, void* arg);
int clear_module(PyObject* module);
void free_module(void* module);

}  // namespace rt

// Define PyInit_<name> for a multi-phase module whose globals `exec` fills;
// its state is an rt::State.
#define RT_MODULE(name, exec)                                                                       \
    static int name##_exec_slot(PyObject* m) { return ::rt::exec_module(m, exec); }                \
    static PyModuleDef_Slot name##_slots[] = {                                                      \
        {Py_mod_exec, reinterpret_cast<void*>(name##_exec_slot)},                                   \
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},                 \
        {0, nullptr}};                                                                              \
    static PyModuleDef name##_def = {PyModuleDef_HEAD_INIT, #name, nullptr, sizeof(::rt::State),   \
                                     nullptr, name##_slots, ::rt::traverse_module,                 \
                                     ::rt::clear_module, ::rt::free_module};                       \
    PyMODINIT_FUNC PyInit_##name() { return PyModuleDef_Init(&name##_def); }
