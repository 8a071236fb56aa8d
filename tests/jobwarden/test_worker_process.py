"""WorkerProcess against real child processes running the fixture scripts."""

from __future__ import annotations

import asyncio
import contextlib
import gc
import inspect
import json
import os
import shutil
import signal
import sys
import time
import types
from pathlib import Path

import pytest

from tovana.core import jobwarden as jw

pytestmark = pytest.mark.usefixtures("no_stray_children")

WorkerStatus = jw.WorkerStatus
WorkerProcess = jw.WorkerProcess
QUIT_LINE = b'{"action": "quit"}\n'


class Env(dict):
    """A dictionary subclass, which the declared `dict` parameters refuse."""


def run(coro):
    return asyncio.run(coro)


@contextlib.asynccontextmanager
async def started(path, worker_id="w1", **kwargs):
    """A started worker that is stopped on the way out."""
    worker = WorkerProcess(worker_id, str(path), **kwargs)
    await worker.start()
    try:
        yield worker
    finally:
        await worker.stop()


# ---- declared surface ---------------------------------------------------------------------


def test_declarations():
    assert WorkerProcess.__doc__ == "Manages a single worker subprocess with JSON stdin/stdout communication."
    assert WorkerProcess.start.__doc__ == "Start the worker subprocess."
    assert WorkerProcess.send_command.__doc__ == "Send a JSON command to the worker and read the JSON response."
    assert WorkerProcess.stop.__doc__ == "Gracefully stop the worker."
    for name in ("start", "send_command", "stop"):
        assert inspect.iscoroutinefunction(getattr(WorkerProcess, name)), name
    assert str(inspect.signature(WorkerProcess)) == (
        "(worker_id: 'str', script_path: 'str', working_dir: 'str | None' = None, "
        "env: 'dict[str, str] | None' = None, timeout: 'float' = 60.0)"
    )
    assert str(inspect.signature(WorkerProcess.send_command)) == "(self, command: 'dict[str, Any]') -> 'dict[str, Any]'"
    assert str(inspect.signature(WorkerProcess.start)) == "(self) -> 'None'"
    assert str(inspect.signature(WorkerProcess.stop)) == "(self) -> 'None'"
    for name, annotation in (("pid", "int | None"), ("elapsed", "float")):
        prop = inspect.getattr_static(WorkerProcess, name)
        assert isinstance(prop, property) and prop.fset is None
        assert inspect.get_annotations(prop.fget) == {"return": annotation}
    worker = WorkerProcess("w", "s.py")
    assert inspect.iscoroutinefunction(worker.stop)
    with pytest.raises(AttributeError):
        worker.pid = 5


def test_constructor_attributes():
    worker = WorkerProcess("w1", "/no/such/script.py")
    assert list(vars(worker))[:8] == [
        "worker_id", "script_path", "working_dir", "env", "timeout", "process", "status", "start_time",
    ]
    assert (worker.worker_id, worker.script_path, worker.working_dir) == ("w1", "/no/such/script.py", None)
    assert worker.env == {} and worker.timeout == 60.0 and type(worker.timeout) is float
    assert worker.process is None and worker.status is WorkerStatus.IDLE
    assert worker.start_time == 0.0 and worker.pid is None and worker.elapsed == 0.0

    env = {"A": "1"}
    worker = WorkerProcess("w2", "x.py", "/wd", env, 30)
    assert worker.env is env  # a non-empty dictionary is kept as it is
    assert worker.timeout == 30.0 and type(worker.timeout) is float
    assert worker.working_dir == "/wd"
    empty = {}
    worker = WorkerProcess("w3", "x.py", env=empty, timeout=True)
    assert worker.env == {} and worker.env is not empty
    assert worker.timeout == 1.0 and type(worker.timeout) is float
    a, b = WorkerProcess("a", "x"), WorkerProcess("b", "x")
    assert a.env is not b.env
    # Nothing else is checked.
    assert WorkerProcess("w", "", timeout=-3).timeout == -3.0


