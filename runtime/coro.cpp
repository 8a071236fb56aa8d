#include "coro.hpp"
#include "trace.hpp"

#include "function.hpp"

#include <iterator>
#include <new>
#include <optional>

namespace rt {

// State of one Python-visible coroutine: the C++ frames it drives and the
// Python iterator that the innermost frame is waiting on.
struct Driver {
    static constexpr unsigned kMaxHeld = kMaxCoroutineArgs;
    enum State : unsigned char { Created, Suspended, Running, Done };

    std::coroutine_handle<Promise<Ref>> root;  // owned; destroying it destroys nested frames
    std::coroutine_handle<> leaf;              // frame to resume next
    Ref awaiting;                              // iterator the leaf waits on
    Ref first_yield;                           // what its first step yielded, to hand out
    Ref in_value;                              // what the leaf's co_await gives back...
    Ref in_exc;                                // ...or raises
    Ref func;  // the native function that made it: its __name__ and __qualname__
    FirstPart first = nullptr;  // a first part still to run (no frames yet)
    // The arguments of the native function call that made the coroutine:
    // owned here (so the collector sees them) and borrowed by the frames.
    // (Only the first `nargs` are set: the array is left unfilled when the
    // driver is made, so that making one writes no more than it uses.)
    PyObject* args[kMaxHeld];
    unsigned char nargs = 0;
    State state = Created;

