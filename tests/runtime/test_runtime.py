"""The shared C++ runtime, through the test-only module `_rttest`."""
import asyncio
import gc
import inspect
import sys
import tracemalloc
import types
import warnings
import weakref

import pytest

import _rttest as m

TEXT = "Argument '{}' has incorrect type (expected {}, got {})"


def call_kinds(**changes):
    args = dict(s="a", d={}, l=[], i=1, f=1.0)
    args.update(changes)
    return m.kinds(**args)


class Str(str):
    pass


class Dict(dict):
    pass


# ---- argument checks --------------------------------------------------------


@pytest.mark.parametrize(
    "name, value, expected, got",
    [
        ("s", None, "str", "NoneType"),
        ("s", b"a", "str", "bytes"),
        ("d", [], "dict", "list"),
        ("d", None, "dict", "NoneType"),
        ("l", (), "list", "tuple"),
        ("i", "3", "int", "str"),
        ("i", None, "int", "NoneType"),
        ("i", 1j, "int", "complex"),
        ("f", "1.0", "float", "str"),
        ("o", 5, "str", "int"),
    ],
)
def test_wrong_types_are_refused_with_the_exact_text(name, value, expected, got):
    with pytest.raises(TypeError) as info:
        call_kinds(**{name: value})
    assert str(info.value) == TEXT.format(name, expected, got)
    assert not getattr(info.value, "__notes__", None)


@pytest.mark.parametrize("name, value, got", [("s", Str("a"), "Str"), ("d", Dict(), "Dict")])
def test_subclasses_of_builtin_types_are_refused_with_a_note(name, value, got):
    with pytest.raises(TypeError) as info:
        call_kinds(**{name: value})
    expected = "str" if name == "s" else "dict"
    assert str(info.value) == TEXT.format(name, expected, got)
    assert len(info.value.__notes__) == 1 and "ubclass" in info.value.__notes__[0]


def test_numbers_are_converted():
    from decimal import Decimal
    from fractions import Fraction

    assert call_kinds(i=3.9)[3] == 3 and type(call_kinds(i=3.9)[3]) is int
    assert call_kinds(i=-3.9)[3] == -3
    assert call_kinds(i=True)[3] == 1 and type(call_kinds(i=True)[3]) is int
    assert call_kinds(i=Fraction(7, 2))[3] == 3
    assert call_kinds(i=Decimal("2.5"))[3] == 2
    assert call_kinds(f=30)[4] == 30.0 and type(call_kinds(f=30)[4]) is float
    assert call_kinds(f=True)[4] == 1.0
    big = 10**30
    assert call_kinds(i=big)[3] is big  # exact ints are passed through
    assert call_kinds(o=None)[5] is None and call_kinds(o="x")[5] == "x"
    assert call_kinds(n=2.5)[6] == 2


def test_argument_count_and_keywords():
    with pytest.raises(TypeError, match=r"kinds\(\) missing 4 required positional arguments: 'd', 'l', 'i', and 'f'"):
        m.kinds("a")
    with pytest.raises(TypeError, match=r"takes from 5 to 7 positional arguments but 8 were given"):
        m.kinds("a", {}, [], 1, 1.0, None, 1, 2)
    with pytest.raises(TypeError, match="unexpected keyword argument 'zz'"):
        call_kinds(zz=1)
    with pytest.raises(TypeError, match="multiple values for argument 's'"):
        m.kinds("a", {}, [], 1, 1.0, s="b")
    w = m.Widget()
    with pytest.raises(TypeError, match=r"Widget.get\(\) missing 1 required positional argument: 'key'"):
        w.get()
    with pytest.raises(TypeError, match=r"Widget.__init__\(\) takes 1 positional argument but 2 were given"):
        m.Widget(1)


def test_coroutine_arguments_are_checked_before_a_coroutine_exists():
    gc.collect()
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # an unawaited coroutine would warn
        with pytest.raises(TypeError, match=TEXT.format("x", "int", "str").replace("(", r"\(").replace(")", r"\)")):
            m.Widget().work("nope")
        gc.collect()