@pytest.mark.parametrize(
    "kwargs, name, expected, got",
    [
        ({"worker_id": 1}, "worker_id", "str", "int"),
        ({"worker_id": None}, "worker_id", "str", "NoneType"),
        ({"script_path": Path("x.py")}, "script_path", "str", "PosixPath"),
        ({"working_dir": b"/tmp"}, "working_dir", "str", "bytes"),
        ({"env": [("A", "1")]}, "env", "dict", "list"),
        ({"env": Env(A="1")}, "env", "dict", "Env"),
        ({"timeout": "5"}, "timeout", "float", "str"),
        ({"timeout": None}, "timeout", "float", "NoneType"),
        ({"timeout": 1j}, "timeout", "float", "complex"),
    ],
)
def test_constructor_type_errors(kwargs, name, expected, got):
    args = {"worker_id": "w", "script_path": "x.py", **kwargs}
    with pytest.raises(TypeError) as info:
        WorkerProcess(**args)
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected {expected}, got {got})"


def test_constructor_refuses_str_subclass():
    class Name(str):
        pass

    with pytest.raises(TypeError) as info:
        WorkerProcess(Name("w"), "x.py")
    assert str(info.value) == "Argument 'worker_id' has incorrect type (expected str, got Name)"
    with pytest.raises(TypeError):
        WorkerProcess("w")


def test_send_command_type_is_checked_at_call_time():
    worker = WorkerProcess("w1", "x.py")
    with pytest.raises(TypeError) as info:
        worker.send_command([1])  # not awaited: refused before a coroutine exists
    assert str(info.value) == "Argument 'command' has incorrect type (expected dict, got list)"
    with pytest.raises(TypeError) as info:
        worker.send_command(Env())
    assert str(info.value) == "Argument 'command' has incorrect type (expected dict, got Env)"
    with pytest.raises(TypeError) as info:
        worker.send_command(None)
    assert str(info.value) == "Argument 'command' has incorrect type (expected dict, got NoneType)"


def test_send_command_without_a_child(logs):
    async def main():
        worker = WorkerProcess("w1", "x.py")
        with pytest.raises(RuntimeError) as info:
            await worker.send_command({"a": 1})
        assert str(info.value) == "Worker w1 is not running"
        assert worker.status is WorkerStatus.IDLE
        # A handle without one of the two pipes counts as not running.
        worker.process = types.SimpleNamespace(stdin=None, stdout=object(), stderr=None, returncode=None)
        with pytest.raises(RuntimeError, match=r"^Worker w1 is not running$"):
            await worker.send_command({})
        worker.process = types.SimpleNamespace(stdin=object(), stdout=None, stderr=None, returncode=None)
        with pytest.raises(RuntimeError, match=r"^Worker w1 is not running$"):
            await worker.send_command({})

    run(main())
    assert logs.lines() == []


def test_tracebacks_and_log_records_name_the_native_code(scripts, logs):
    """An error leaving native code gets a traceback entry (C++ file, line,
    qualified name); a log record carries the module's own location."""
    import traceback

    def native_entries(exc):
        return [(f.filename, f.name) for f in traceback.extract_tb(exc.__traceback__)
                if f.filename.endswith(".cpp")]

    worker = WorkerProcess("w1", "x.py")
    with pytest.raises(RuntimeError) as info:
        run(worker.send_command({}))        # raised inside a native coroutine
    assert native_entries(info.value) == [("core/jobwarden/worker_process.cpp", "WorkerProcess.send_command")]
    assert traceback.extract_tb(info.value.__traceback__)[-1].lineno > 1
    with pytest.raises(TypeError) as info:
        jw.Jobwarden(temp_dir="x")._resolve_worker_script(5)    # refused by a native method
    assert native_entries(info.value) == [("core/jobwarden/pool.cpp", "Jobwarden._resolve_worker_script")]

    async def main():
        async with started(scripts.write("echo")):
            pass
    run(main())
    record = next(r for r in logs.records if r.getMessage().startswith("Worker w1 started"))
    assert (record.pathname, record.filename, record.funcName) == (
        "core/jobwarden/worker_process.cpp", "worker_process.cpp", "WorkerProcess.start")
    assert record.lineno > 1


# ---- the line protocol ---------------------------------------------------------------------------


