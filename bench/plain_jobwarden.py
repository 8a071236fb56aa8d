"""The pool's own operations written as ordinary Python, for the
per-operation benchmark: the records as plain dataclasses with the same
fields, defaults and to_dict(), WorkerProcess.pid, Jobwarden._notify and
Jobwarden.cancel, each with the native module's algorithm."""
import asyncio
import logging
import os
import time
import uuid
from dataclasses import dataclass, field
from enum import Enum, IntEnum
from typing import Any

logger = logging.getLogger("tovana.subprocess.plain")


class WorkerStatus(str, Enum):
    IDLE = "idle"
    RUNNING = "running"
    COMPLETED = "completed"
    FAILED = "failed"
    TIMEOUT = "timeout"
    CANCELLED = "cancelled"


class TaskPriority(IntEnum):
    LOW = 0
    NORMAL = 1
    HIGH = 2
    CRITICAL = 3


_uuid4, _urandom = uuid.uuid4, os.urandom


def _new_task_id():
    # The first 12 hex digits of uuid4() are its first 6 random bytes as they are.
    if uuid.uuid4 is _uuid4 and uuid.os.urandom is _urandom:
        return os.urandom(6).hex()
    return uuid.uuid4().hex[:12]


@dataclass
class SubprocessTask:
    id: str = field(default_factory=_new_task_id)
    worker_type: str = "shell"
    command: dict[str, Any] = field(default_factory=dict)
    priority: TaskPriority = TaskPriority.NORMAL
    timeout: float = 60.0
    working_dir: str | None = None
    env: dict[str, str] = field(default_factory=dict)
    created_at: float = field(default_factory=lambda: time.time())

    def to_dict(self) -> dict[str, Any]:
        return {"id": self.id, "worker_type": self.worker_type, "command": self.command,
                "priority": getattr(self.priority, "value", self.priority), "timeout": self.timeout, "working_dir": self.working_dir,
                "env": self.env, "created_at": self.created_at}


@dataclass
class SubprocessResult:
    task_id: str
    status: WorkerStatus
    output: Any = None
    error: str | None = None
    duration: float = 0.0
    pid: int | None = None

    def to_dict(self) -> dict[str, Any]:
        return {"task_id": self.task_id, "status": getattr(self.status, "value", self.status), "output": self.output, "error": self.error,
                "duration": self.duration, "pid": self.pid}


class WorkerProcess:
    def __init__(self, worker_id, script_path, working_dir=None, env=None, timeout=60.0):
        self.worker_id = worker_id
        self.process = None
        self.status = WorkerStatus.IDLE

    @property
    def pid(self):
        if self.process is None:
            return None
        return self.process.pid


class Jobwarden:
    def __init__(self):
        self._workers = {}
        self._results = {}
        self._callbacks = []

    async def _notify(self, result):
        i = 0
        while i < len(self._callbacks):
            callback = self._callbacks[i]
            i += 1
            try:
                value = callback(result)
                if asyncio.iscoroutine(value):
                    await value
            except Exception as e:
                logger.warning(f"Result callback error: {e}")

    async def cancel(self, task_id):
        if type(task_id) is not str:
            raise TypeError(f"Argument 'task_id' has incorrect type (expected str, got {type(task_id).__name__})")
        worker = self._workers.get(task_id)
        if worker is None or worker.status != WorkerStatus.RUNNING:
            return False
        await worker.stop()
        worker.status = WorkerStatus.CANCELLED
        self._results[task_id] = SubprocessResult(task_id, WorkerStatus.CANCELLED, None, None, 0.0, worker.pid)
        return True