# ---- functions look like Python functions -----------------------------------


def test_function_attributes_and_signature():
    f = m.kinds
    assert (f.__name__, f.__qualname__, f.__module__) == ("kinds", "kinds", "_rttest")
    assert f.__doc__ == "Return the checked arguments as a tuple."
    assert f.__annotations__ == {
        "s": "str", "d": "dict[str, Any]", "l": "list[int]", "i": "int", "f": "float",
        "o": "str | None", "n": "int", "return": "tuple",
    }
    assert str(inspect.signature(f)) == (
        "(s: 'str', d: 'dict[str, Any]', l: 'list[int]', i: 'int', f: 'float', "
        "o: 'str | None' = None, n: 'int' = 20) -> 'tuple'"
    )
    f.extra = 1
    assert f.__dict__["extra"] == 1
    assert inspect.isroutine(f) and callable(f)


def test_methods_bind_like_python_methods():
    w = m.Widget()
    assert isinstance(w.get, types.MethodType) and w.get.__self__ is w
    assert m.Widget.get.__qualname__ == "Widget.get"
    assert str(inspect.signature(w.get)) == "(key: 'str') -> 'Any'"
    assert str(inspect.signature(m.Widget.get)) == "(self, key: 'str') -> 'Any'"
    w.items["k"] = "v"
    assert w.get("k") == "v" and m.Widget.get(w, key="k") == "v"
    size = m.Widget.__dict__["size"]
    assert w.size == 1 and isinstance(size, property) and size.fget is m.Widget.size.fget
    with pytest.raises(AttributeError):
        w.size = 3
    # Copies and re-initialised properties call their own getter.
    assert size.getter(lambda self: "copy").__get__(w) == "copy"
    other = size.getter(size.fget)
    other.__init__(lambda self: "re-initialised")
    assert other.__get__(w) == "re-initialised" and w.size == 1
    assert m.Widget.__module__ == "_rttest" and m.Widget.__doc__.startswith("A small class")
    # Patching works as on any Python class.
    w.get = lambda key: "patched"
    assert w.get("k") == "patched"


@pytest.mark.parametrize("get", [m.Widget.get, m.Widget.get_kept])  # `self.items` through one read site
def test_attribute_reads_follow_the_object_and_its_class(get):

    class Slotted:
        __slots__ = ("items",)

    class Plain:
        pass

    s, p = Slotted(), Plain()
    s.items, p.items = {"k": "slot"}, {"k": "dict"}
    for _ in range(3):
        assert get(s, "k") == "slot" and get(p, "k") == "dict"
    del s.items
    with pytest.raises(AttributeError):
        get(s, "k")
    Plain.items = property(lambda self: {"k": "property"})  # now the class decides
    assert get(p, "k") == "property"
    del Plain.items
    p.other = 1  # the instance dictionary changes layout
    del p.items
    p.items = {"k": "again"}
    assert get(p, "k") == "again"
    # Stores by warmed-up bytecode, a replaced __dict__, and new objects
    # (some at the address of dead ones) are all seen.
    p = Plain()
    for i in range(200):
        p.items = {"k": i}
        assert get(p, "k") == i
        if i % 50 == 49:
            p.__dict__ = {"items": {"k": -i}}
            assert get(p, "k") == -i
        q = Plain()
        q.items = {"k": ("new", i)}
        assert get(q, "k") == ("new", i)


def test_module_globals_are_read_afresh_when_the_dict_changes_layout(monkeypatch):
    calls = []

    class Sleeper:
        async def sleep(self, delay):
            calls.append(delay)

    async def main():
        for step in range(40):
            # Removed and added again after others, so its position keeps moving.
            monkeypatch.delattr(m, "asyncio")
            for k in range(step % 5):
                monkeypatch.setattr(m, f"filler_{step}_{k}", k, raising=False)
            monkeypatch.setattr(m, "asyncio", Sleeper() if step % 2 else asyncio, raising=False)
            await m.Widget().work(step)
            if step % 7 == 0:
                monkeypatch.undo()
        return len(calls)

    assert asyncio.run(main()) == 20