def test_command_line_on_the_wire_and_quit_line(scripts, tmp_path, logs):
    record = tmp_path / "received.bin"
    script = scripts.write("echo")

    async def main():
        worker = WorkerProcess("w%s1", str(script), env={"JW_RECORD": str(record)}, timeout=10)
        await worker.start()
        try:
            assert worker.status is WorkerStatus.RUNNING
            answer = await worker.send_command({"x": 1})
            assert answer == {"success": True, "result": {"x": 1}, "raw": '{"x": 1}\n'}
            odd = {"b": "caf\u00e9", "a": "\U0001f600", "f": 1.0, "big": 1e100, "nl": "a\nb", "n": None, "t": [True]}
            answer = await worker.send_command(odd)
            assert answer["raw"] == (
                '{"b": "caf\\u00e9", "a": "\\ud83d\\ude00", "f": 1.0, "big": 1e+100, '
                '"nl": "a\\nb", "n": null, "t": [true]}\n'
            )
            assert answer["result"] == odd
            answer = await worker.send_command({"v": float("nan"), "w": float("inf"), "x": -float("inf")})
            assert answer["raw"] == '{"v": NaN, "w": Infinity, "x": -Infinity}\n'
            assert await worker.send_command({}) == {"success": True, "result": {}, "raw": "{}\n"}
            pid = worker.pid
        finally:
            await worker.stop()
        assert worker.status is WorkerStatus.COMPLETED
        assert worker.process.returncode == 0  # left on the quit line, not killed
        assert worker.pid == pid
        return pid

    pid = run(main())
    data = record.read_bytes()
    assert data.endswith(b"{}\n" + QUIT_LINE)
    assert data.startswith(b'{"x": 1}\n{"b": "caf\\u00e9", ')
    assert all(b < 0x80 for b in data)
    assert logs.lines() == [("DEBUG", f"Worker w%s1 started (PID: {pid})"), ("DEBUG", "Worker w%s1 stopped")]


def test_answer_without_final_line_feed(scripts):
    async def main():
        async with started(scripts.write("answer_then_exit")) as worker:
            assert await worker.send_command({"go": 1}) == {"success": True, "result": "bye"}
        # What a worker writes to stderr does not get in the way of its answers.
        async with started(scripts.write("stderr_writer")) as worker:
            for _ in range(3):
                assert await worker.send_command({}) == {"success": True, "result": "ok"}
        assert worker.process.returncode == 0

    run(main())


def test_answer_forms(scripts):
    async def main():
        async with started(scripts.write("scripted"), timeout=10) as worker:
            assert await worker.send_command({"raw": '  \t{"a": [1, 2]} \r\n'}) == {"a": [1, 2]}
            assert await worker.send_command({"raw": "null\n"}) is None
            for raw, got in (("[1, 2]", "list"), ("5", "int"), ('"text"', "str"), ("true", "bool"), ("2.5", "float")):
                with pytest.raises(TypeError) as info:
                    await worker.send_command({"raw": raw + "\n"})
                assert "dict" in str(info.value) and got in str(info.value), str(info.value)
            with pytest.raises(json.JSONDecodeError):
                await worker.send_command({"raw": "{not json\n"})
            with pytest.raises(json.JSONDecodeError):
                await worker.send_command({"raw": "   \n"})
            assert worker.status is WorkerStatus.RUNNING  # failures of the answer change nothing
            # The worker still serves the next command.
            assert await worker.send_command({"answer": {"ok": 1}}) == {"ok": 1}

    run(main())


def test_null_and_array_workers(scripts):
    async def main():
        async with started(scripts.write("null_answer")) as worker:
            assert await worker.send_command({"q": 1}) is None
        async with started(scripts.write("array_answer")) as worker:
            with pytest.raises(TypeError) as info:
                await worker.send_command({"q": 1})
            assert "dict" in str(info.value) and "list" in str(info.value)

    run(main())


def test_answer_that_is_not_utf8(scripts):
    async def main():
        async with started(scripts.write("bad_utf8")) as worker:
            with pytest.raises(UnicodeDecodeError):
                await worker.send_command({"q": 1})
            assert worker.status is WorkerStatus.RUNNING

    run(main())


def test_answer_longer_than_the_line_limit(scripts):
    async def main():
        async with started(scripts.write("long_line"), timeout=10) as worker:
            with pytest.raises(ValueError):
                await worker.send_command({"q": 1})
            assert worker.status is WorkerStatus.RUNNING
        assert worker.status is WorkerStatus.COMPLETED
        assert worker.process.returncode == 0

    run(main())


# ---- time-outs ------------------------------------------------------------------------------------------


def test_time_out_leaves_the_child_running(scripts):
    async def main():
        worker = WorkerProcess("slow-1", str(scripts.write("silent")), timeout=0.3)
        await worker.start()
        try:
            t0 = time.monotonic()
            with pytest.raises(TimeoutError) as info:
                await worker.send_command({"q": 1})
            waited = time.monotonic() - t0
            assert type(info.value) is TimeoutError
            assert str(info.value) == "Worker slow-1 timed out after 0.3s"
            assert 0.28 <= waited < 2.0
            assert worker.status is WorkerStatus.TIMEOUT
            await asyncio.sleep(0.05)
            assert worker.process.returncode is None  # still running
        finally:
            await worker.stop()
        assert worker.status is WorkerStatus.COMPLETED and worker.process.returncode == 0

    run(main())


