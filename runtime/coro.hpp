// C++20 coroutines as Python coroutine objects.
//
// A `Co<T>` is a lazily started C++ coroutine.  Inside one:
//   * `co_await obj` on a Ref (any Python awaitable: coroutine, future, task,
//     or another native coroutine) suspends until it finishes and gives its
//     result as a Ref; a Python exception from it arrives as PyException;
//   * `co_await other_co` runs a nested Co<U> and gives its value;
//   * `co_await attempt(x)` does the same but never throws: it gives an
//     Outcome holding the value or the exception.
//
// C++ forbids co_await inside a catch handler.  The one idiom for
// "finally, with an await in it" used throughout the code base is:
//
//     auto outcome = co_await rt::attempt(body(...));   // never throws
//     co_await cleanup(...);                            // may await freely
//     co_return outcome.get();                          // value or rethrow
//
// g++ 12 rejects a braced initializer list inside a co_await operand (it
// cannot keep the array behind it in the frame): build such an awaitable
// into a local first, e.g. `Ref w = rt::call_kw(f, {a}, {{"timeout", t}});
// co_await w;`.
//
// make_coroutine() wraps a root Co<Ref> into a Python object that follows the
// coroutine protocol (__await__, send, throw, close, am_send), so `await`,
// asyncio.create_task, asyncio.gather and asyncio.iscoroutine accept it.  The
// Python object drives the C++ frames: it forwards send/throw to the Python
// iterator the innermost C++ coroutine is waiting on, and resumes the C++
// code when that iterator finishes.  Destroying it destroys every frame.
#pragma once

#include "api.hpp"

#include <coroutine>
#include <exception>
#include <new>
#include <optional>
#include <utility>

namespace rt {

struct Driver;

// Coroutine frames come from small free lists by size class (frames are
// made and destroyed at a high rate, always under the interpreter's lock).
#if defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer every frame is its own allocation, so that a use
// after free is caught.
inline void* frame_alloc(size_t size) { return ::operator new(size); }
inline void frame_free(void* p, size_t) noexcept { ::operator delete(p); }
inline void release_frames() noexcept {}
#else
namespace detail {
inline constexpr size_t kFrameClass = 64;    // bytes per size class
inline constexpr size_t kFrameClasses = 24;  // frames up to 1536 bytes are kept
inline constexpr unsigned kFramesKept = 64;  // per class
struct FreeFrame {
    FreeFrame* next;
};
struct FrameCache {
    FreeFrame* head[kFrameClasses] = {};
    unsigned count[kFrameClasses] = {};
};
inline FrameCache frames;
}  // namespace detail

inline void* frame_alloc(size_t size) {
    using namespace detail;
    const size_t c = (size + kFrameClass - 1) / kFrameClass;
    if (c < kFrameClasses) {
        if (FreeFrame* f = frames.head[c]) {
            frames.head[c] = f->next;
            --frames.count[c];
            return f;
        }
        return ::operator new(c * kFrameClass);
    }
    return ::operator new(size);
}

inline void frame_free(void* p, size_t size) noexcept {
    using namespace detail;
    const size_t c = (size + kFrameClass - 1) / kFrameClass;
    if (c < kFrameClasses && frames.count[c] < kFramesKept) {
        auto* f = static_cast<FreeFrame*>(p);
        f->next = frames.head[c];
        frames.head[c] = f;
        ++frames.count[c];
        return;
    }
    ::operator delete(p);
}

// Give the kept frames back.
inline void release_frames() noexcept {
    using namespace detail;
    for (size_t c = 0; c < kFrameClasses; ++c) {
        while (FreeFrame* f = frames.head[c]) {
            frames.head[c] = f->next;
            ::operator delete(f);
        }
        frames.count[c] = 0;
    }
}
#endif

struct PromiseBase {
    PromiseBase() noexcept {}  // user-declared: never built from the coroutine's arguments
    static void* operator new(size_t size) { return frame_alloc(size); }
    static void operator delete(void* p, size_t size) noexcept { frame_free(p, size); }
    Driver* driver = nullptr;
    std::coroutine_handle<> continuation;
    std::exception_ptr error;

