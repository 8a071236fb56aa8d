"""The Jobwarden pool: spawning, limits, callbacks, batches, queries,
cancellation and cleanup, with real workers from the fixture scripts."""

from __future__ import annotations

import asyncio
import gc
import inspect
import os
import sys
import time
import types
import weakref
from pathlib import Path

import pytest

from tovana.core import jobwarden as jw

pytestmark = pytest.mark.usefixtures("no_stray_children", "temp_root")

WorkerStatus = jw.WorkerStatus
SubprocessTask = jw.SubprocessTask
SubprocessResult = jw.SubprocessResult
Jobwarden = jw.Jobwarden

SLOW = 30.0  # a time-out that is never reached in these tests


def run(coro):
    return asyncio.run(coro)


async def until(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "condition not reached in time"
        await asyncio.sleep(0.01)


def collect(pool):
    """Registers a callback that records every announced result."""
    seen = []
    pool.on_result(seen.append)
    return seen


def fake_worker(status=WorkerStatus.RUNNING, **attrs):
    """A registry entry without a child: only what the pool reads from it."""
    return types.SimpleNamespace(**{"status": status, "pid": None, "elapsed": 0.0, **attrs})


def limit_text(n):
    return f"Worker limit reached ({n}). Try again later."


# ---- declared surface ---------------------------------------------------------------------------------


def test_declarations():
    assert Jobwarden.__doc__ == (
        "Orchestrates a pool of worker subprocesses.\n"
        "\n"
        "    Features:\n"
        "      - Priority task queue\n"
        "      - Configurable max concurrent workers\n"
        "      - Automatic cleanup of finished workers\n"
        "      - Event callbacks for task completion\n"
        "      - Resource limit enforcement\n"
        "    "
    )
    assert Jobwarden.spawn.__doc__ == (
        "Spawn a worker subprocess to execute a task.\n"
        "\n"
        "        This is the main entry point. It:\n"
        "          1. Selects the appropriate worker script\n"
        "          2. Starts the subprocess\n"
        "          3. Sends the command\n"
        "          4. Collects and returns the result\n"
        "        "
    )
    docs = {
        "__init__": None,
        "on_result": "Register a callback for when a task completes.",
        "_notify": None,
        "_resolve_worker_script": "Map worker type to the appropriate Python script.",
        "spawn_many": "Spawn multiple tasks concurrently and collect all results.",
        "get_result": None,
        "list_active": "List currently active workers.",
        "list_results": "List recent task results.",
        "cancel": "Cancel a running task.",
        "cleanup": "Stop all workers and clean up temp files.",
    }
    for name, doc in docs.items():
        assert getattr(Jobwarden, name).__doc__ == doc, name
    annotations = {
        "__init__": {"max_workers": "int", "default_timeout": "float", "temp_dir": "str | None"},
        "on_result": {"callback": "Callable[[SubprocessResult], Any]", "return": "None"},
        "_notify": {"result": "SubprocessResult", "return": "None"},
        "spawn": {"task": "SubprocessTask", "return": "SubprocessResult"},
        "_resolve_worker_script": {"worker_type": "str", "return": "Path | None"},
        "spawn_many": {"tasks": "list[SubprocessTask]", "return": "list[SubprocessResult]"},
        "get_result": {"task_id": "str", "return": "SubprocessResult | None"},
        "list_active": {"return": "list[dict[str, Any]]"},
        "list_results": {"limit": "int", "return": "list[dict[str, Any]]"},
        "cancel": {"task_id": "str", "return": "bool"},
        "cleanup": {"return": "None"},
    }
    for name, expected in annotations.items():
        assert inspect.get_annotations(getattr(Jobwarden, name)) == expected, name
    coroutines = {"_notify", "spawn", "spawn_many", "cancel", "cleanup"}
    for name in annotations:
        assert inspect.iscoroutinefunction(getattr(Jobwarden, name)) == (name in coroutines), name
    assert str(inspect.signature(Jobwarden)) == (
        "(max_workers: 'int' = 5, default_timeout: 'float' = 60.0, temp_dir: 'str | None' = None)"
    )
    assert str(inspect.signature(Jobwarden.list_results)) == "(self, limit: 'int' = 20) -> 'list[dict[str, Any]]'"
    assert str(inspect.signature(Jobwarden.spawn)) == "(self, task: 'SubprocessTask') -> 'SubprocessResult'"
    assert list(inspect.signature(Jobwarden.list_active).parameters) == ["self"]
    # The coroutine objects are named after their operations.
    pool = Jobwarden(temp_dir="x")
    for coro, name in ((pool.spawn(SubprocessTask()), "spawn"), (pool.cleanup(), "cleanup"),
                       (pool.cancel("t"), "cancel"), (pool.spawn_many([]), "spawn_many")):
        assert asyncio.iscoroutine(coro)
        assert (coro.__name__, coro.__qualname__) == (name, f"Jobwarden.{name}")
        coro.close()


# ---- constructor -----------------------------------------------------------------------------------------


def test_constructor_defaults(temp_root):
    pool = Jobwarden()
    assert list(vars(pool))[:7] == [
        "max_workers", "default_timeout", "temp_dir", "_workers", "_results", "_callbacks", "_lock",
    ]
    assert pool.max_workers == 5 and type(pool.max_workers) is int
    assert pool.default_timeout == 60.0 and type(pool.default_timeout) is float
    assert pool._workers == {} and pool._results == {} and pool._callbacks == []
    assert isinstance(pool._lock, asyncio.Lock) and not pool._lock.locked()
    temp = Path(pool.temp_dir)
    assert type(pool.temp_dir) is str
    assert temp.is_dir() and temp.parent == temp_root and temp.name.startswith("tovana_workers_")
    # Each pool gets its own directory; an empty text counts as none.
    other = Jobwarden(temp_dir="")
    assert other.temp_dir != pool.temp_dir and Path(other.temp_dir).name.startswith("tovana_workers_")
    assert len(list(temp_root.iterdir())) == 2


def test_constructor_conversions(temp_root, tmp_path):
    given = str(tmp_path / "not created")
    pool = Jobwarden(3.9, 30, given)
    assert pool.max_workers == 3 and type(pool.max_workers) is int
    assert pool.default_timeout == 30.0 and type(pool.default_timeout) is float
    assert pool.temp_dir == given and not os.path.exists(given)
    assert list(temp_root.iterdir()) == []
    assert Jobwarden(max_workers=True, temp_dir="x").max_workers == 1
    assert Jobwarden(max_workers=-2.7, temp_dir="x").max_workers == -2
    assert Jobwarden(default_timeout=True, temp_dir="x").default_timeout == 1.0
    assert Jobwarden(0, -1, "x").max_workers == 0


@pytest.mark.parametrize(
    "kwargs, name, expected, got",
    [
        ({"max_workers": "5"}, "max_workers", "int", "str"),
        ({"max_workers": None}, "max_workers", "int", "NoneType"),
        ({"max_workers": 2j}, "max_workers", "int", "complex"),
        ({"default_timeout": "60"}, "default_timeout", "float", "str"),
        ({"temp_dir": Path("/tmp")}, "temp_dir", "str", "PosixPath"),
        ({"temp_dir": b"/tmp"}, "temp_dir", "str", "bytes"),
    ],
)
def test_constructor_type_errors(kwargs, name, expected, got, temp_root):
    with pytest.raises(TypeError) as info:
        Jobwarden(**kwargs)
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected {expected}, got {got})"
    assert list(temp_root.iterdir()) == []