@pytest.mark.parametrize("timeout, text", [(0, "0.0"), (float("nan"), "nan")])
def test_time_out_text_shows_a_decimal_point(scripts, timeout, text):
    # A NaN time-out would never expire: it expires at once, like zero.
    async def main():
        async with started(scripts.write("silent"), timeout=timeout) as worker:
            t0 = time.monotonic()
            with pytest.raises(TimeoutError, match=rf"^Worker w1 timed out after {text}s$"):
                await worker.send_command({})
            assert time.monotonic() - t0 < 1.0

    run(main())


# ---- closed standard output ------------------------------------------------------------------------------


def test_closed_stdout_reports_stderr(scripts):
    async def main():
        async with started(scripts.write("crasher")) as worker:
            with pytest.raises(RuntimeError) as info:
                await worker.send_command({"q": 1})
            assert str(info.value) == "Worker w1 closed stdout. stderr: boom: bad command\n"
            assert worker.status is WorkerStatus.RUNNING
        async with started(scripts.write("scripted")) as worker:
            with pytest.raises(RuntimeError) as info:
                await worker.send_command({"stderr": "caf\u00e9 \n", "exit": 2})
            assert str(info.value) == "Worker w1 closed stdout. stderr: caf\ufffd \n"
        async with started(scripts.write("scripted")) as worker:
            with pytest.raises(RuntimeError) as info:
                await worker.send_command({"exit": 0})
            assert str(info.value) == "Worker w1 closed stdout. stderr: "

    run(main())


def test_missing_script_is_a_closed_stdout(tmp_path):
    async def main():
        async with started(tmp_path / "nowhere.py", worker_id="gone") as worker:
            with pytest.raises(RuntimeError) as info:
                await worker.send_command({"q": 1})
            text = str(info.value)
            assert text.startswith("Worker gone closed stdout. stderr: ")
            assert "nowhere.py" in text and "No such file" in text

    run(main())


def test_stderr_flood_does_not_block_the_answer(scripts):
    async def main():
        async with started(scripts.write("flooder"), timeout=20) as worker:
            t0 = time.monotonic()
            assert await worker.send_command({"q": 1}) == {"success": True, "result": "after flood"}
            assert time.monotonic() - t0 < 10
            assert await worker.send_command({"q": 2}) == {"success": True, "result": "after flood"}
        async with started(scripts.write("flooder"), timeout=20) as worker:
            with pytest.raises(RuntimeError) as info:
                await worker.send_command({"die": True})
            prefix = "Worker w1 closed stdout. stderr: "
            text = str(info.value)
            assert text.startswith(prefix)
            tail = text[len(prefix):]
            assert tail.endswith("x<end of complaint>\n")
            assert 1000 < len(tail.encode()) <= 64 * 1024  # only the last part is kept

    run(main())


def test_closed_stdout_with_stderr_left_open(scripts):
    # The child closes stdout, writes to stderr and keeps stderr open until
    # the quit line: the wait for stderr ends after 2.0 s with what came so far.
    async def main():
        async with started(scripts.write("closes_stdout"), timeout=10) as worker:
            t0 = time.monotonic()
            with pytest.raises(RuntimeError) as info:
                await worker.send_command({"q": 1})
            waited = time.monotonic() - t0
            assert str(info.value) == "Worker w1 closed stdout. stderr: partial complaint\n"
            assert 1.9 <= waited < 4.0
            assert worker.process.returncode is None
        assert worker.process.returncode == 0

    run(main())


# ---- stopping -----------------------------------------------------------------------------------------------


def test_stop_kills_a_worker_that_ignores_the_quit_line(scripts, tmp_path, logs):
    record = tmp_path / "received.bin"

    async def main():
        worker = WorkerProcess("stubborn", str(scripts.write("quit_ignorer")), env={"JW_RECORD": str(record)})
        await worker.start()
        assert await worker.send_command({"q": 1}) == {"success": True, "result": "still here"}
        t0 = time.monotonic()
        await worker.stop()
        waited = time.monotonic() - t0
        assert 4.9 <= waited < 7.0
        assert worker.process.returncode == -signal.SIGKILL
        assert worker.status is WorkerStatus.COMPLETED
        assert not [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]

    run(main())
    assert record.read_bytes() == b'{"q": 1}\n' + QUIT_LINE
    assert logs.lines()[-1] == ("DEBUG", "Worker stubborn stopped")