def test_coroutine_functions_are_recognised():
    assert inspect.iscoroutinefunction(m.Widget.work)
    assert inspect.iscoroutinefunction(m.Widget().work)
    assert inspect.iscoroutinefunction(m.await_it)
    assert not inspect.iscoroutinefunction(m.kinds)
    coro = m.nested(1)
    try:
        assert asyncio.iscoroutine(coro)
        assert coro.__qualname__ == "nested" and "nested" in repr(coro)
    finally:
        coro.close()


# ---- the coroutine bridge ---------------------------------------------------


def run(coro):
    return asyncio.run(coro)


def test_awaiting_futures_sleep_wait_for_and_locks():
    async def main():
        assert await m.await_it(asyncio.sleep(0.01, "slept")) == "slept"
        w = m.Widget()
        assert await w.work(4.5) == 4 and w.items["work"] == 4
        with pytest.raises(TimeoutError):
            await m.await_it(asyncio.wait_for(asyncio.sleep(5), 0.02))
        lock = asyncio.Lock()
        order = []

        async def job(n):
            order.append(("in", n))
            await asyncio.sleep(0.01)
            order.append(("out", n))
            return n

        assert await asyncio.gather(m.locked(lock, job(1)), m.locked(lock, job(2))) == [1, 2]
        assert order == [("in", 1), ("out", 1), ("in", 2), ("out", 2)]
        assert not lock.locked()
        fut = asyncio.get_running_loop().create_future()
        asyncio.get_running_loop().call_later(0.01, fut.set_result, ("a", "tuple"))
        assert await m.await_it(fut) == ("a", "tuple")  # a tuple comes back whole

    run(main())


def test_python_exceptions_cross_the_bridge_unchanged():
    err = KeyError("k")

    async def boom():
        await asyncio.sleep(0)
        raise err

    async def main():
        assert await m.catch_it(boom()) == ("caught", err)
        with pytest.raises(KeyError) as info:
            await m.await_it(boom())
        assert info.value is err
        with pytest.raises(ValueError, match="bad"):
            await m.fail_after("bad")
        with pytest.raises(TypeError, match="can't be used in 'await' expression"):
            await m.await_it(5)

    run(main())


def test_gather_and_nested_native_coroutines():
    async def main():
        assert await m.nested(6) == 6
        assert await asyncio.gather(*(m.nested(n) for n in range(1, 6))) == [1, 2, 3, 4, 5]
        # A native coroutine awaiting another native coroutine.
        assert await m.await_it(m.nested(3)) == 3

    run(main())


def test_cancellation_inside_cpp_with_and_without_cleanup():
    cleaned = []

    async def cleanup():
        await asyncio.sleep(0.01)
        cleaned.append("done")

    async def main():
        plain = asyncio.create_task(m.await_it(asyncio.sleep(10)))
        guarded = asyncio.create_task(m.with_cleanup(asyncio.sleep(10), cleanup))
        await asyncio.sleep(0.01)
        plain.cancel()
        guarded.cancel()
        for t in (plain, guarded):
            with pytest.raises(asyncio.CancelledError):
                await t
        assert cleaned == ["done"]
        # The cleanup also runs (and the value passes) on the ordinary path.
        assert await m.with_cleanup(asyncio.sleep(0, 7), cleanup) == 7
        assert cleaned == ["done", "done"]

    run(main())