    ~Driver() {
        destroy_frames();
        release_args();
    }
    void release_args() noexcept {
        for (unsigned i = 0; i < nargs; ++i) Py_CLEAR(args[i]);
        nargs = 0;
    }
    void destroy_frames() noexcept {
        if (root) root.destroy();
        root = {};
        leaf = {};
    }
};

namespace {

struct CoroObject {
    PyObject_HEAD
    rt::State* state;    // of the module whose function made it
    PyObject* qualname;  // the function's, borrowed (the Driver holds the function)
    Driver d;
    PyObject* weakrefs;
    bool finalized;  // tp_finalize ran (the collector remembers it for this memory)
};

// Every entry into a coroutine object runs with its module's state current
// and its function marked as running.
struct Entry {
    explicit Entry(PyObject* self) noexcept
        : scope(reinterpret_cast<CoroObject*>(self)->state, reinterpret_cast<CoroObject*>(self)->qualname) {}
    StateScope scope;
};

CoroObject* as_coro(PyObject* o) { return reinterpret_cast<CoroObject*>(o); }

// The awaitable's iterator, as `await` would take it.
Ref awaitable_iter(PyObject* o) {
    if (PyCoro_CheckExact(o)) return Ref::borrow(o);
    PyAsyncMethods* am = Py_TYPE(o)->tp_as_async;
    if (!am || !am->am_await) {
        raisef(PyExc_TypeError, "object %.100s can't be used in 'await' expression", Py_TYPE(o)->tp_name);
    }
    Ref it = check(am->am_await(o));
    if (PyCoro_CheckExact(it.get()) || !PyIter_Check(it.get())) {
        raisef(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it.get())->tp_name);
    }
    return it;
}

// Finish a step: the root ended; report its value or error.
[[gnu::noinline]] PySendResult finish_with_error(Driver& d, PyObject** out);

[[gnu::always_inline]] inline PySendResult finish(Driver& d, PyObject** out) {
    d.state = Driver::Done;
    d.awaiting.reset();
    auto& p = d.root.promise();
    if (p.error) return finish_with_error(d, out);
    // The usual end: a value.
    Ref value = p.value ? std::move(*p.value) : none();
    d.destroy_frames();
    *out = value.release();
    return PYGEN_RETURN;
}

PySendResult fail_with(Driver& d, std::exception_ptr err, PyObject** out);

PySendResult finish_with_error(Driver& d, PyObject** out) {
    std::exception_ptr err = std::move(d.root.promise().error);
    d.destroy_frames();
    return fail_with(d, std::move(err), out);
}

// Report `err`, the error the body ended with, as the coroutine's.
PySendResult fail_with(Driver& d, std::exception_ptr err, PyObject** out) {
    d.state = Driver::Done;
    try {
        std::rethrow_exception(err);
    } catch (...) {
        if (d.func) {
            set_error_leaving(function_qualname(d.func.get()), function_where(d.func.get()));
        } else {
            set_error_from_current();
        }
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyObject* exc = PyErr_GetRaisedException();
        PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
        PyObject* rt = PyErr_GetRaisedException();
        PyException_SetCause(rt, Py_NewRef(exc));
        PyException_SetContext(rt, exc);
        PyErr_SetRaisedException(rt);
    }
    *out = nullptr;
    return PYGEN_ERROR;
}

// Resume the leaf frame and run until the root finishes or a frame
// suspends on an awaited iterator, whose first yielded value is handed out.
[[gnu::always_inline]] inline PySendResult run_leaf(Driver& d, PyObject** out) {
    d.leaf.resume();
    if (d.root.done()) return finish(d, out);
    *out = d.first_yield.release();
    return PYGEN_NEXT;
}

// The same, the leaf's co_await giving back a value or raising an exception.
PySendResult resume(Driver& d, Ref value, Ref exc, PyObject** out) {
    d.in_value = std::move(value);
    d.in_exc = std::move(exc);
    return run_leaf(d, out);
}

// Handle what the awaited iterator did with a value or an exception sent in.
PySendResult after_iter(Driver& d, PySendResult r, PyObject* res, PyObject** out) {
    if (r == PYGEN_NEXT) {
        *out = res;
        return PYGEN_NEXT;
    }
    d.awaiting.reset();
    if (r == PYGEN_RETURN) return resume(d, Ref::steal(res), Ref(), out);
    return resume(d, Ref(), Ref::steal(PyErr_GetRaisedException()), out);
}

// The coroutine is marked running from the entry of send/throw/close to
// their exit, as a generator is: also while the first step of a newly
// awaited iterator runs and while the awaited iterator is being closed.
[[gnu::always_inline]] inline PySendResult send_into(Driver& d, PyObject* arg, PyObject** out) {
    switch (d.state) {
        case Driver::Running:
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            *out = nullptr;
            return PYGEN_ERROR;
        case Driver::Done:
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            *out = nullptr;
            return PYGEN_ERROR;
        case Driver::Created:
            if (arg && arg != Py_None) {
                PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
                *out = nullptr;
                return PYGEN_ERROR;
            }
            // The first step: nothing is delivered (the initial suspension
            // gives nothing back), and nothing is pending yet.
            d.state = Driver::Running;
            if (d.first) {
                FirstStep step;
                try {
                    step = std::exchange(d.first, nullptr)(d.args);
                } catch (...) {
                    return fail_with(d, std::current_exception(), out);
                }
                if (!step.rest) {
                    d.state = Driver::Done;
                    *out = step.value ? step.value.release() : Py_NewRef(Py_None);
                    return PYGEN_RETURN;
                }
                d.root = step.rest.release();
                d.root.promise().driver = &d;
            }
            d.leaf = d.root;
            return run_leaf(d, out);
        case Driver::Suspended:
            break;
    }
    PyObject* res = nullptr;
    d.state = Driver::Running;
    PySendResult r = PyIter_Send(d.awaiting.get(), arg ? arg : Py_None, &res);
    return after_iter(d, r, res, out);
}

// Holds the running mark from entry to exit, on every way out: a step that
// left the coroutine marked running unmarks it, unless it was already
// running when entered (a refused re-entry).
class RunMark {
public:
    explicit RunMark(Driver& d) noexcept : d_(d), was_running_(d.state == Driver::Running) {}
    ~RunMark() {
        if (!was_running_ && d_.state == Driver::Running) d_.state = Driver::Suspended;
    }
    RunMark(const RunMark&) = delete;
    RunMark& operator=(const RunMark&) = delete;

private:
    Driver& d_;
    const bool was_running_;
};

// send_into with the running mark held from entry to exit.
[[gnu::always_inline]] inline PySendResult send_marked(Driver& d, PyObject* arg, PyObject** out) noexcept {
    RunMark mark(d);
    return send_into(d, arg, out);
}

PySendResult coro_am_send(PyObject* self, PyObject* arg, PyObject** out) noexcept {
    Entry entry(self);
    return send_marked(as_coro(self)->d, arg, out);
}

// Raise StopIteration(value) so that a method call can report a return.
// The interpreter's `await` reaches a coroutine that is not a Python one
// through tp_iternext, which reports a value only this way; it takes the
// value and drops the exception at once.  So instances are kept and reused
// as long as nothing else holds them: one raised as it is for False, one
// for True, and one reset to any other value.
PyObject* raise_stop(PyObject* value) {
    if (value == Py_None) {
        Py_DECREF(value);
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    const unsigned which = value == Py_False ? 1 : value == Py_True ? 2 : 0;
    PyObject*& kept = state().stop_iteration[which];
    auto* e = reinterpret_cast<PyStopIterationObject*>(kept);
    if (e && Py_REFCNT(kept) == 1 && !e->dict && !e->notes && !e->traceback && !e->context && !e->cause && e->args &&
        Py_REFCNT(e->args) == 1 && PyTuple_GET_SIZE(e->args) == 1) {
        if (!which || e->value != value || PyTuple_GET_ITEM(e->args, 0) != value) {
            Py_SETREF(e->value, Py_NewRef(value));
            PyObject* old = PyTuple_GET_ITEM(e->args, 0);
            PyTuple_SET_ITEM(e->args, 0, Py_NewRef(value));
            Py_DECREF(old);
        }
        Py_DECREF(value);
        e->suppress_context = 0;
        PyErr_SetRaisedException(Py_NewRef(kept));
        return nullptr;
    }
    PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, value);
    Py_DECREF(value);
    if (!exc) return nullptr;
    Py_XSETREF(kept, Py_NewRef(exc));
    PyErr_SetRaisedException(exc);
    return nullptr;
}

PyObject* method_result(PySendResult r, PyObject* res) {
    if (r == PYGEN_NEXT) return res;
    if (r == PYGEN_RETURN) return raise_stop(res);
    return nullptr;
}

PyObject* coro_send(PyObject* self, PyObject* arg) noexcept {
    Entry entry(self);
    PyObject* res = nullptr;
    PySendResult r = send_marked(as_coro(self)->d, arg, &res);
    return method_result(r, res);
}

PyObject* coro_iternext(PyObject* self) noexcept {
    Entry entry(self);
    PyObject* res = nullptr;
    PySendResult r = send_marked(as_coro(self)->d, Py_None, &res);
    if (r == PYGEN_RETURN && res == Py_None) {
        Py_DECREF(res);
        return nullptr;  // exhausted, no value
    }
    return method_result(r, res);
}

// Normalise throw()'s arguments into one exception instance.
Ref exception_from(PyObject* typ, PyObject* val, PyObject* tb) {
    Ref exc;
    if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) raise(PyExc_TypeError, "instance exception may not have a separate value");
        exc = Ref::borrow(typ);
    } else if (PyExceptionClass_Check(typ)) {
        if (val && PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject*>(typ))) {
            exc = Ref::borrow(val);
        } else if (!val || val == Py_None) {
            exc = check(PyObject_CallNoArgs(typ));
        } else if (PyTuple_Check(val)) {
            exc = check(PyObject_Call(typ, val, nullptr));
        } else {
            exc = check(PyObject_CallOneArg(typ, val));
        }
    } else {
        raisef(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %.100s",
               Py_TYPE(typ)->tp_name);
    }
    if (tb && tb != Py_None) check_status(PyException_SetTraceback(exc.get(), tb));
    return exc;
}