def test_cancelled_stop_kills_the_child(scripts):
    async def main():
        worker = WorkerProcess("w1", str(scripts.write("quit_ignorer")))
        await worker.start()
        stopping = asyncio.ensure_future(worker.stop())
        await asyncio.sleep(0.1)
        assert not stopping.done()
        t0 = time.monotonic()
        stopping.cancel()
        with pytest.raises(asyncio.CancelledError):
            await stopping
        assert time.monotonic() - t0 < 1.0
        assert worker.process.returncode == -signal.SIGKILL
        assert worker.status is not WorkerStatus.COMPLETED
        # A bounded stop ends the same way.
        other = WorkerProcess("w2", str(scripts.write("quit_ignorer")))
        await other.start()
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(other.stop(), 0.1)
        assert other.process.returncode == -signal.SIGKILL

    run(main())


def test_cancellation_while_stop_ends_the_stderr_drain(scripts):
    # A grandchild keeps the worker's stderr open, so the drain of stderr is
    # still running when the child has exited and stop() has to end it.  A
    # cancellation that arrives while stop() waits for that must not be lost.
    async def main():
        worker = WorkerProcess("w1", str(scripts.write("stderr_holder")))
        await worker.start()
        grandchild = (await worker.send_command({}))["result"]
        try:
            stopping = asyncio.ensure_future(worker.stop())
            worker._stderr_drain.add_done_callback(lambda _: stopping.cancel())
            with pytest.raises(asyncio.CancelledError):
                await stopping
            assert worker.process.returncode == 0
            assert worker._stderr_drain.done()
        finally:
            os.kill(grandchild, signal.SIGKILL)
            # Let the pipe reach its end so that its transport closes here.
            await asyncio.wait_for(worker.process.stderr.read(), 5.0)

    run(main())


def test_stop_when_the_input_pipe_is_broken(scripts):
    async def main():
        async with started(scripts.write("closes_stdin")) as worker:
            assert (await worker.send_command({}))["result"] == "closing stdin"
            await asyncio.sleep(0.2)
            t0 = time.monotonic()
        assert worker.status is WorkerStatus.COMPLETED
        assert worker.process.returncode == -signal.SIGKILL
        return time.monotonic() - t0

    assert run(main()) < 4.0


def test_stop_without_a_live_child_changes_nothing(scripts, logs):
    async def main():
        worker = WorkerProcess("w1", "x.py")
        assert await worker.stop() is None
        assert worker.status is WorkerStatus.IDLE and worker.process is None
        assert logs.lines() == []

        worker = WorkerProcess("w2", str(scripts.write("one_shot")))
        await worker.start()
        assert await worker.send_command({}) == {"success": True, "result": "done"}
        await worker.process.wait()
        logs.clear()
        await worker.stop()
        assert worker.status is WorkerStatus.RUNNING
        assert logs.lines() == []
        assert not [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]

    run(main())


def test_pid_and_elapsed_through_the_life_of_a_worker(scripts):
    async def main():
        worker = WorkerProcess("w1", str(scripts.write("echo")))
        assert worker.pid is None and worker.elapsed == 0.0
        before = time.time()
        await worker.start()
        assert before <= worker.start_time <= time.time()
        pid = worker.pid
        assert pid == worker.process.pid and isinstance(pid, int)
        first = worker.elapsed
        assert 0.0 <= first < 1.0
        await worker.stop()
        stopped_at = worker.elapsed
        await asyncio.sleep(0.05)
        assert worker.elapsed >= stopped_at + 0.04  # no end time
        assert worker.pid == pid
        worker.start_time = time.time() - 100.0
        assert 99.9 < worker.elapsed < 101.0
        worker.start_time = 0.0
        assert worker.elapsed == 0.0

    run(main())


# ---- starting -------------------------------------------------------------------------------------------------