def test_constructor_error_from_the_temporary_directory(temp_root, monkeypatch):
    import tempfile

    monkeypatch.setattr(tempfile, "tempdir", str(temp_root / "missing" / "deeper"))
    with pytest.raises(FileNotFoundError):
        Jobwarden()


# ---- script resolution --------------------------------------------------------------------------------------


def test_resolve_worker_script(scripts, logs):
    pool = scripts.pool(temp_dir="x", types={"shell": "echo", "file_edit": "echo", "code_analysis": "echo", "custom": "echo"})
    folder = pool.WORKER_SCRIPTS_DIR
    for worker_type, file in [
        ("shell", "shell_worker.py"),
        ("file_edit", "file_edit_worker.py"),
        ("code_analysis", "code_analysis_worker.py"),
        ("custom", "custom_worker.py"),
    ]:
        found = pool._resolve_worker_script(worker_type)
        assert isinstance(found, Path) and found == folder / file
    for word in ("Shell", "shell ", "", "docker", "shell_worker.py"):
        assert pool._resolve_worker_script(word) is None
    assert logs.lines() == []
    with pytest.raises(TypeError) as info:
        pool._resolve_worker_script(5)
    assert str(info.value) == "Argument 'worker_type' has incorrect type (expected str, got int)"


def test_resolve_missing_scripts(scripts, logs, tmp_path):
    pool = scripts.pool(temp_dir="x", types={})
    folder = pool.WORKER_SCRIPTS_DIR
    assert pool._resolve_worker_script("shell") is None
    assert logs.lines() == [("ERROR", f"Worker script not found: {folder / 'shell_worker.py'}")]
    # A directory counts; a link counts only when its target exists.
    (folder / "custom_worker.py").mkdir()
    assert pool._resolve_worker_script("custom") == folder / "custom_worker.py"
    (folder / "file_edit_worker.py").symlink_to(tmp_path / "nothing.py")
    logs.clear()
    assert pool._resolve_worker_script("file_edit") is None
    assert logs.lines() == [("ERROR", f"Worker script not found: {folder / 'file_edit_worker.py'}")]
    (tmp_path / "target.py").write_text("")
    (folder / "code_analysis_worker.py").symlink_to(tmp_path / "target.py")
    assert pool._resolve_worker_script("code_analysis") == folder / "code_analysis_worker.py"


def test_scripts_folder_is_read_through_the_pool(scripts):
    pointed = scripts.pool(temp_dir="x", types={"shell": "echo"})
    plain = Jobwarden(temp_dir="x")
    assert "WORKER_SCRIPTS_DIR" not in vars(plain)
    assert plain._resolve_worker_script("shell") == Jobwarden.WORKER_SCRIPTS_DIR / "shell_worker.py"
    assert pointed._resolve_worker_script("shell") == pointed.WORKER_SCRIPTS_DIR / "shell_worker.py"
    assert pointed.WORKER_SCRIPTS_DIR != Jobwarden.WORKER_SCRIPTS_DIR


# ---- spawning -------------------------------------------------------------------------------------------------------


def test_spawn_completes_a_task(scripts, logs):
    pool = scripts.pool(types={"shell": "scripted"})
    seen = collect(pool)
    command = {"answer": {"success": True, "result": {"n": 1}}}
    task = SubprocessTask(worker_type="shell", command=command, timeout=10)

    async def main():
        t0 = time.time()
        result = await pool.spawn(task)
        took = time.time() - t0
        assert result == SubprocessResult(task.id, WorkerStatus.COMPLETED, {"n": 1}, None, result.duration, result.pid)
        assert 0.0 < result.duration <= took
        worker = pool._workers[task.id]
        assert isinstance(worker, jw.WorkerProcess)
        assert result.pid == worker.pid and isinstance(result.pid, int)
        assert worker.status is WorkerStatus.COMPLETED
        assert worker.process.returncode == 0  # stopped with the quit line
        assert worker.timeout == 10.0 and worker.worker_id == task.id
        assert worker.script_path == str(pool.WORKER_SCRIPTS_DIR / "shell_worker.py")
        assert pool._results == {task.id: result}
        assert pool.get_result(task.id) is result
        assert seen == [result] and seen[0] is result
        # The command goes out unchanged: the default answer echoes it back.
        echoed = await pool.spawn(SubprocessTask(command={"k": [1, "two"]}))
        assert echoed.output == {"k": [1, "two"]} and echoed.status is WorkerStatus.COMPLETED
        assert list(pool._workers) == [task.id, echoed.task_id]
        assert command == {"answer": {"success": True, "result": {"n": 1}}}
        return result.pid

    pid = run(main())
    assert (("DEBUG", f"Worker {task.id} started (PID: {pid})")) in logs.lines()
    assert (("DEBUG", f"Worker {task.id} stopped")) in logs.lines()
    assert not [line for line in logs.lines() if line[0] != "DEBUG"]