// Deliver an exception into the coroutine the way `yield from` does: to the
// awaited iterator first, then to the C++ frame.
PySendResult throw_into(Driver& d, Ref exc, PyObject** out) {
    *out = nullptr;
    switch (d.state) {
        case Driver::Running:
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            return PYGEN_ERROR;
        case Driver::Created:
            d.destroy_frames();
            d.state = Driver::Done;
            PyErr_SetRaisedException(exc.release());
            return PYGEN_ERROR;
        case Driver::Done:
            PyErr_SetRaisedException(exc.release());
            return PYGEN_ERROR;
        case Driver::Suspended:
            break;
    }
    const bool closing = PyErr_GivenExceptionMatches(exc.get(), PyExc_GeneratorExit);
    d.state = Driver::Running;
    Ref it = d.awaiting;
    if (it) {
        if (closing) {
            // yield from closes the inner iterator, then raises in the frame.
            PyObject* closer = nullptr;
            if (PyObject_GetOptionalAttr(it.get(), RT_NAME("close"), &closer) < 0) {
                exc = Ref::steal(PyErr_GetRaisedException());
            } else if (closer) {
                PyObject* r = PyObject_CallNoArgs(closer);
                Py_DECREF(closer);
                if (r) Py_DECREF(r);
                else exc = Ref::steal(PyErr_GetRaisedException());
            }
        } else {
            PyObject* thrower = nullptr;
            if (PyObject_GetOptionalAttr(it.get(), RT_NAME("throw"), &thrower) < 0) {
                exc = Ref::steal(PyErr_GetRaisedException());
            } else if (thrower) {
                PyObject* res = PyObject_CallOneArg(thrower, exc.get());
                Py_DECREF(thrower);
                if (res) {
                    *out = res;
                    return PYGEN_NEXT;
                }
                d.awaiting.reset();
                if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                    Ref stop = Ref::steal(PyErr_GetRaisedException());
                    Ref value = check(PyObject_GetAttr(stop.get(), RT_NAME("value")));
                    return resume(d, std::move(value), Ref(), out);
                }
                return resume(d, Ref(), Ref::steal(PyErr_GetRaisedException()), out);
            }
        }
    }
    d.awaiting.reset();
    return resume(d, Ref(), std::move(exc), out);
}