    std::suspend_always initial_suspend() noexcept { return {}; }
    struct FinalAwaiter {
        bool await_ready() noexcept { return false; }
        template <class P>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<P> h) noexcept {
            auto next = h.promise().continuation;
            return next ? next : std::noop_coroutine();
        }
        void await_resume() noexcept {}
    };
    FinalAwaiter final_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept { error = std::current_exception(); }
};

template <class T>
struct Outcome;

// Awaiting a Python awaitable from C++.  The first step of the awaited
// iterator is taken at once, inside the awaiting frame: an awaitable that
// finishes in it (a done future, a coroutine that does not suspend) costs
// no suspension at all; otherwise the frame suspends and the coroutine
// object hands out what that step yielded.
struct PyAwaiter {
    PyAwaiter(Ref awaitable, Driver* d) : awaitable_(std::move(awaitable)), driver_(d) {}
    bool await_ready();
    template <class P>
    void await_suspend(std::coroutine_handle<P> h) noexcept {
        suspend(h);
    }
    Ref await_resume();

protected:
    void suspend(std::coroutine_handle<> h) noexcept;
    Ref awaitable_;
    Driver* driver_;
    bool done_ = false;  // the first step finished the awaitable...
    Ref value_, exc_;    // ...with this value or this exception
};

// The same, giving an Outcome instead of throwing: `co_await attempt(aw)`.
struct PyAttemptAwaiter : PyAwaiter {
    PyAttemptAwaiter(Ref awaitable, Driver* d) : PyAwaiter(std::move(awaitable), d) {}
    bool await_ready();
    Outcome<Ref> await_resume();
};

// What attempt(awaitable) returns: a marker that the promise turns into a
// PyAttemptAwaiter.
struct AttemptRef {
    Ref awaitable;
};

template <class T>
class Co;
template <class T>
struct AttemptCo;

template <class T>
struct Promise : PromiseBase {
    Promise() noexcept {}
    std::optional<T> value;
    Co<T> get_return_object() noexcept;
    template <class V>
    void return_value(V&& v) {
        value.emplace(std::forward<V>(v));
    }
    PyAwaiter await_transform(Ref awaitable) { return PyAwaiter(std::move(awaitable), driver); }
    PyAttemptAwaiter await_transform(AttemptRef a) { return PyAttemptAwaiter(std::move(a.awaitable), driver); }
    template <class U>
    Co<U>&& await_transform(Co<U>&& c) noexcept {
        return std::move(c);
    }
    template <class U>
    AttemptCo<U>&& await_transform(AttemptCo<U>&& c) noexcept {
        return std::move(c);
    }
};

template <>
struct Promise<void> : PromiseBase {
    Promise() noexcept {}
    Co<void> get_return_object() noexcept;
    void return_void() noexcept {}
    PyAwaiter await_transform(Ref awaitable) { return PyAwaiter(std::move(awaitable), driver); }
    PyAttemptAwaiter await_transform(AttemptRef a) { return PyAttemptAwaiter(std::move(a.awaitable), driver); }
    template <class U>
    Co<U>&& await_transform(Co<U>&& c) noexcept {
        return std::move(c);
    }
    template <class U>
    AttemptCo<U>&& await_transform(AttemptCo<U>&& c) noexcept {
        return std::move(c);
    }
};

template <class T = Ref>
class [[nodiscard]] Co {
public:
    using promise_type = Promise<T>;
    using handle = std::coroutine_handle<promise_type>;

    Co() noexcept : h_() {}  // no coroutine
    explicit Co(handle h) noexcept : h_(h) {}
    Co(Co&& o) noexcept : h_(std::exchange(o.h_, {})) {}
    Co& operator=(Co&& o) noexcept {
        if (this != &o) {
            destroy();
            h_ = std::exchange(o.h_, {});
        }
        return *this;
    }
    Co(const Co&) = delete;
    Co& operator=(const Co&) = delete;
    ~Co() { destroy(); }

    handle release() noexcept { return std::exchange(h_, {}); }
    explicit operator bool() const noexcept { return static_cast<bool>(h_); }
    promise_type& promise() const noexcept { return h_.promise(); }

