// Owning references to Python objects.
//
// `Ref` owns one strong reference (or none).  Module code never calls
// Py_INCREF/Py_DECREF itself: it steals new references into a Ref, borrows
// with Ref::borrow (which takes a new strong reference), and hands ownership
// back to the interpreter with release().
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#if PY_VERSION_HEX < 0x030D0000
// Added to the C API in 3.13; the same operation exists under its older name.
inline int PyObject_GetOptionalAttr(PyObject* o, PyObject* name, PyObject** result) {
    return _PyObject_LookupAttr(o, name, result);
}
#endif

namespace rt {

class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}

    // Take ownership of a new reference (may be null).
    static Ref steal(PyObject* o) noexcept { Ref r; r.p_ = o; return r; }
    // Take a new strong reference to a borrowed object (may be null).
    static Ref borrow(PyObject* o) noexcept { Py_XINCREF(o); return steal(o); }

    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(const Ref& o) noexcept {
        Ref tmp(o);
        swap(tmp);
        return *this;
    }
    Ref& operator=(Ref&& o) noexcept {
        Ref tmp(std::move(o));
        swap(tmp);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Give the reference away (to the interpreter or another owner).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Ref tmp; swap(tmp); }
    void swap(Ref& o) noexcept { std::swap(p_, o.p_); }

    bool is(PyObject* o) const noexcept { return p_ == o; }
    bool is_none() const noexcept { return p_ == Py_None; }

private:
    PyObject* p_ = nullptr;
};

// A borrowed reference, for the parameters of C++ coroutines: the object is
// owned by the coroutine object (the arguments of the call that made it) or
// by the awaiting frame, which outlives the frame it awaits.  A frame that
// holds its parameters this way adds no reference the collector cannot see.
class Arg {
public:
    Arg(PyObject* o) noexcept : p_(o) {}
    Arg(const Ref& r) noexcept : p_(r.get()) {}
    PyObject* get() const noexcept { return p_; }
    PyObject* operator->() const noexcept { return p_; }
    bool is(PyObject* o) const noexcept { return p_ == o; }
    bool is_none() const noexcept { return p_ == Py_None; }
    // A new strong reference.
    operator Ref() const noexcept { return Ref::borrow(p_); }

private:
    PyObject* p_;
};

}  // namespace rt