def test_answer_keys_decide_the_result(scripts):
    pool = scripts.pool(types={"shell": "scripted"})
    cases = [
        ({"success": True, "result": {"n": 1}}, WorkerStatus.COMPLETED, {"n": 1}, None),
        ({"result": 5}, WorkerStatus.FAILED, 5, None),
        ({"success": "false"}, WorkerStatus.COMPLETED, None, None),
        ({"success": 0, "error": {"code": 7}}, WorkerStatus.FAILED, None, {"code": 7}),
        ({"success": [], "result": [1], "error": "bad"}, WorkerStatus.FAILED, [1], "bad"),
        ({"success": None}, WorkerStatus.FAILED, None, None),
        ({"success": 0.0}, WorkerStatus.FAILED, None, None),
        ({"success": ""}, WorkerStatus.FAILED, None, None),
        ({"success": {}}, WorkerStatus.FAILED, None, None),
        ({"success": 1, "result": None, "error": "warn"}, WorkerStatus.COMPLETED, None, "warn"),
        ({"success": [0]}, WorkerStatus.COMPLETED, None, None),
        ({}, WorkerStatus.FAILED, None, None),
    ]

    async def main():
        for answer, status, output, error in cases:
            result = await pool.spawn(SubprocessTask(command={"answer": answer}, timeout=10))
            assert (result.status, result.output, result.error) == (status, output, error), answer

    run(main())


def test_answers_that_fail_become_results(scripts):
    pool = scripts.pool(types={"shell": "null_answer", "custom": "array_answer", "file_edit": "bad_utf8",
                               "code_analysis": "crasher"})

    async def main():
        results = {}
        for worker_type in ("shell", "custom", "file_edit", "code_analysis"):
            task = SubprocessTask(worker_type=worker_type, timeout=10)
            result = await pool.spawn(task)
            assert result.status is WorkerStatus.FAILED and result.output is None
            assert result.pid == pool._workers[task.id].pid
            assert pool.get_result(task.id) is result
            results[worker_type] = result.error
        assert isinstance(results["shell"], str) and results["shell"]
        assert "dict" in results["custom"] and "list" in results["custom"]
        assert "utf-8" in results["file_edit"]
        code_task = [k for k, w in pool._workers.items() if w.script_path.endswith("code_analysis_worker.py")][0]
        assert results["code_analysis"] == f"Worker {code_task} closed stdout. stderr: boom: bad command\n"
        assert all(w.status is WorkerStatus.COMPLETED for w in pool._workers.values())

    run(main())


def test_time_outs(scripts):
    pool = scripts.pool(default_timeout=0.2, types={"shell": "silent"})
    seen = collect(pool)

    async def main():
        task = SubprocessTask(id="slow-task", timeout=0.5)
        t0 = time.time()
        result = await pool.spawn(task)
        assert result.status is WorkerStatus.TIMEOUT
        assert result.error == "Worker slow-task timed out after 0.5s"
        assert result.output is None
        assert 0.5 <= result.duration <= time.time() - t0
        worker = pool._workers["slow-task"]
        assert result.pid == worker.pid
        assert worker.status is WorkerStatus.COMPLETED and worker.process.returncode == 0
        assert pool.get_result("slow-task") is result and seen == [result]
        # A zero, missing or NaN time-out falls back to the pool's default.
        for timeout in (0, None, float("nan")):
            task = SubprocessTask(timeout=timeout)
            result = await pool.spawn(task)
            assert result.error == f"Worker {task.id} timed out after 0.2s"
            assert pool._workers[task.id].timeout == 0.2
            assert 0.2 <= result.duration < 3.0

    run(main())


def test_command_that_is_not_a_dictionary(scripts):
    pool = scripts.pool()

    async def main():
        task = SubprocessTask(command=[1, 2])
        result = await pool.spawn(task)
        assert result.status is WorkerStatus.FAILED
        assert result.error == "Argument 'command' has incorrect type (expected dict, got list)"
        worker = pool._workers[task.id]
        assert result.pid == worker.pid is not None
        assert worker.status is WorkerStatus.COMPLETED and worker.process.returncode == 0
        assert pool.get_result(task.id) is result
        # A dictionary that JSON cannot encode fails the same way.
        task = SubprocessTask(command={"s": {1}})
        result = await pool.spawn(task)
        assert result.status is WorkerStatus.FAILED
        assert result.error == "Object of type set is not JSON serializable"
        assert pool._workers[task.id].process.returncode == 0

    run(main())


def test_worker_that_cannot_be_launched(scripts, tmp_path):
    pool = scripts.pool(max_workers=1)
    seen = collect(pool)

    async def main():
        task = SubprocessTask(working_dir=str(tmp_path / "missing"))
        result = await pool.spawn(task)
        assert result.status is WorkerStatus.FAILED
        assert result.error.startswith("[Errno 2] ") and "missing" in result.error
        assert result.pid is None and result.output is None and result.duration > 0.0
        assert task.id not in pool._workers
        assert pool.get_result(task.id) is result and seen == [result]
        # The failed start holds no place.
        ok = await pool.spawn(SubprocessTask(command={}))
        assert ok.status is WorkerStatus.COMPLETED

    run(main())


def test_task_environment_and_working_directory(scripts, tmp_path, monkeypatch):
    monkeypatch.setenv("JW_FROM_HOST", "1")
    pool = scripts.pool(types={"custom": "env_printer", "code_analysis": "cwd_printer"})
    workdir = tmp_path / "wd"
    workdir.mkdir()

    async def main():
        env = await pool.spawn(SubprocessTask(worker_type="custom", env={"JW_TASK": "yes"}))
        assert env.output["JW_TASK"] == "yes" and env.output["JW_FROM_HOST"] == "1"
        cwd = await pool.spawn(SubprocessTask(worker_type="code_analysis", working_dir=str(workdir)))
        assert cwd.output["cwd"] == str(workdir)
        assert cwd.output["argv"] == [str(pool.WORKER_SCRIPTS_DIR / "code_analysis_worker.py")]
        # Any object with the task's attributes will do.
        plain = types.SimpleNamespace(id="plain", worker_type="code_analysis", working_dir=None, env=None,
                                      timeout=5, command={})
        result = await pool.spawn(plain)
        assert result.status is WorkerStatus.COMPLETED and result.output["cwd"] == os.getcwd()

    run(main())