def test_protocol_send_throw_and_close_by_hand():
    async def main():
        # Closing a coroutine that never started, and one suspended mid-way.
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            c = m.nested(2)
            c.close()
            c.close()
            fut = asyncio.get_running_loop().create_future()
            c = m.await_it(fut)
            assert c.send(None) is fut
            assert c.cr_await is not None
            c.close()
            assert c.cr_await is None
            with pytest.raises(RuntimeError, match="cannot reuse"):
                c.send(None)
            # throw() goes to the awaited object first; the C++ side catches it.
            c = m.catch_it(asyncio.get_running_loop().create_future())
            c.send(None)
            with pytest.raises(StopIteration) as info:
                c.throw(ValueError("in"))
            assert info.value.value[0] == "caught" and str(info.value.value[1]) == "in"
            # send() reports the return value through StopIteration.
            c = m.await_it(asyncio.sleep(0))
            assert c.send(None) is None
            with pytest.raises(StopIteration):
                c.send(None)
            c = m.nested(1)
            with pytest.raises(TypeError, match="non-None"):
                c.send(1)
            c.close()
            # `await` takes each value from a reused StopIteration.
            for value in (False, True, 7, False, None, True, "x"):
                fut = asyncio.get_running_loop().create_future()
                fut.set_result(value)
                assert await m.await_it(fut) is value

    run(main())


def test_running_flag_is_held_from_entry_to_exit():
    # The first step of a newly awaited iterator runs inside send(): the
    # coroutine is running there and refuses to be entered again.
    seen = []

    def first_step():
        seen.append(c.cr_running)
        with pytest.raises(ValueError, match="^coroutine already executing$"):
            c.send(None)
        return "done"
        yield

    class Awaitable:
        def __await__(self):
            return first_step()

    c = m.await_it(Awaitable())
    with pytest.raises(StopIteration) as info:
        c.send(None)
    assert info.value.value == "done" and seen == [True] and not c.cr_running


def test_cycle_through_a_suspended_coroutine_is_collected():
    # pending -> coroutine -> its argument, pending: the collector sees the whole cycle.
    class Pending:
        def __await__(self):
            yield self

    pending = Pending()
    pending.coro = m.await_it(pending)
    assert pending.coro.send(None) is pending
    gone = weakref.ref(pending)
    del pending
    gc.collect()
    assert gone() is None


@pytest.mark.parametrize("mode", ["now", "later", "fail"])
def test_a_first_part_runs_when_awaited_like_the_start_of_a_body(mode):
    log = []

    async def main():
        coro = m.first_part(log, mode)
        assert log == [] and asyncio.iscoroutine(coro)  # nothing runs before the first send
        if mode == "fail":
            with pytest.raises(ValueError, match="failed in the first part"):
                await coro
            return None
        return await coro

    result = run(main())
    assert log == {"now": ["first"], "later": ["first", "rest"], "fail": ["first"]}[mode]
    assert result == {"now": "now", "later": "later", "fail": None}[mode]
    with pytest.warns(RuntimeWarning, match="coroutine 'first_part' was never awaited"):
        m.first_part(log, mode)
        gc.collect()


def test_unawaited_coroutine_warns_like_python():
    with pytest.warns(RuntimeWarning, match="coroutine 'nested' was never awaited"):
        m.nested(1)
        gc.collect()


# ---- reference neutrality ---------------------------------------------------


def test_calls_and_coroutine_runs_leave_no_references_behind():
    s, d, l = "text-object", {"k": 1}, [1, 2]
    w = m.Widget()
    objects = (s, d, l, w)

    def counts():
        return [sys.getrefcount(o) for o in objects]

    before = counts()
    for _ in range(10_000):
        m.kinds(s, d, l, 1, 1.0)
        w.get(s)
        try:
            m.kinds(None, d, l, 1, 1.0)
        except TypeError:
            pass
    assert counts() == before

    async def many(n):
        for _ in range(n):
            await m.sleep_twice()
            await w.work(1)
            try:
                await m.fail_after("x")
            except ValueError:
                pass
            await m.catch_it(m.fail_after("y"))

    asyncio.run(many(200))  # warm caches up
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        asyncio.run(many(2_500))
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    assert grown < 64 * 1024, grown
    assert counts() == before
