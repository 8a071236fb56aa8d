"""The module's set-up, its enumerations and the task and result records."""

from __future__ import annotations

import dataclasses
import enum
import inspect
import logging
import pydoc
import re
import sys
import time
import types
import uuid

import pytest

from tovana.core import jobwarden as jw

WorkerStatus = jw.WorkerStatus
TaskPriority = jw.TaskPriority
SubprocessTask = jw.SubprocessTask
SubprocessResult = jw.SubprocessResult


# ---- module ----------------------------------------------------------------------


def test_module_globals_and_logger():
    for name in ("asyncio", "json", "logging", "os", "shutil", "sys", "tempfile", "time", "uuid"):
        assert isinstance(getattr(jw, name), types.ModuleType), name
        assert getattr(jw, name).__name__ == name
    assert jw.logger is logging.getLogger("tovana.subprocess")
    for name in ("WorkerStatus", "TaskPriority", "SubprocessTask", "SubprocessResult", "WorkerProcess", "Jobwarden"):
        assert getattr(jw, name).__module__ == "tovana.core.jobwarden"
        assert getattr(jw, name).__name__ == name


def test_help_renders_the_whole_module():
    text = pydoc.render_doc(jw, renderer=pydoc.plaintext)
    if sys.version_info < (3, 14):
        # Older pydoc shows annotations stored as text in quotes.
        text = text.replace("'", "")
    for needle in (
        "class Jobwarden",
        "class WorkerProcess",
        "class SubprocessTask",
        "class SubprocessResult",
        "Orchestrates a pool of worker subprocesses.",
        "Spawn a worker subprocess to execute a task.",
        "Manages a single worker subprocess with JSON stdin/stdout communication.",
        "async send_command(self, command: dict[str, Any]) -> dict[str, Any]",
        "async spawn(self, task: SubprocessTask) -> SubprocessResult",
        "list_results(self, limit: int = 20) -> list[dict[str, Any]]",
        "Readonly properties defined here:",
    ):
        assert needle in text, needle


def test_worker_scripts_dir_is_the_workers_folder_beside_core():
    from pathlib import Path

    value = jw.Jobwarden.__dict__["WORKER_SCRIPTS_DIR"]
    assert isinstance(value, Path)
    assert value == Path(jw.__file__).parent.parent / "workers"
    assert value.parent.name == "tovana"


# ---- enumerations ------------------------------------------------------------------


def test_worker_status_members_are_strings():
    assert [(m.name, m.value) for m in WorkerStatus] == [
        ("IDLE", "idle"),
        ("RUNNING", "running"),
        ("COMPLETED", "completed"),
        ("FAILED", "failed"),
        ("TIMEOUT", "timeout"),
        ("CANCELLED", "cancelled"),
    ]
    assert isinstance(WorkerStatus.RUNNING, str)
    assert isinstance(WorkerStatus.RUNNING, enum.Enum)
    assert WorkerStatus.RUNNING == "running"
    assert "timeout" == WorkerStatus.TIMEOUT
    assert WorkerStatus.RUNNING != "RUNNING"
    assert WorkerStatus("cancelled") is WorkerStatus.CANCELLED
    assert WorkerStatus("running") is WorkerStatus.RUNNING
    with pytest.raises(ValueError):
        WorkerStatus("stopped")
    assert {"running": 1}[WorkerStatus.RUNNING] == 1  # hashes as its value


def test_task_priority_members_are_integers():
    assert [(m.name, m.value) for m in TaskPriority] == [("LOW", 0), ("NORMAL", 1), ("HIGH", 2), ("CRITICAL", 3)]
    assert isinstance(TaskPriority.HIGH, int)
    assert TaskPriority.HIGH > TaskPriority.NORMAL > TaskPriority.LOW
    assert TaskPriority.CRITICAL == 3 and TaskPriority.LOW < 1
    assert sorted([TaskPriority.CRITICAL, TaskPriority.LOW, TaskPriority.HIGH]) == [
        TaskPriority.LOW,
        TaskPriority.HIGH,
        TaskPriority.CRITICAL,
    ]
    assert TaskPriority(2) is TaskPriority.HIGH
    with pytest.raises(ValueError):
        TaskPriority(4)


def test_enumerations_have_no_docstring():
    assert WorkerStatus.__doc__ is None
    assert TaskPriority.__doc__ is None


# ---- SubprocessTask -------------------------------------------------------------------