class SpyLock:
    """Stands in for the pool's lock and counts its use."""

    def __init__(self):
        self.acquired = 0
        self.held = False

    async def acquire(self):
        self.acquired += 1
        self.held = True
        return True

    def release(self):
        self.held = False

    def locked(self):
        return self.held


def test_unknown_worker_type(scripts, logs):
    pool = scripts.pool(types={"shell": "echo"})
    pool._lock = SpyLock()
    seen = collect(pool)

    async def main():
        task = SubprocessTask(worker_type="docker")
        result = await pool.spawn(task)
        assert result == SubprocessResult(task.id, WorkerStatus.FAILED, None, "Unknown worker type: docker", 0.0, None)
        assert seen == [result]
        assert pool._results == {} and pool._workers == {} and pool._lock.acquired == 0
        assert logs.lines() == []
        # A known type whose script is missing ends the same way, after a log line.
        task = SubprocessTask(worker_type="custom")
        result = await pool.spawn(task)
        assert result.error == "Unknown worker type: custom" and result.duration == 0.0
        assert logs.lines() == [
            ("ERROR", f"Worker script not found: {pool.WORKER_SCRIPTS_DIR / 'custom_worker.py'}")
        ]
        assert pool.get_result(task.id) is None and len(seen) == 2

    run(main())


def test_spawn_errors_that_propagate(scripts):
    pool = scripts.pool(max_workers=1)
    seen = collect(pool)

    async def main():
        with pytest.raises(TypeError) as info:
            await pool.spawn(SubprocessTask(worker_type=5))
        assert str(info.value) == "Argument 'worker_type' has incorrect type (expected str, got int)"
        for attrs, name, got in [
            ({"id": 5}, "worker_id", "int"),
            ({"working_dir": 5}, "working_dir", "int"),
            ({"env": [("A", "b")]}, "env", "list"),
            ({"timeout": "soon"}, "timeout", "str"),
        ]:
            with pytest.raises(TypeError) as info:
                await pool.spawn(SubprocessTask(**attrs))
            assert str(info.value) == f"Argument '{name}' has incorrect type (expected {name_type(name)}, got {got})"
            assert not pool._lock.locked()
        assert seen == [] and pool._results == {} and pool._workers == {}
        # None of them kept a place: the only place is still free.
        result = await pool.spawn(SubprocessTask(command={}))
        assert result.status is WorkerStatus.COMPLETED

    run(main())


@pytest.mark.parametrize("task", [
    types.SimpleNamespace(worker_type="shell", command={}, timeout=SLOW, working_dir=None, env={}),
    type("IdFails", (), {"worker_type": "shell", "id": property(lambda self: 1 / 0)})(),
], ids=["without id", "id raises"])
def test_a_task_that_cannot_be_read_releases_the_lock_and_place(scripts, task):
    pool = scripts.pool(max_workers=1)

    async def main():
        with pytest.raises((AttributeError, ZeroDivisionError)):
            await pool.spawn(task)
        assert not pool._lock.locked() and pool._starting == 0
        result = await asyncio.wait_for(pool.spawn(SubprocessTask(command={}, timeout=SLOW)), 10)
        assert result.status is WorkerStatus.COMPLETED

    run(main())


def name_type(name):
    return {"worker_id": "str", "working_dir": "str", "env": "dict", "timeout": "float"}[name]


# ---- the worker limit -------------------------------------------------------------------------------------------------


def test_limit_counts_registered_running_workers(scripts):
    pool = scripts.pool(max_workers=2)
    seen = []

    def watch(result):
        seen.append((result, pool._lock.locked()))

    pool.on_result(watch)
    pool._workers["a"] = jw.WorkerProcess("a", "x.py")
    pool._workers["b"] = jw.WorkerProcess("b", "x.py")
    pool._workers["a"].status = WorkerStatus.RUNNING  # no child at all: the status alone counts
    pool._workers["b"].status = WorkerStatus.RUNNING
    pool._workers["c"] = fake_worker(WorkerStatus.TIMEOUT)

    async def main():
        task = SubprocessTask(command={})
        result = await pool.spawn(task)
        assert result == SubprocessResult(task.id, WorkerStatus.FAILED, None, limit_text(2), 0.0, None)
        assert seen == [(result, True)]  # announced while the lock is held
        assert not pool._lock.locked()
        assert pool.get_result(task.id) is None and list(pool._workers) == ["a", "b", "c"]

        pool._workers["b"].status = WorkerStatus.COMPLETED
        result = await pool.spawn(task)
        assert result.status is WorkerStatus.COMPLETED and seen[-1] == (result, False)

        pool._workers["b"].status = WorkerStatus.RUNNING
        pool.max_workers = 3  # read afresh at every check
        assert (await pool.spawn(SubprocessTask(command={}))).status is WorkerStatus.COMPLETED
        pool.max_workers = 0
        pool._workers.clear()
        assert (await pool.spawn(SubprocessTask(command={}))).error == limit_text(0)

        # A cancellation raised by a callback that receives a refusal still
        # releases the lock.
        def cancelling(result):
            raise asyncio.CancelledError

        pool.on_result(cancelling)
        with pytest.raises(asyncio.CancelledError):
            await pool.spawn(SubprocessTask(command={}))
        assert not pool._lock.locked()

    run(main())


def test_limit_holds_for_spawns_in_flight(scripts):
    pool = scripts.pool(max_workers=2)
    seen = collect(pool)

    async def main():
        tasks = [SubprocessTask(command={"sleep": 0.3}, timeout=10) for _ in range(4)]
        results = await pool.spawn_many(tasks)
        assert [r.task_id for r in results] == [t.id for t in tasks]
        assert [r.status for r in results[:2]] == [WorkerStatus.COMPLETED] * 2
        assert [r.error for r in results[2:]] == [limit_text(2)] * 2
        assert [r.pid for r in results[2:]] == [None, None]
        assert list(pool._workers) == [tasks[0].id, tasks[1].id]
        assert len(seen) == 4

    run(main())