    // Awaited from another C++ coroutine: start it by symmetric transfer and
    // come back here when it finishes.
    bool await_ready() const noexcept { return false; }
    template <class P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> parent) noexcept {
        h_.promise().driver = parent.promise().driver;
        h_.promise().continuation = parent;
        return h_;
    }
    T await_resume() {
        auto& p = h_.promise();
        if (p.error) std::rethrow_exception(p.error);
        if constexpr (!std::is_void_v<T>) return std::move(*p.value);
    }

private:
    void destroy() noexcept {
        if (h_) h_.destroy();
        h_ = {};
    }
    handle h_;
};

template <class T>
Co<T> Promise<T>::get_return_object() noexcept {
    return Co<T>(std::coroutine_handle<Promise<T>>::from_promise(*this));
}
inline Co<void> Promise<void>::get_return_object() noexcept {
    return Co<void>(std::coroutine_handle<Promise<void>>::from_promise(*this));
}

// The value of an awaited operation, or the exception it ended with (and,
// when it is known without rethrowing, the Python exception behind it).
template <class T>
struct Outcome {
    std::optional<T> value;
    std::exception_ptr error;
    Ref py_error;
    bool failed() const noexcept { return error != nullptr; }
    T get() {
        if (error) std::rethrow_exception(error);
        return std::move(*value);
    }
};
template <>
struct Outcome<void> {
    std::exception_ptr error;
    Ref py_error;
    bool failed() const noexcept { return error != nullptr; }
    void get() {
        if (error) std::rethrow_exception(error);
    }
};

// co_await attempt(co): run a nested coroutine and give its Outcome; nothing
// is rethrown on the way.
template <class T>
struct [[nodiscard]] AttemptCo {
    Co<T> co;
    bool await_ready() const noexcept { return false; }
    template <class P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> parent) noexcept {
        return co.await_suspend(parent);
    }
    Outcome<T> await_resume() {
        auto& p = co.promise();
        Outcome<T> out;
        if (p.error) {
            out.error = p.error;
        } else if constexpr (!std::is_void_v<T>) {
            out.value.emplace(std::move(*p.value));
        }
        return out;
    }
};

template <class T>
AttemptCo<T> attempt(Co<T> c) {
    return AttemptCo<T>{std::move(c)};
}

// co_await attempt(awaitable): await a Python awaitable and give its Outcome.
inline AttemptRef attempt(Ref awaitable) { return AttemptRef{std::move(awaitable)}; }

// The Python exception an Outcome failed with, if it is one (null Ref for a
// C++ exception that is not a PyException).
Ref python_error(const std::exception_ptr& e);
template <class T>
Ref python_error(const Outcome<T>& o) {
    return o.py_error ? o.py_error : python_error(o.error);
}

// At most this many arguments of a coroutine function's call are kept by
// its coroutine object (checked when the function is defined).
inline constexpr size_t kMaxCoroutineArgs = 8;

// Give back the memory kept for reuse: the module's finished coroutine
// objects and the coroutine frames.
void free_coroutine_memory(State& s) noexcept;

// The native coroutine type of a module (made when the module executes).
PyTypeObject* make_coroutine_type(PyObject* module);

// What the first part of a native coroutine gives (see make_deferred):
// its value when it finished without awaiting anything, or the rest of the
// coroutine to run from there.
struct FirstStep {
    Ref value;    // set: finished with this value
    Co<Ref> rest;  // else: continue with this coroutine
};
// A first part: a plain function of the call's arguments (borrowed from
// the coroutine object, which keeps them).
using FirstPart = FirstStep (*)(PyObject* const* args);

// A Python coroutine object whose first part is the plain function
// `first`: it runs at the first send, as the start of the body would, and
// costs no coroutine frame when it finishes at once.
Ref make_deferred(FirstPart first, PyObject* func, PyObject* const* args, size_t nargs);

// Wrap a root coroutine into a Python coroutine object named after the
// native function `func` (its __name__ and __qualname__).  The coroutine
// object keeps `args` (the call's bound arguments), so the frames may hold
// them as borrowed references (`Arg`) and the collector sees them.
Ref make_coroutine(Co<Ref> co, PyObject* func, PyObject* const* args = nullptr, size_t nargs = 0);

}  // namespace rt