def test_task_defaults_in_dict_form():
    before = time.time()
    task = SubprocessTask()
    after = time.time()
    d = task.to_dict()
    assert list(d) == ["id", "worker_type", "command", "priority", "timeout", "working_dir", "env", "created_at"]
    assert re.fullmatch(r"[0-9a-f]{12}", d["id"])
    assert d["worker_type"] == "shell"
    assert d["command"] == {} and d["env"] == {}
    assert d["priority"] == 1 and type(d["priority"]) is int
    assert d["timeout"] == 60.0 and type(d["timeout"]) is float
    assert d["working_dir"] is None
    assert type(d["created_at"]) is float
    assert before - 0.01 <= d["created_at"] <= after + 0.01
    assert task.priority is TaskPriority.NORMAL


@pytest.mark.parametrize("patched", ["uuid4", "urandom", "none"])
def test_task_id_is_the_start_of_a_fresh_uuid4(monkeypatch, patched):
    if patched == "uuid4":
        monkeypatch.setattr(uuid, "uuid4", lambda: uuid.UUID("0123456789ab4def8123456789abcdef"))
    elif patched == "urandom":
        monkeypatch.setattr(uuid.os, "urandom", lambda n: bytes(range(1, n + 1)))
    ids = {SubprocessTask().id for _ in range(200)}
    if patched == "none":
        assert len(ids) == 200 and all(re.fullmatch(r"[0-9a-f]{12}", i) for i in ids)
    else:
        assert ids == {"0123456789ab" if patched == "uuid4" else "010203040506"}


def test_task_creation_time_is_read_per_record(monkeypatch):
    monkeypatch.setattr(time, "time", lambda: 1234.5)
    assert SubprocessTask().created_at == 1234.5
    monkeypatch.setattr(time, "time", lambda: 99.25)
    assert SubprocessTask().to_dict()["created_at"] == 99.25


def test_tasks_get_their_own_ids_and_containers():
    a, b = SubprocessTask(), SubprocessTask()
    assert a.id != b.id
    assert a.command is not b.command and a.env is not b.env
    a.command["x"] = 1
    a.env["K"] = "v"
    assert b.command == {} and b.env == {}
    assert len({SubprocessTask().id for _ in range(200)}) == 200


def test_task_dict_holds_the_records_own_values():
    cmd, env = {"cmd": "ls", "n": [1, 2]}, {"A": "1"}
    task = SubprocessTask("t-1", "custom", cmd, TaskPriority.CRITICAL, 2.5, "/somewhere", env, 1700000000.123456789)
    d = task.to_dict()
    assert d == {
        "id": "t-1",
        "worker_type": "custom",
        "command": cmd,
        "priority": 3,
        "timeout": 2.5,
        "working_dir": "/somewhere",
        "env": env,
        "created_at": 1700000000.123456789,
    }
    assert d["command"] is cmd and d["env"] is env  # not copies
    assert type(d["priority"]) is int
    # Values given to the constructor are stored unchanged and unchecked.
    odd = SubprocessTask(id=7, worker_type=None, command=[1], timeout="soon")
    assert (odd.id, odd.worker_type, odd.command, odd.timeout) == (7, None, [1], "soon")
    # The dictionary follows later changes of the record and is new each time.
    task.priority = TaskPriority.LOW
    task.timeout = 9
    assert task.to_dict()["priority"] == 0 and task.to_dict()["timeout"] == 9
    assert task.to_dict() is not task.to_dict()


def test_task_keywords_and_positions():
    t = SubprocessTask(worker_type="file_edit", env={"X": "y"}, id="abc")
    assert (t.id, t.worker_type, t.env, t.command) == ("abc", "file_edit", {"X": "y"}, {})
    with pytest.raises(TypeError):
        SubprocessTask(1, 2, 3, 4, 5, 6, 7, 8, 9)
    with pytest.raises(TypeError):
        SubprocessTask(name="x")