def test_finished_tasks_hold_no_place(scripts):
    # The worker answers and leaves on its own, so stopping it finds no child.
    pool = scripts.pool(max_workers=2, types={"shell": "one_shot"})

    async def main():
        for _ in range(10):
            result = await pool.spawn(SubprocessTask(command={}, timeout=10))
            assert result.status is WorkerStatus.COMPLETED, result.error
        assert len(pool._workers) == 10
        assert all(w.status is WorkerStatus.COMPLETED for w in pool._workers.values())
        assert pool.list_active() == []

    run(main())


# ---- callbacks ------------------------------------------------------------------------------------------------------


def test_callbacks(scripts, logs):
    pool = scripts.pool()
    order = []

    async def slow_async(result):
        await asyncio.sleep(0.05)
        order.append(("async", result.task_id))

    def failing(result):
        order.append(("failing", result.task_id))
        raise ValueError("boom")

    async def failing_async(result):
        raise KeyError("gone")

    def registering(result):
        order.append(("registering", result.task_id))
        if not any(cb is late for cb in pool._callbacks):
            pool.on_result(late)

    def late(result):
        order.append(("late", result.task_id))

    def returns_future(result):
        order.append(("future", result.task_id))
        return asyncio.get_running_loop().create_future()  # never done: must not be awaited

    for cb in (slow_async, failing, failing_async, 42, registering, returns_future, slow_async):
        assert pool.on_result(cb) is None

    async def main():
        result = await pool.spawn(SubprocessTask(id="t1", worker_type="docker"))
        assert order == [
            ("async", "t1"),
            ("failing", "t1"),
            ("registering", "t1"),
            ("future", "t1"),
            ("async", "t1"),
            ("late", "t1"),
        ]
        assert result.error == "Unknown worker type: docker"
        order.clear()
        await pool._notify(SubprocessResult("t2", WorkerStatus.COMPLETED))
        assert [name for name, _ in order] == ["async", "failing", "registering", "future", "async", "late"]

    run(main())
    warnings = [text for level, text in logs.lines() if level == "WARNING"]
    assert warnings == [
        "Result callback error: boom",
        "Result callback error: 'gone'",
        "Result callback error: 'int' object is not callable",
    ] * 2
    assert pool._callbacks.count(slow_async) == 2


def test_a_patched_iscoroutine_decides_what_is_awaited(scripts, monkeypatch):
    pool = scripts.pool()
    asked = []

    async def done():
        return None

    later = done()
    monkeypatch.setattr(asyncio, "iscoroutine", lambda value: asked.append(value) or value == "await me")
    pool.on_result(lambda result: later)  # a coroutine, but the patched test says no: left alone
    pool.on_result(lambda result: "await me")  # awaited: a str cannot be, so it is logged
    run(pool._notify(SubprocessResult("t1", WorkerStatus.COMPLETED)))
    assert asked == [later, "await me"] and later.cr_frame is not None
    later.close()


def test_cancellation_inside_a_callback_propagates(scripts):
    pool = scripts.pool()
    calls = []

    def cancelling(result):
        calls.append("cancelling")
        raise asyncio.CancelledError

    pool.on_result(cancelling)
    pool.on_result(lambda result: calls.append("after"))

    async def main():
        task = SubprocessTask(command={})
        with pytest.raises(asyncio.CancelledError):
            await pool.spawn(task)
        assert calls == ["cancelling"]
        assert pool.get_result(task.id).status is WorkerStatus.COMPLETED  # stored before the announcement

    run(main())


# ---- cancelling a spawn --------------------------------------------------------------------------------------------------


def test_cancelled_spawn_stops_its_worker(scripts):
    pool = scripts.pool(max_workers=1, types={"shell": "silent"})
    seen = collect(pool)

    async def main():
        task = SubprocessTask(timeout=SLOW)
        spawning = asyncio.ensure_future(pool.spawn(task))
        await until(lambda: task.id in pool._workers)
        await asyncio.sleep(0.05)
        spawning.cancel()
        with pytest.raises(asyncio.CancelledError):
            await spawning
        worker = pool._workers[task.id]
        assert worker.process.returncode is not None
        assert worker.status is WorkerStatus.COMPLETED
        assert pool.get_result(task.id) is None and seen == []
        # Cancelled early (while the worker may still be starting) it holds no place either.
        for delay in (0, 0.001, 0.01, 0.03):
            early = asyncio.ensure_future(pool.spawn(SubprocessTask(timeout=SLOW)))
            await asyncio.sleep(delay)
            early.cancel()
            with pytest.raises(asyncio.CancelledError):
                await early
        pool.WORKER_SCRIPTS_DIR = pool.WORKER_SCRIPTS_DIR.parent / "scripted"
        scripts.write("scripted", "shell_worker.py", pool.WORKER_SCRIPTS_DIR)
        assert (await pool.spawn(SubprocessTask(command={}))).status is WorkerStatus.COMPLETED
        assert all(w.process.returncode is not None for w in pool._workers.values())

    run(main())


def test_spawn_under_a_time_limit_of_the_caller(scripts):
    pool = scripts.pool(types={"shell": "silent"})
    seen = collect(pool)

    async def main():
        task = SubprocessTask(timeout=SLOW)
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(pool.spawn(task), 0.3)
        worker = pool._workers[task.id]
        assert worker.process.returncode == 0 and worker.status is WorkerStatus.COMPLETED
        assert pool.get_result(task.id) is None and seen == []
        # A spawn that is created but never awaited starts nothing.
        pool.spawn(SubprocessTask(timeout=SLOW)).close()
        assert len(pool._workers) == 1

    run(main())


def test_error_from_stopping_the_worker_propagates(scripts, monkeypatch):
    class StopFails(jw.WorkerProcess):
        async def stop(self):
            await super().stop()
            raise OSError("stop failed")

    monkeypatch.setattr(jw, "WorkerProcess", StopFails)
    pool = scripts.pool()
    seen = collect(pool)

    async def main():
        task = SubprocessTask(command={})
        with pytest.raises(OSError, match="^stop failed$"):
            await pool.spawn(task)
        worker = pool._workers[task.id]
        assert type(worker) is StopFails and worker.process.returncode == 0
        assert pool.get_result(task.id) is None and seen == []

    run(main())


# ---- batches -----------------------------------------------------------------------------------------------------------------