def test_child_environment(scripts, monkeypatch):
    monkeypatch.setenv("JW_HOST_VAR", "from host")
    monkeypatch.setenv("JW_OVERRIDDEN", "host value")
    script = scripts.write("env_printer")

    async def child_env(**kwargs):
        async with started(script, **kwargs) as worker:
            return (await worker.send_command({}))["result"]

    async def main():
        host = dict(os.environ)
        seen = await child_env(env={"JW_EXTRA": "1", "JW_OVERRIDDEN": "mine"})
        assert seen == {**host, "JW_EXTRA": "1", "JW_OVERRIDDEN": "mine"}
        assert await child_env() == host
        assert await child_env(env={}) == host
        # The host's environment is read when the worker starts.
        worker = WorkerProcess("late", str(script))
        os.environ["JW_LATE"] = "yes"
        try:
            await worker.start()
            assert (await worker.send_command({}))["result"]["JW_LATE"] == "yes"
        finally:
            del os.environ["JW_LATE"]
            await worker.stop()

    run(main())


def test_working_directory_and_interpreter(scripts, tmp_path):
    script = scripts.write("cwd_printer")
    workdir = tmp_path / "work dir"
    workdir.mkdir()

    async def main():
        async with started(script, working_dir=str(workdir)) as worker:
            seen = (await worker.send_command({}))["result"]
        assert seen["cwd"] == str(workdir)
        assert seen["argv0"] == sys.executable
        assert seen["argv"] == [str(script)]
        async with started(script) as worker:
            assert (await worker.send_command({}))["result"]["cwd"] == os.getcwd()

    run(main())


def test_interpreter_found_on_the_path(scripts, tmp_path, monkeypatch):
    script = scripts.write("cwd_printer")
    real = sys.executable
    asked = []

    def which(name, *args, **kwargs):
        asked.append(name)
        return real if name == "python3" else None

    async def main(**kwargs):
        async with started(script, **kwargs) as worker:
            return (await worker.send_command({}))["result"]

    # Without the host's own executable: "python", then "python3" on the PATH.
    monkeypatch.setattr(sys, "executable", "")
    monkeypatch.setattr(shutil, "which", which)
    assert run(main())["argv0"] == real
    assert asked == ["python", "python3"]

    # Nothing found: the bare name "python", which the launcher looks up on
    # the child's PATH.
    bindir = tmp_path / "bin"
    bindir.mkdir()
    (bindir / "python").symlink_to(real)
    asked.clear()
    monkeypatch.setattr(shutil, "which", lambda name, *a, **k: asked.append(name))
    assert run(main(env={"PATH": str(bindir)}))["argv0"] == "python"
    assert asked == ["python", "python3"]


def test_launch_failure_leaves_the_worker_idle(tmp_path, logs):
    async def main():
        worker = WorkerProcess("w1", "x.py", working_dir=str(tmp_path / "missing"))
        with pytest.raises(FileNotFoundError):
            await worker.start()
        assert worker.process is None and worker.status is WorkerStatus.IDLE
        assert worker.start_time == 0.0 and worker.pid is None
        with pytest.raises(RuntimeError, match="^Worker w1 is not running$"):
            await worker.send_command({})
        await worker.stop()

    run(main())
    assert logs.lines() == []


# ---- resources --------------------------------------------------------------------------------------------------


def test_no_references_or_descriptors_leak(scripts):
    script = scripts.write("echo")
    command = {"payload": [1, 2, 3]}
    gc.collect()
    fds = len(os.listdir("/proc/self/fd"))
    refs = sys.getrefcount(command)

    async def main():
        for i in range(6):
            async with started(script, worker_id=f"w{i}") as worker:
                await worker.send_command(command)
            worker = WorkerProcess("x", "x.py")
            with pytest.raises(RuntimeError):
                await worker.send_command(command)

    run(main())
    gc.collect()
    assert sys.getrefcount(command) == refs
    assert len(os.listdir("/proc/self/fd")) == fds


def test_repeated_failures_on_one_worker_do_not_leak(scripts):
    command = {"raw": "[1]\n"}

    async def cycle(silent, scripted, n):
        for _ in range(n):
            with pytest.raises(TimeoutError):
                await silent.send_command(command)
            with pytest.raises(TypeError):
                await scripted.send_command(command)

    async def main():
        async with started(scripts.write("silent"), worker_id="s", timeout=0) as silent:
            async with started(scripts.write("scripted"), worker_id="t") as scripted:
                await cycle(silent, scripted, 100)  # lets the free lists settle too
                gc.collect()
                refs, blocks = sys.getrefcount(command), sys.getallocatedblocks()
                await cycle(silent, scripted, 600)
                gc.collect()
                assert sys.getrefcount(command) == refs
                assert sys.getallocatedblocks() - blocks < 400

    run(main())
