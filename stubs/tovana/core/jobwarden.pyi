"""Type stubs of the native module tovana.core.jobwarden."""
import enum
from pathlib import Path
from typing import Any, Callable, ClassVar

class WorkerStatus(str, enum.Enum):
    IDLE = "idle"
    RUNNING = "running"
    COMPLETED = "completed"
    FAILED = "failed"
    TIMEOUT = "timeout"
    CANCELLED = "cancelled"

class TaskPriority(enum.IntEnum):
    LOW = 0
    NORMAL = 1
    HIGH = 2
    CRITICAL = 3

class SubprocessTask:
    id: str
    worker_type: str
    command: dict[str, Any]
    priority: TaskPriority
    timeout: float
    working_dir: str | None
    env: dict[str, str]
    created_at: float
    def __init__(
        self,
        id: str = ...,
        worker_type: str = ...,
        command: dict[str, Any] = ...,
        priority: TaskPriority = ...,
        timeout: float = ...,
        working_dir: str | None = ...,
        env: dict[str, str] = ...,
        created_at: float = ...,
    ) -> None: ...
    def to_dict(self) -> dict[str, Any]: ...

class SubprocessResult:
    task_id: str
    status: WorkerStatus
    output: Any
    error: str | None
    duration: float
    pid: int | None
    def __init__(
        self,
        task_id: str,
        status: WorkerStatus,
        output: Any = ...,
        error: str | None = ...,
        duration: float = ...,
        pid: int | None = ...,
    ) -> None: ...
    def to_dict(self) -> dict[str, Any]: ...

class WorkerProcess:
    worker_id: str
    script_path: str
    working_dir: str | None
    env: dict[str, str]
    timeout: float
    process: Any
    status: WorkerStatus
    start_time: float
    def __init__(
        self,
        worker_id: str,
        script_path: str,
        working_dir: str | None = None,
        env: dict[str, str] | None = None,
        timeout: float = 60.0,
    ): ...
    async def start(self) -> None: ...
    async def send_command(self, command: dict[str, Any]) -> dict[str, Any]: ...
    async def stop(self) -> None: ...
    async def _drain_stderr(self) -> None: ...
    @property
    def pid(self) -> int | None: ...
    @property
    def elapsed(self) -> float: ...

class Jobwarden:
    WORKER_SCRIPTS_DIR: ClassVar[Path]
    max_workers: int
    default_timeout: float
    temp_dir: str
    def __init__(self, max_workers: int = 5, default_timeout: float = 60.0, temp_dir: str | None = None): ...
    def _resolve_worker_script(self, worker_type: str) -> Path | None: ...
    async def spawn(self, task: SubprocessTask) -> SubprocessResult: ...
    def on_result(self, callback: Callable[[SubprocessResult], Any]) -> None: ...
    async def _notify(self, result: SubprocessResult) -> None: ...
    async def spawn_many(self, tasks: list[SubprocessTask]) -> list[SubprocessResult]: ...
    def get_result(self, task_id: str) -> SubprocessResult | None: ...
    def list_active(self) -> list[dict[str, Any]]: ...
    def list_results(self, limit: int = 20) -> list[dict[str, Any]]: ...
    async def cancel(self, task_id: str) -> bool: ...
    async def cleanup(self) -> None: ...