def test_spawn_many(scripts):
    pool = scripts.pool()
    finished = []
    pool.on_result(lambda r: finished.append(r.task_id))

    async def main():
        assert await pool.spawn_many([]) == []
        tasks = [
            SubprocessTask(id="first", command={"sleep": 0.4}, timeout=10),
            SubprocessTask(id="second", worker_type="docker"),
            SubprocessTask(id="third", command={}, timeout=10),
        ]
        results = await pool.spawn_many(tasks)
        assert type(results) is list
        assert [r.task_id for r in results] == ["first", "second", "third"]
        assert [r.status for r in results] == [WorkerStatus.COMPLETED, WorkerStatus.FAILED, WorkerStatus.COMPLETED]
        assert results[1].error == "Unknown worker type: docker"
        assert finished.index("third") < finished.index("first")
        assert pool.get_result("first") is results[0] and pool.get_result("second") is None

    run(main())


def test_spawn_many_argument():
    pool = Jobwarden(temp_dir="x")
    for value, got in (((), "tuple"), (None, "NoneType"), (iter([]), "list_iterator")):
        with pytest.raises(TypeError) as info:
            pool.spawn_many(value)
        assert str(info.value) == f"Argument 'tasks' has incorrect type (expected list, got {got})"


def test_spawn_many_raises_the_first_error(scripts):
    pool = scripts.pool()
    seen = collect(pool)

    async def main():
        ok = SubprocessTask(command={"sleep": 0.2}, timeout=10)
        with pytest.raises(TypeError, match="worker_type"):
            await pool.spawn_many([SubprocessTask(worker_type=5), ok])
        # The other spawn is not cancelled: it finishes, stores and announces.
        await until(lambda: pool.get_result(ok.id) is not None)
        assert pool.get_result(ok.id).status is WorkerStatus.COMPLETED
        assert [r.task_id for r in seen] == [ok.id]

    run(main())


def test_cancelled_spawn_many_cancels_its_spawns(scripts):
    pool = scripts.pool(types={"shell": "silent"})
    seen = collect(pool)

    async def main():
        tasks = [SubprocessTask(timeout=SLOW) for _ in range(3)]
        batch = asyncio.ensure_future(pool.spawn_many(tasks))
        await until(lambda: len(pool._workers) == 3)
        batch.cancel()
        with pytest.raises(asyncio.CancelledError):
            await batch
        # Like any gathered group, the batch ends with the first cancelled
        # spawn; the others finish stopping their workers right after.
        await until(lambda: all(w.process.returncode is not None for w in pool._workers.values()))
        await asyncio.sleep(0.05)
        assert all(w.status is WorkerStatus.COMPLETED for w in pool._workers.values())
        assert pool._results == {} and seen == []

    run(main())


# ---- queries -----------------------------------------------------------------------------------------------------------------


def test_get_result():
    pool = Jobwarden(temp_dir="x")
    assert pool.get_result("nothing") is None
    record = SubprocessResult("t", WorkerStatus.COMPLETED)
    pool._results["t"] = record
    assert pool.get_result("t") is record
    # The pool's containers may be replaced, on it or on another pool.
    other = Jobwarden(temp_dir="x")
    for i in range(100):
        pool._results = {"t": i}
        assert pool.get_result("t") == i and other.get_result("t") is None
    for value, got in ((5, "int"), (None, "NoneType")):
        with pytest.raises(TypeError) as info:
            pool.get_result(value)
        assert str(info.value) == f"Argument 'task_id' has incorrect type (expected str, got {got})"


def test_list_active_reports_running_workers(scripts):
    pool = scripts.pool(types={"shell": "silent", "custom": "scripted"})

    async def main():
        assert pool.list_active() == []
        done = SubprocessTask(worker_type="custom", command={})
        await pool.spawn(done)
        assert pool.list_active() == []
        task = SubprocessTask(id="live", timeout=SLOW)
        spawning = asyncio.ensure_future(pool.spawn(task))
        await until(lambda: "live" in pool._workers)
        await asyncio.sleep(0.02)
        active = pool.list_active()
        assert len(active) == 1
        entry = active[0]
        assert list(entry) == ["id", "pid", "status", "elapsed"]
        assert entry["id"] == "live" and entry["pid"] == pool._workers["live"].pid
        assert entry["status"] == "running" and type(entry["status"]) is str
        assert 0.0 < entry["elapsed"] < 5.0 and entry["elapsed"] == round(entry["elapsed"], 2)
        assert pool.list_active() is not active
        assert await pool.cancel("live") is True
        await spawning
        assert pool.list_active() == []

    run(main())


def test_list_active_rounding_and_filtering():
    pool = Jobwarden(temp_dir="x")
    pool._workers.update(
        {
            "a": fake_worker(pid=11, elapsed=1.2345),
            "b": fake_worker(WorkerStatus.COMPLETED, pid=12, elapsed=3.0),
            "c": fake_worker(pid=13, elapsed=0.125),
            "d": fake_worker(WorkerStatus.CANCELLED, pid=14, elapsed=3.0),
            "e": fake_worker(pid=None, elapsed=0.375),
            "f": fake_worker(WorkerStatus.TIMEOUT, pid=15, elapsed=3.0),
            "g": fake_worker(pid=16, elapsed=2.675),
        }
    )
    assert pool.list_active() == [
        {"id": "a", "pid": 11, "status": "running", "elapsed": 1.23},
        {"id": "c", "pid": 13, "status": "running", "elapsed": 0.12},
        {"id": "e", "pid": None, "status": "running", "elapsed": 0.38},
        {"id": "g", "pid": 16, "status": "running", "elapsed": 2.67},
    ]


