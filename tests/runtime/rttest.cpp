// Test-only module over the runtime layer: small functions, a class and
// coroutines that the runtime tests drive from Python.
#include "rt.hpp"

namespace {

using rt::Arg;
using rt::Args;
using rt::Check;
using rt::Co;
using rt::Param;
using rt::Ref;

// ---- argument checks ---------------------------------------------------

const Param kinds_params[] = {
    {"s", "str", Check::Str},
    {"d", "dict[str, Any]", Check::Dict},
    {"l", "list[int]", Check::List},
    {"i", "int", Check::Int},
    {"f", "float", Check::Float},
    {"o", "str | None", Check::Str, true, rt::none_default},
    {"n", "int", Check::Int, false, rt::int_default(20)},
};
Ref kinds(const Args& a) {
    return rt::check(Py_BuildValue("(OOOOOOO)", a[0], a[1], a[2], a[3], a[4], a[5], a[6]));
}
const rt::FuncDef kinds_def{"kinds", "Return the checked arguments as a tuple.", kinds_params, "tuple", kinds};

// ---- a class -------------------------------------------------------------

const Param self_only[] = {{"self"}};
const Param get_params[] = {{"self"}, {"key", "str", Check::Str}};

Ref widget_init(const Args& a) {
    rt::setattr(a[0], RT_NAME("items"), rt::check(PyDict_New()));
    return rt::none();
}
Ref widget_get(const Args& a) {
    Ref items = RT_ATTR(a[0], "items");
    return rt::call_method(items.get(), RT_NAME("get"), a[1]);
}
Ref widget_get_kept(const Args& a) {
    Ref items = RT_KEPT_ATTR(a[0], "items");
    return rt::call_method(items.get(), RT_NAME("get"), a[1]);
}
Ref widget_size(const Args& a) {
    Ref items = rt::getattr(a[0], RT_NAME("items"));
    return rt::integer(PyObject_Length(items.get()));
}

Co<Ref> widget_work_co(Arg self, Arg x) {
    Ref asyncio = RT_GLOBAL("asyncio");
    co_await rt::call_method(asyncio.get(), RT_NAME("sleep"), 0);
    Ref items = rt::getattr(self.get(), RT_NAME("items"));
    rt::setitem(items.get(), RT_NAME("work"), x);
    co_return x;
}
Ref widget_work(const Args& a) {
    return rt::coroutine(a, widget_work_co(a[0], a[1]));
}

const Param work_params[] = {{"self"}, {"x", "int", Check::Int}};
const rt::FuncDef widget_init_def{"__init__", nullptr, self_only, "None", widget_init};
const rt::FuncDef widget_get_def{"get", "Look a key up.", get_params, "Any", widget_get};
const rt::FuncDef widget_get_kept_def{"get_kept", "Look a key up (a kept-value read).", get_params, "Any",
                                      widget_get_kept};
const rt::FuncDef widget_size_def{"size", nullptr, self_only, "int", widget_size};
const rt::FuncDef widget_work_def{"work", "Store x after one loop turn.", work_params, "int", widget_work,
                                  rt::Kind::Coroutine};

// ---- coroutines ------------------------------------------------------------

const Param awaitable_param[] = {{"awaitable", "Awaitable[Any]"}};

// Await anything and return its result.
Co<Ref> await_it_co(Arg aw) { co_return co_await aw; }
Ref await_it(const Args& a) { return rt::coroutine(a, await_it_co(a[0])); }
const rt::FuncDef await_it_def{"await_it", "Await and return the result.", awaitable_param, "Any", await_it,
                               rt::Kind::Coroutine};

// Await and report a Python exception as ("caught", exc).
Co<Ref> catch_it_co(Arg aw) {
    try {
        Ref r = co_await aw;
        co_return rt::check(Py_BuildValue("(sO)", "ok", r.get()));
    } catch (rt::PyException& e) {
        co_return rt::check(Py_BuildValue("(sO)", "caught", e.value()));
    }
}
Ref catch_it(const Args& a) { return rt::coroutine(a, catch_it_co(a[0])); }
const rt::FuncDef catch_it_def{"catch_it", nullptr, awaitable_param, "tuple", catch_it, rt::Kind::Coroutine};

// Await `aw`, then always call `cleanup()` and await what it returns.
Co<Ref> with_cleanup_co(Arg aw, Arg cleanup) {
    auto outcome = co_await rt::attempt(std::move(aw));
    co_await rt::call(cleanup.get());
    co_return outcome.get();
}
const Param cleanup_params[] = {{"awaitable"}, {"cleanup"}};
Ref with_cleanup(const Args& a) {
    return rt::coroutine(a, with_cleanup_co(a[0], a[1]));
}
const rt::FuncDef with_cleanup_def{"with_cleanup", nullptr, cleanup_params, "Any", with_cleanup,
                                   rt::Kind::Coroutine};

// Nested C++ coroutines: depth levels, each awaiting asyncio.sleep(0).
Co<long> nest_co(long depth) {
    Ref asyncio = RT_GLOBAL("asyncio");
    co_await rt::call_method(asyncio.get(), RT_NAME("sleep"), 0);
    if (depth <= 1) co_return 1;
    long below = co_await nest_co(depth - 1);
    co_return below + 1;
}
Co<Ref> nested_co(long depth) {
    long n = co_await nest_co(depth);
    co_return rt::integer(n);
}
const Param depth_param[] = {{"depth", "int", Check::Int}};
Ref nested(const Args& a) { return rt::coroutine(a, nested_co(PyLong_AsLong(a[0]))); }
const rt::FuncDef nested_def{"nested", nullptr, depth_param, "int", nested, rt::Kind::Coroutine};

// Sleep twice; the cheapest coroutine for counting costs.
Co<Ref> sleep_twice_co() {
    Ref asyncio = RT_GLOBAL("asyncio");
    co_await rt::call_method(asyncio.get(), RT_NAME("sleep"), 0);
    co_await rt::call_method(asyncio.get(), RT_NAME("sleep"), 0);
    co_return rt::none();
}
Ref sleep_twice(const Args& a) { return rt::coroutine(a, sleep_twice_co()); }
const rt::FuncDef sleep_twice_def{"sleep_twice", nullptr, {}, "None", sleep_twice, rt::Kind::Coroutine};

// Hold `lock` (an asyncio.Lock) around awaiting `aw`.
Co<Ref> locked_co(Arg lock, Arg aw) {
    co_await rt::call_method(lock.get(), RT_NAME("acquire"));
    auto outcome = co_await rt::attempt(std::move(aw));
    rt::call_method(lock.get(), RT_NAME("release"));
    co_return outcome.get();
}
const Param locked_params[] = {{"lock"}, {"awaitable"}};
Ref locked(const Args& a) { return rt::coroutine(a, locked_co(a[0], a[1])); }
const rt::FuncDef locked_def{"locked", nullptr, locked_params, "Any", locked, rt::Kind::Coroutine};

// Raise a Python error from inside a coroutine after one loop turn.
Co<Ref> fail_after_co(Arg message) {
    Ref asyncio = RT_GLOBAL("asyncio");
    co_await rt::call_method(asyncio.get(), RT_NAME("sleep"), 0);
    PyErr_SetObject(PyExc_ValueError, message.get());
    rt::throw_pending();
}
const Param message_param[] = {{"message", "str", Check::Str}};
Ref fail_after(const Args& a) { return rt::coroutine(a, fail_after_co(a[0])); }
const rt::FuncDef fail_after_def{"fail_after", nullptr, message_param, "None", fail_after, rt::Kind::Coroutine};

// The cheapest native coroutine: it finishes at once.
Co<Ref> at_once_co() { co_return rt::none(); }
Ref at_once(const Args& a) { return rt::coroutine(a, at_once_co()); }
const rt::FuncDef at_once_def{"at_once", nullptr, {}, "None", at_once, rt::Kind::Coroutine};

// Await `awaitable` n times (a done future gives its result each time).
Co<Ref> await_times_co(Arg aw, long n) {
    for (long i = 0; i < n; ++i) co_await Ref(aw);
    co_return rt::none();
}
const Param await_times_params[] = {{"awaitable"}, {"n", "int", Check::Int}};
Ref await_times(const Args& a) { return rt::coroutine(a, await_times_co(a[0], PyLong_AsLong(a[1]))); }
const rt::FuncDef await_times_def{"await_times", nullptr, await_times_params, "None", await_times,
                                  rt::Kind::Coroutine};

// A coroutine with a first part: it notes "first" in `log`, then by `mode`
// answers "now" at once, raises ValueError, or goes on to a frame that
// sleeps once and answers "later".
Co<Ref> first_part_rest(Arg log) {
    Ref asyncio = RT_GLOBAL("asyncio");
    co_await rt::call_method(asyncio.get(), RT_NAME("sleep"), 0);
    rt::check_status(PyList_Append(log.get(), rt::str("rest").get()));
    co_return rt::str("later");
}
rt::FirstStep first_part_first(PyObject* const* a) {
    rt::check_status(PyList_Append(a[0], rt::str("first").get()));
    if (PyUnicode_CompareWithASCIIString(a[1], "now") == 0) return {rt::str("now"), {}};
    if (PyUnicode_CompareWithASCIIString(a[1], "fail") == 0) rt::raise(PyExc_ValueError, "failed in the first part");
    return {Ref(), first_part_rest(a[0])};
}
const Param first_part_params[] = {{"log", "list", Check::List}, {"mode", "str", Check::Str}};
Ref first_part(const Args& a) { return rt::coroutine(a, first_part_first); }
const rt::FuncDef first_part_def{"first_part", nullptr, first_part_params, "str", first_part, rt::Kind::Coroutine};

void exec(PyObject*) {
    rt::import_global("asyncio");
    rt::set_global("kinds", rt::function(kinds_def));
    rt::set_global("await_it", rt::function(await_it_def));
    rt::set_global("catch_it", rt::function(catch_it_def));
    rt::set_global("with_cleanup", rt::function(with_cleanup_def));
    rt::set_global("nested", rt::function(nested_def));
    rt::set_global("sleep_twice", rt::function(sleep_twice_def));
    rt::set_global("locked", rt::function(locked_def));
    rt::set_global("fail_after", rt::function(fail_after_def));
    rt::set_global("at_once", rt::function(at_once_def));
    rt::set_global("await_times", rt::function(await_times_def));
    rt::set_global("first_part", rt::function(first_part_def));
    rt::ClassBuilder widget("Widget", "A small class made of native functions.");
    widget.method(widget_init_def).method(widget_get_def).method(widget_get_kept_def).property(widget_size_def).method(widget_work_def);
    rt::set_global("Widget", widget.build());
}

}  // namespace

RT_MODULE(_rttest, exec)