def test_record_equality():
    a = SubprocessTask("same", "shell", {"a": 1}, TaskPriority.HIGH, 1.0, None, {}, 5.0)
    b = SubprocessTask("same", "shell", {"a": 1}, TaskPriority.HIGH, 1.0, None, {}, 5.0)
    assert a == b
    for field, value in [
        ("id", "other"),
        ("worker_type", "custom"),
        ("command", {"a": 2}),
        ("priority", TaskPriority.LOW),
        ("timeout", 2.0),
        ("working_dir", "/tmp"),
        ("env", {"A": "b"}),
        ("created_at", 6.0),
    ]:
        c = dataclasses.replace(b, **{field: value})
        assert c != a, field
    r1 = SubprocessResult("t", WorkerStatus.FAILED, {"x": 1}, "bad", 1.5, 42)
    r2 = SubprocessResult("t", WorkerStatus.FAILED, {"x": 1}, "bad", 1.5, 42)
    assert r1 == r2
    for field, value in [
        ("task_id", "u"),
        ("status", WorkerStatus.TIMEOUT),
        ("output", None),
        ("error", None),
        ("duration", 1.25),
        ("pid", 43),
    ]:
        r3 = dataclasses.replace(r2, **{field: value})
        assert r3 != r1, field
    # Records are mutable; the text form names the record and its fields.
    r2.pid = 44
    assert r2 != r1
    assert repr(r1).startswith("SubprocessResult(") and "task_id='t'" in repr(r1)
    assert repr(a).startswith("SubprocessTask(") and "id='same'" in repr(a)


# ---- SubprocessResult ----------------------------------------------------------------------


def test_result_defaults_in_dict_form():
    d = SubprocessResult("t1", WorkerStatus.TIMEOUT).to_dict()
    assert d == {"task_id": "t1", "status": "timeout", "output": None, "error": None, "duration": 0.0, "pid": None}
    assert list(d) == ["task_id", "status", "output", "error", "duration", "pid"]
    assert type(d["status"]) is str and type(d["duration"]) is float


def test_result_dict_values():
    out = {"rows": [1, 2]}
    r = SubprocessResult(task_id="t2", status=WorkerStatus.COMPLETED, output=out, error=None, duration=0.1 + 0.2, pid=99)
    d = r.to_dict()
    assert d["output"] is out
    assert d["duration"] == 0.1 + 0.2  # full precision
    assert (d["status"], d["pid"]) == ("completed", 99)
    for status in WorkerStatus:
        assert SubprocessResult("t", status).to_dict()["status"] == status.value


def test_result_requires_task_id_and_status():
    with pytest.raises(TypeError):
        SubprocessResult()
    with pytest.raises(TypeError):
        SubprocessResult("t1")
    with pytest.raises(TypeError):
        SubprocessResult(status=WorkerStatus.FAILED)
    with pytest.raises(TypeError):
        SubprocessResult("t", WorkerStatus.FAILED, None, None, 0.0, None, "extra")


def test_to_dict_takes_no_argument():
    with pytest.raises(TypeError):
        SubprocessTask().to_dict(True)
    with pytest.raises(TypeError):
        SubprocessResult("t", WorkerStatus.IDLE).to_dict("x")


# ---- declared surface ------------------------------------------------------------------------


def test_records_are_dataclasses_with_text_annotations():
    assert dataclasses.is_dataclass(SubprocessTask) and dataclasses.is_dataclass(SubprocessResult)
    assert [f.name for f in dataclasses.fields(SubprocessTask)] == [
        "id", "worker_type", "command", "priority", "timeout", "working_dir", "env", "created_at",
    ]
    assert inspect.get_annotations(SubprocessTask) == {
        "id": "str",
        "worker_type": "str",
        "command": "dict[str, Any]",
        "priority": "TaskPriority",
        "timeout": "float",
        "working_dir": "str | None",
        "env": "dict[str, str]",
        "created_at": "float",
    }
    assert inspect.get_annotations(SubprocessResult) == {
        "task_id": "str",
        "status": "WorkerStatus",
        "output": "Any",
        "error": "str | None",
        "duration": "float",
        "pid": "int | None",
    }
    params = inspect.signature(SubprocessResult).parameters
    assert list(params) == ["task_id", "status", "output", "error", "duration", "pid"]
    assert params["task_id"].default is inspect.Parameter.empty
    assert params["status"].default is inspect.Parameter.empty
    assert [params[n].default for n in ("output", "error", "duration", "pid")] == [None, None, 0.0, None]
    params = inspect.signature(SubprocessTask).parameters
    assert all(p.default is not inspect.Parameter.empty for p in params.values())
    assert params["priority"].default is TaskPriority.NORMAL


def test_record_docstrings():
    assert SubprocessTask.__doc__ == "A task to be executed by a worker subprocess."
    assert SubprocessResult.__doc__ == "Result from a worker subprocess."
    assert not inspect.iscoroutinefunction(SubprocessTask.to_dict)
    assert inspect.signature(SubprocessTask.to_dict).parameters.keys() == {"self"}