def test_list_results():
    pool = Jobwarden(temp_dir="x")
    assert pool.list_results() == []
    for name, duration in (("a", 0.5), ("b", 2.0), ("c", 1.0)):
        pool._results[name] = SubprocessResult(name, WorkerStatus.COMPLETED, duration=duration)

    def durations(*args, **kwargs):
        return [d["duration"] for d in pool.list_results(*args, **kwargs)]

    assert durations() == [2.0, 1.0, 0.5]
    assert pool.list_results()[0] == pool._results["b"].to_dict()
    assert durations(2) == [2.0, 1.0]
    assert durations(0) == []
    assert durations(-1) == [2.0, 1.0]
    assert durations(-3) == [] and durations(-10) == []
    assert durations(100) == [2.0, 1.0, 0.5]
    assert durations(2.9) == [2.0, 1.0] and durations(-1.5) == [2.0, 1.0]
    assert durations(True) == [2.0] and durations(limit=1) == [2.0]
    for value, got in (("2", "str"), (None, "NoneType")):
        with pytest.raises(TypeError) as info:
            pool.list_results(value)
        assert str(info.value) == f"Argument 'limit' has incorrect type (expected int, got {got})"
    # Equal durations keep the order in which their ids were first stored.
    pool._results.clear()
    for name in ("p", "q", "r", "s"):
        pool._results[name] = SubprocessResult(name, WorkerStatus.FAILED, duration=1.0)
    pool._results["p"] = SubprocessResult("p", WorkerStatus.CANCELLED)  # replaced: keeps its place, 0.0
    pool._results["t"] = SubprocessResult("t", WorkerStatus.COMPLETED, duration=1.0)
    assert [d["task_id"] for d in pool.list_results()] == ["q", "r", "s", "t", "p"]
    assert pool.list_results()[-1]["status"] == "cancelled"
    # The default limit is 20.
    for i in range(30):
        pool._results[f"n{i}"] = SubprocessResult(f"n{i}", WorkerStatus.COMPLETED, duration=float(i))
    assert len(pool.list_results()) == 20 and pool.list_results()[0]["task_id"] == "n29"


# ---- cancel ----------------------------------------------------------------------------------------------------------------------


def test_cancel_a_running_task(scripts):
    pool = scripts.pool(types={"shell": "silent", "custom": "scripted"})
    seen = collect(pool)

    async def main():
        assert await pool.cancel("unknown") is False
        done = SubprocessTask(worker_type="custom", command={})
        done_result = await pool.spawn(done)
        assert await pool.cancel(done.id) is False
        assert pool.get_result(done.id) is done_result
        assert pool._workers[done.id].status is WorkerStatus.COMPLETED

        task = SubprocessTask(id="victim", timeout=SLOW)
        spawning = asyncio.ensure_future(pool.spawn(task))
        await until(lambda: "victim" in pool._workers)
        worker = pool._workers["victim"]
        assert await pool.cancel("victim") is True
        assert worker.status is WorkerStatus.CANCELLED
        assert worker.process.returncode == 0  # it left on the quit line
        assert pool._workers["victim"] is worker
        record = pool.get_result("victim")
        assert record == SubprocessResult("victim", WorkerStatus.CANCELLED, None, None, 0.0, worker.pid)
        assert pool.list_results()[-1] == record.to_dict()
        assert all(r.status is not WorkerStatus.CANCELLED for r in seen)  # the record is not announced

        # The task's own spawn goes on and stores and announces what it got.
        own = await spawning
        assert own.status is WorkerStatus.FAILED
        assert own.error == "Worker victim closed stdout. stderr: "
        assert seen == [done_result, own]
        assert pool.get_result("victim") in (own, record)  # whichever was stored last
        # The spawn's own stop may have ended after the cancel's (both wait
        # for the same exit) and marked the worker COMPLETED again.
        assert worker.status in (WorkerStatus.CANCELLED, WorkerStatus.COMPLETED)
        assert await pool.cancel("victim") is False

    run(main())


def test_cancel_argument_and_stop_errors():
    pool = Jobwarden(temp_dir="x")
    with pytest.raises(TypeError) as info:
        pool.cancel(None)
    assert str(info.value) == "Argument 'task_id' has incorrect type (expected str, got NoneType)"

    async def broken_stop():
        raise OSError("cannot stop")

    pool._workers["t"] = fake_worker(stop=broken_stop)

    async def main():
        with pytest.raises(OSError, match="cannot stop"):
            await pool.cancel("t")

    run(main())
    assert pool._workers["t"].status is WorkerStatus.RUNNING
    assert pool._results == {}


# ---- cleanup ----------------------------------------------------------------------------------------------------------------------


def test_logger_changes_take_effect_at_once(scripts, logs, monkeypatch):
    pool = scripts.pool()
    logger = jw.logger

    def logged():
        logs.clear()
        run(pool.cleanup())
        return ("INFO", "Jobwarden cleaned up") in logs.lines()

    assert logged()
    logger.setLevel("WARNING")
    assert not logged() and not logged()
    logger.setLevel("INFO")
    assert logged()
    monkeypatch.setattr(logger, "disabled", True)
    assert not logged()
    monkeypatch.undo()
    assert logged()
    # Another logger put in its place is the one asked.
    seen = []
    other = jw.logging.getLogger("tovana.subprocess.other")
    handler = jw.logging.Handler()
    handler.emit = seen.append
    other.addHandler(handler)
    other.setLevel("ERROR")
    monkeypatch.setattr(jw, "logger", other)
    assert not logged() and seen == []
    other.setLevel("INFO")
    run(pool.cleanup())
    other.removeHandler(handler)
    assert [r.getMessage() for r in seen] == ["Jobwarden cleaned up"]


def test_cleanup(scripts, logs):
    pool = scripts.pool(types={"shell": "silent", "custom": "scripted"})
    seen = collect(pool)

    async def main():
        done = SubprocessTask(id="done", worker_type="custom", command={})
        await pool.spawn(done)
        spawns = [asyncio.ensure_future(pool.spawn(SubprocessTask(id=name, timeout=SLOW))) for name in ("one", "two")]
        await until(lambda: len(pool._workers) == 3)
        workers = dict(pool._workers)
        results_before = pool.list_results()
        logs.clear()
        assert await pool.cleanup() is None
        assert pool._workers == {}
        assert all(w.process.returncode == 0 for w in workers.values())
        lines = logs.lines()
        stopped = [text for level, text in lines if level == "DEBUG" and text.endswith(" stopped")]
        assert list(dict.fromkeys(stopped)) == ["Worker one stopped", "Worker two stopped"]  # registry order
        assert ("INFO", "Jobwarden cleaned up") in lines
        assert all(entry in pool.list_results() for entry in results_before)
        assert pool.get_result("done").status is WorkerStatus.COMPLETED
        own = await asyncio.gather(*spawns)
        assert [r.error for r in own] == ["Worker one closed stdout. stderr: ", "Worker two closed stdout. stderr: "]
        assert await pool.cancel("one") is False

        logs.clear()
        await pool.cleanup()
        assert logs.lines() == [("INFO", "Jobwarden cleaned up")]
        # The pool stays usable and keeps its callbacks, results and directory.
        again = await pool.spawn(SubprocessTask(worker_type="custom", command={}))
        assert again.status is WorkerStatus.COMPLETED and seen[-1] is again
        assert os.path.isdir(pool.temp_dir)

    run(main())