// throw_into with the running mark held from entry to exit.
PySendResult throw_marked(Driver& d, Ref exc, PyObject** out) {
    RunMark mark(d);
    return throw_into(d, std::move(exc), out);
}

PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    Entry entry(self);
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    try {
        Ref exc = exception_from(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
        PyObject* res = nullptr;
        PySendResult r = throw_marked(as_coro(self)->d, std::move(exc), &res);
        return method_result(r, res);
    } catch (...) {
        set_error_from_current();
        return nullptr;
    }
}

PyObject* coro_close(PyObject* self, PyObject*) noexcept {
    Entry entry(self);
    Driver& d = as_coro(self)->d;
    if (d.state == Driver::Created || d.state == Driver::Done) {
        d.destroy_frames();
        d.awaiting.reset();
        d.state = Driver::Done;
        Py_RETURN_NONE;
    }
    Ref exit = Ref::steal(PyObject_CallNoArgs(PyExc_GeneratorExit));
    if (!exit) return nullptr;
    PyObject* res = nullptr;
    PySendResult r;
    try {
        r = throw_marked(d, std::move(exit), &res);
    } catch (...) {
        set_error_from_current();
        return nullptr;
    }
    if (r == PYGEN_NEXT) {
        Py_DECREF(res);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (r == PYGEN_RETURN) return res;
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject* coro_await(PyObject* self) noexcept { return Py_NewRef(self); }

PyObject* coro_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", function_qualname(as_coro(self)->d.func.get()), self);
}

void coro_finalize(PyObject* self) noexcept {
    Entry entry(self);
    as_coro(self)->finalized = true;
    Driver& d = as_coro(self)->d;
    PyObject* saved = PyErr_GetRaisedException();
    if (d.state == Driver::Created) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited", function_qualname(d.func.get())) < 0) {
            PyErr_WriteUnraisable(self);
        }
    } else if (d.state == Driver::Suspended) {
        PyObject* r = coro_close(self, nullptr);
        if (r) Py_DECREF(r);
        else PyErr_WriteUnraisable(self);
    }
    PyErr_SetRaisedException(saved);
}

// The collector sees what the coroutine holds: the awaited iterator, the
// value or exception on its way in, the function that made it and the
// arguments of that call, which the C++ frames take as borrowed references
// (`Arg`), nested frames included.  So the usual cycle, an object whose
// attribute holds a task running one of its own native methods (self ->
// task -> coroutine -> self), is seen and collected.  A frame's local
// `Ref`s are not visited: what they hold counts as referenced from outside,
// which keeps it alive (never frees it early); a cycle that runs only
// through such a local is not collected.
int coro_traverse(PyObject* self, visitproc visit, void* arg) {
    Driver& d = as_coro(self)->d;
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(d.awaiting.get());
    Py_VISIT(d.first_yield.get());
    Py_VISIT(d.in_value.get());
    Py_VISIT(d.in_exc.get());
    Py_VISIT(d.func.get());
    for (unsigned i = 0; i < d.nargs; ++i) Py_VISIT(d.args[i]);
    return 0;
}

