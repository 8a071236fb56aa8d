// Native functions that look and behave like Python functions.
//
// A `FuncDef` (static data in the module) declares a function: its name,
// docstring, parameters with their declared types, return annotation and
// the C++ implementation.  make_function() turns it into a callable object
// that is called through vectorcall, binds as a method through __get__
// (giving an ordinary bound method), and carries __name__, __qualname__,
// __module__, __doc__, string __annotations__, __signature__ and a
// __dict__.  The declared argument checks run when the function is called,
// before the implementation (and, for coroutine functions, before any
// coroutine object exists).
#pragma once

#include "api.hpp"

#include <span>

namespace rt {

// How a declared parameter type is checked and converted.
enum class Check : unsigned char {
    Any,    // taken as given
    Str,    // exactly str
    Dict,   // exactly dict
    List,   // exactly list
    Int,    // any number, truncated toward zero to an int
    Float,  // any real number, converted to float
};

// A parameter default.
struct Default {
    enum Tag : unsigned char { Required, None, Int, Float, Text } tag = Required;
    long long i = 0;
    double f = 0.0;
    const char* s = nullptr;
};
inline constexpr Default required{};
inline constexpr Default none_default{Default::None};
constexpr Default int_default(long long v) { return {Default::Int, v, 0.0, nullptr}; }
constexpr Default float_default(double v) { return {Default::Float, 0, v, nullptr}; }

struct Param {
    const char* name;
    const char* annotation = nullptr;  // as declared; null: no annotation
    Check check = Check::Any;
    bool none_ok = false;  // None passes the check (declared `X | None`)
    Default dflt = required;
};

// The arguments of one call, bound to the declared parameters in order
// (after keyword matching, defaults and conversions).  Borrowed.
struct Args {
    PyObject* const* v;
    PyObject* func;  // the function object being called
    size_t n;        // how many: the declared parameters
    PyObject* operator[](size_t i) const noexcept { return v[i]; }
};

using Impl = Ref (*)(const Args&);

enum class Kind : unsigned char { Plain, Coroutine };

struct FuncDef {
    const char* name;
    const char* doc = nullptr;
    std::span<const Param> params = {};
    const char* returns = nullptr;  // return annotation; null: none
    Impl impl = nullptr;
    Kind kind = Kind::Plain;
    Where where = Where::here();  // the declaration, for tracebacks
};

// The native function type of a module (made when the module executes).
PyTypeObject* make_function_type(PyObject* module);

// A function object for `def`.  `owner` is the qualified name of the class
// that will hold it (null for a module-level function); `module_name` goes
// to __module__.
Ref make_function(const FuncDef& def, const char* owner, PyObject* module_name);

// Attributes of a function object, for the coroutine bridge.
PyObject* function_name(PyObject* func);
PyObject* function_qualname(PyObject* func);
Where function_where(PyObject* func);

// Whether `func` is declared with one unchecked parameter (`self`)...
bool takes_only_self(PyObject* func);
// ...and then, called on `obj`: a property read.  New reference; null with
// the error set.
PyObject* call_getter(PyObject* func, PyObject* obj) noexcept;

}  // namespace rt