def test_cleanup_stops_workers_registered_meanwhile(scripts):
    pool = scripts.pool(types={"shell": "slow_quitter", "custom": "silent"})

    async def main():
        first = asyncio.ensure_future(pool.spawn(SubprocessTask(id="first", timeout=SLOW)))
        await until(lambda: "first" in pool._workers)
        cleaning = asyncio.ensure_future(pool.cleanup())
        await asyncio.sleep(0.05)
        late = asyncio.ensure_future(pool.spawn(SubprocessTask(id="late", worker_type="custom", timeout=SLOW)))
        await until(lambda: "late" in pool._workers)
        late_worker = pool._workers["late"]
        assert not cleaning.done()
        await cleaning
        assert pool._workers == {}
        assert late_worker.process.returncode == 0
        results = await asyncio.gather(first, late)
        assert [r.status for r in results] == [WorkerStatus.FAILED, WorkerStatus.FAILED]

    run(main())


def test_cleanup_does_not_loop_on_exited_children(scripts, logs):
    pool = scripts.pool(types={"shell": "one_shot"})
    stops = []

    async def counting_stop():
        stops.append(1)  # leaves the status as it is

    async def main():
        exited = jw.WorkerProcess("exited", str(scripts.write("one_shot")))
        await exited.start()
        await exited.send_command({})
        await exited.process.wait()
        assert exited.status is WorkerStatus.RUNNING
        pool._workers["exited"] = exited
        pool._workers["fake"] = fake_worker(stop=counting_stop)
        await asyncio.wait_for(pool.cleanup(), 5.0)
        assert pool._workers == {} and stops == [1]
        assert exited.status is WorkerStatus.RUNNING

    run(main())
    assert logs.lines()[-1] == ("INFO", "Jobwarden cleaned up")


def test_cleanup_stop_error_propagates(logs):
    pool = Jobwarden(temp_dir="x")
    calls = []

    def stopper(name, fail=False):
        async def stop():
            calls.append(name)
            if fail:
                raise OSError("stuck")

        return stop

    pool._workers.update(
        {
            "a": fake_worker(stop=stopper("a")),
            "b": fake_worker(WorkerStatus.COMPLETED, stop=stopper("b")),
            "c": fake_worker(stop=stopper("c", fail=True)),
            "d": fake_worker(stop=stopper("d")),
        }
    )

    async def main():
        with pytest.raises(OSError, match="stuck"):
            await pool.cleanup()

    run(main())
    assert calls == ["a", "c"]
    assert list(pool._workers) == ["a", "b", "c", "d"]
    assert ("INFO", "Jobwarden cleaned up") not in logs.lines()


# ---- resources ----------------------------------------------------------------------------------------------------------------------


def test_many_spawns_leave_no_descriptors_or_references(scripts):
    command = {"payload": "x"}
    callback_calls = []

    def callback(result):
        callback_calls.append(result.status)

    gc.collect()
    fds = len(os.listdir("/proc/self/fd"))
    refs = (sys.getrefcount(command), sys.getrefcount(callback))

    pool = scripts.pool(max_workers=50, default_timeout=10, types={"shell": "scripted", "custom": "crasher"})
    pool_ref = weakref.ref(pool)
    tasks = [SubprocessTask(command=command) for _ in range(50)]
    task_ref = weakref.ref(tasks[0])

    async def main():
        pool.on_result(callback)
        results = await pool.spawn_many(tasks)
        assert all(r.status is WorkerStatus.COMPLETED for r in results)
        # Failure paths as well.
        await pool.spawn(SubprocessTask(worker_type="docker", command=command))
        await pool.spawn(SubprocessTask(worker_type="custom", command=command))
        await pool.spawn(SubprocessTask(command=command, working_dir="/nonexistent/dir"))
        pool.max_workers = 0
        await pool.spawn(SubprocessTask(command=command))
        await pool.cleanup()

    run(main())
    assert len(callback_calls) == 54
    del pool, tasks, main
    gc.collect()
    assert pool_ref() is None and task_ref() is None
    assert len(os.listdir("/proc/self/fd")) == fds
    assert (sys.getrefcount(command), sys.getrefcount(callback)) == refs


def test_paths_without_children_do_not_leak(scripts):
    pool = scripts.pool(max_workers=1)
    pool._workers["busy"] = fake_worker()
    calls = []
    pool.on_result(calls.append)
    task_id = "refused-" + "x" * 20
    unknown = SubprocessTask(id=task_id, worker_type="docker")
    refused = SubprocessTask(id=task_id, command={})
    pool._results["r"] = SubprocessResult("r", WorkerStatus.COMPLETED, duration=1.0)

    async def cycle(n):
        for _ in range(n):
            await pool.spawn(unknown)
            await pool.spawn(refused)
            with pytest.raises(TypeError):
                await pool.spawn(SubprocessTask(worker_type=None))
            with pytest.raises(TypeError):
                pool.get_result(1)
            pool.get_result(task_id)
            pool.list_active()
            pool.list_results(5)
            assert await pool.cancel(task_id) is False
            await pool.spawn_many([unknown])
            calls.clear()

    async def main():
        await cycle(300)  # also lets the interpreter's free lists settle
        gc.collect()
        refs = [sys.getrefcount(o) for o in (unknown, refused, task_id, pool)]
        blocks = sys.getallocatedblocks()
        await cycle(1500)
        gc.collect()
        assert [sys.getrefcount(o) for o in (unknown, refused, task_id, pool)] == refs
        assert sys.getallocatedblocks() - blocks < 500

    run(main())