// Breaking a cycle: the frames go first (they borrow the arguments), then
// the references the coroutine owns.  A running coroutine is never garbage.
int coro_clear(PyObject* self) {
    Entry entry(self);
    Driver& d = as_coro(self)->d;
    if (d.state == Driver::Running) return 0;
    d.destroy_frames();
    d.state = Driver::Done;
    d.awaiting.reset();
    d.first_yield.reset();
    d.in_value.reset();
    d.in_exc.reset();
    d.release_args();
    return 0;
}

void coro_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // A finished coroutine has nothing to finalize.
    if (as_coro(self)->d.state != Driver::Done && PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    if (as_coro(self)->weakrefs) PyObject_ClearWeakRefs(self);
    rt::State* st = as_coro(self)->state;
    {
        // Destroying frames runs module code; a finished coroutine has only
        // references to release.
        std::optional<StateScope> scope;
        if (as_coro(self)->d.root) scope.emplace(st);
        as_coro(self)->d.~Driver();  // destroys the frames (and what they hold), then the arguments
    }
#if !defined(__SANITIZE_ADDRESS__)
    if (st && st->coro_type == tp && !as_coro(self)->finalized && st->coro_free_count < std::size(st->coro_free)) {
        st->coro_free[st->coro_free_count++] = self;  // untracked, no references held
        Py_DECREF(tp);
        return;
    }
#endif
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* coro_get_name(PyObject* self, void*) noexcept { return Py_NewRef(function_name(as_coro(self)->d.func.get())); }
PyObject* coro_get_qualname(PyObject* self, void*) noexcept {
    return Py_NewRef(function_qualname(as_coro(self)->d.func.get()));
}
PyObject* coro_get_await(PyObject* self, void*) noexcept {
    PyObject* a = as_coro(self)->d.awaiting.get();
    return Py_NewRef(a ? a : Py_None);
}
PyObject* coro_get_running(PyObject* self, void*) noexcept {
    return PyBool_FromLong(as_coro(self)->d.state == Driver::Running);
}
PyObject* coro_get_suspended(PyObject* self, void*) noexcept {
    return PyBool_FromLong(as_coro(self)->d.state == Driver::Suspended);
}

PyMethodDef coro_methods[] = {
    {"send", reinterpret_cast<PyCFunction>(coro_send), METH_O, "send(arg) -> send 'arg' into coroutine."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)), METH_FASTCALL,
     "throw(value) -> raise exception in coroutine."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coro_getset[] = {
    {"__name__", coro_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", coro_get_qualname, nullptr, nullptr, nullptr},
    {"cr_await", coro_get_await, nullptr, nullptr, nullptr},
    {"cr_running", coro_get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", coro_get_suspended, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef coro_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(CoroObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot coro_slots[] = {
    {Py_am_await, reinterpret_cast<void*>(coro_await)},
    {Py_am_send, reinterpret_cast<void*>(coro_am_send)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(coro_iternext)},
    {Py_tp_repr, reinterpret_cast<void*>(coro_repr)},
    {Py_tp_finalize, reinterpret_cast<void*>(coro_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(coro_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(coro_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(coro_dealloc)},
    {Py_tp_methods, coro_methods},
    {Py_tp_getset, coro_getset},
    {Py_tp_members, coro_members},
    {0, nullptr},
};

PyType_Spec coro_spec = {
    "tovana.runtime.native_coroutine",
    sizeof(CoroObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    coro_slots,
};

}  // namespace

bool PyAwaiter::await_ready() {
    Ref it = awaitable_iter(awaitable_.get());
    awaitable_.reset();
    Driver& d = *driver_;
    d.awaiting = it;  // cr_await during the first step, as for a generator
    PyObject* res = nullptr;
    const PySendResult r = PyIter_Send(it.get(), Py_None, &res);
    if (r == PYGEN_NEXT) {
        d.first_yield = Ref::steal(res);
        return false;
    }
    d.awaiting.reset();
    done_ = true;
    if (r == PYGEN_RETURN) {
        value_ = Ref::steal(res);
    } else {
        exc_ = Ref::steal(PyErr_GetRaisedException());
    }
    return true;
}

void PyAwaiter::suspend(std::coroutine_handle<> h) noexcept { driver_->leaf = h; }

Ref PyAwaiter::await_resume() {
    if (done_) {
        if (exc_) throw PyException(std::move(exc_));
        return std::move(value_);
    }
    Driver& d = *driver_;
    if (d.in_exc) throw PyException(std::move(d.in_exc));
    return std::move(d.in_value);
}

bool PyAttemptAwaiter::await_ready() {
    try {
        return PyAwaiter::await_ready();
    } catch (PyException& e) {
        done_ = true;
        exc_ = e.ref();
        return true;
    }
}

Outcome<Ref> PyAttemptAwaiter::await_resume() {
    Outcome<Ref> out;
    Ref exc = done_ ? std::move(exc_) : std::move(driver_->in_exc);
    if (exc) {
        out.py_error = exc;
        out.error = std::make_exception_ptr(PyException(std::move(exc)));
    } else {
        out.value.emplace(done_ ? std::move(value_) : std::move(driver_->in_value));
    }
    return out;
}

Ref python_error(const std::exception_ptr& e) {
    if (!e) return Ref();
    try {
        std::rethrow_exception(e);
    } catch (PyException& p) {
        return p.ref();
    } catch (...) {
        return Ref();
    }
}

PyTypeObject* make_coroutine_type(PyObject* module) {
    Ref type = check(PyType_FromModuleAndSpec(module, &coro_spec, nullptr));
    // collections.abc.Coroutine recognises the type by its methods; register
    // it anyway so isinstance() needs no structural check.
    Ref abc = check(PyImport_ImportModule("collections.abc"));
    Ref coroutine_abc = getattr(abc.get(), RT_NAME("Coroutine"));
    call_method(coroutine_abc.get(), RT_NAME("register"), type);
    return reinterpret_cast<PyTypeObject*>(type.release());
}

void free_coroutine_memory(State& s) noexcept {
    while (s.coro_free_count) PyObject_GC_Del(s.coro_free[--s.coro_free_count]);
    release_frames();
}

// A coroutine object of the module with state `s`, with an empty Driver:
// the memory of a finished one when there is one (tracked only once its
// fields are set), else a new one.
[[gnu::always_inline]] inline Ref new_coroutine_object(State& s) {
    if (s.coro_free_count) {
        PyObject* o = s.coro_free[--s.coro_free_count];
        CoroObject* c = as_coro(o);
        c->state = &s;
        c->qualname = nullptr;
        new (&c->d) Driver;  // default-initialised: the members say how
        c->weakrefs = nullptr;
        c->finalized = false;
        PyObject_Init(o, s.coro_type);
        PyObject_GC_Track(o);
        return Ref::steal(o);
    }
    Ref o = check(PyType_GenericAlloc(s.coro_type, 0));  // zero-filled
    as_coro(o.get())->state = &s;
    new (&as_coro(o.get())->d) Driver;
    return o;
}

namespace {
// A coroutine object for a call of the native function `func`, keeping the
// call's arguments; nothing to run yet.
[[gnu::always_inline]] inline Ref coroutine_for(PyObject* func, PyObject* const* args, size_t nargs) {
    if (nargs > Driver::kMaxHeld) raise(PyExc_SystemError, "too many coroutine arguments");
    Ref self = new_coroutine_object(state());
    CoroObject* c = as_coro(self.get());
    c->d.func = Ref::borrow(func);
    c->qualname = function_qualname(func);
    for (size_t i = 0; i < nargs; ++i) c->d.args[i] = Py_NewRef(args[i]);
    c->d.nargs = static_cast<unsigned char>(nargs);
    return self;
}
}  // namespace

Ref make_deferred(FirstPart first, PyObject* func, PyObject* const* args, size_t nargs) {
    Ref self = coroutine_for(func, args, nargs);
    as_coro(self.get())->d.first = first;
    return self;
}

Ref make_coroutine(Co<Ref> co, PyObject* func, PyObject* const* args, size_t nargs) {
    Ref self = coroutine_for(func, args, nargs);
    Driver& d = as_coro(self.get())->d;
    d.root = co.release();
    d.root.promise().driver = &d;
    return self;
}

}  // namespace rt
