"""Worker that runs one shell command per request.

Command keys:
    command  string run through ``/bin/sh -c``, or a list of strings run
             directly (first item is the program); required
    timeout  seconds the command may run (default 30); on expiry the whole
             process group is killed
    cwd      directory to run in, relative to the worker's working directory
             (default: the worker's working directory)
    env      object of variables laid over the worker's environment; a null
             value removes the variable
    stdin    text fed to the command's standard input (default: none, the
             command reads from the null device)

The answer is successful only when the command exits with status 0.  The
result always holds exit_code, stdout, stderr, stdout_bytes, stderr_bytes,
timed_out and duration; stdout_truncated / stderr_truncated are set when the
output was cut to fit the answer line (the middle is cut, the beginning and
end are kept).

The quit line (or end of input) that arrives while a command runs kills the
command's process group at once and ends the worker without an answer.  On
Linux the command's first process also gets SIGKILL when the worker dies for
any reason (the parent-death signal); processes it started itself are only
covered by the group kill.
"""

from __future__ import annotations

import collections
import os
import selectors
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from _protocol import (TEXT_BUDGET, failure, fit_prefix, fit_suffix, get_arg, get_number,  # noqa: E402
                       json_size, quit_guard, serve, share_budget, success)

DEFAULT_TIMEOUT = 30.0
KEEP_BYTES = 128 * 1024      # bytes kept from each end of a stream while it runs
EXIT_GRACE = 0.5             # seconds to wait for pipes held open by background processes
DRAIN_AFTER_KILL = 0.5       # seconds to collect the rest of the output after a kill
REAP_ON_QUIT = 0.5           # seconds to wait for the killed command when quitting

_running = None              # the command's Popen while it runs (set under quit_guard())


class Capture:
    """Keeps the first and last KEEP_BYTES of a stream and counts all of it."""

    def __init__(self):
        self.head = bytearray()
        self.tail = collections.deque()
        self.tail_size = 0
        self.total = 0

    def add(self, data: bytes) -> None:
        self.total += len(data)
        room = KEEP_BYTES - len(self.head)
        if room > 0:
            self.head += data[:room]
            data = data[room:]
        if data:
            self.tail.append(data)
            self.tail_size += len(data)
            while self.tail_size - len(self.tail[0]) >= KEEP_BYTES:
                self.tail_size -= len(self.tail.popleft())

    def bytes_kept(self):
        tail = b"".join(self.tail)
        dropped = self.total - len(self.head) - len(tail)
        return bytes(self.head), tail, dropped


def _decode(data: bytes) -> str:
    return data.decode("utf-8", "surrogateescape")


def _shown(text: str) -> str:
    return text.encode("utf-8", "surrogateescape").decode("utf-8", "replace")


def render(capture: Capture, budget: int):
    """Text of a stream within ``budget`` encoded bytes; (text, cut?)."""
    head, tail, dropped = capture.bytes_kept()
    if not dropped:
        whole = _decode(head + tail)
        if json_size(whole) - 2 <= budget:
            return _shown(whole), False
        head_text = tail_text = whole
    else:
        head_text, tail_text = _decode(head), _decode(tail)
    room = max(0, budget - 64)
    keep_head = head_text[:fit_prefix(head_text, room // 2)]
    room -= json_size(keep_head) - 2
    if not dropped:
        tail_text = tail_text[len(keep_head):]
    count = fit_suffix(tail_text, room)
    keep_tail = tail_text[len(tail_text) - count:]
    omitted = capture.total - len(keep_head.encode("utf-8", "surrogateescape")) \
        - len(keep_tail.encode("utf-8", "surrogateescape"))
    text = _shown(keep_head) + f"\n[... {omitted} bytes cut ...]\n" + _shown(keep_tail)
    return text, True


def _kill_group(proc: subprocess.Popen) -> None:
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    try:
        proc.kill()
    except ProcessLookupError:
        pass


_PR_SET_PDEATHSIG = 1
_prctl = None                # (prctl, its arguments), looked up on first use; False when unavailable


def _death_signal_setup():
    """A ``preexec_fn`` that makes the child get SIGKILL when the worker dies, or None.

    Linux only, and only when ``ctypes`` can reach ``prctl``; otherwise None
    (the command then simply runs without it).
    """
    global _prctl
    if _prctl is None:
        _prctl = False
        if sys.platform.startswith("linux"):
            try:
                import ctypes
                function = ctypes.CDLL(None, use_errno=True).prctl
                zero = ctypes.c_ulong(0)
                _prctl = (function, (ctypes.c_int(_PR_SET_PDEATHSIG),
                                     ctypes.c_ulong(int(signal.SIGKILL)), zero, zero, zero))
            except (ImportError, OSError, AttributeError):
                pass
    if not _prctl:
        return None
    (prctl, arguments), parent = _prctl, os.getpid()

    def setup():                 # runs in the child between fork and exec
        prctl(*arguments)
        if os.getppid() != parent:   # the worker died before the call took effect
            os.kill(os.getpid(), signal.SIGKILL)

    return setup


def _interrupt():
    """Interrupt hook: kill the running command's process group and reap it."""
    proc = _running
    if proc is None:
        return
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except OSError:
        pass
    deadline = time.monotonic() + REAP_ON_QUIT
    while True:
        try:
            pid, _status = os.waitpid(proc.pid, os.WNOHANG)
        except ChildProcessError:   # already reaped by the main thread
            return
        if pid or time.monotonic() >= deadline:
            return
        time.sleep(0.002)


def run(argv, timeout, cwd, env, stdin_data):
    """Run ``argv``; returns (returncode, (stdout, stderr) captures, timed_out, lingering, duration)."""
    global _running
    started = time.monotonic()
    with quit_guard():
        proc = subprocess.Popen(
            argv, cwd=cwd, env=env,
            stdin=subprocess.PIPE if stdin_data is not None else subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            start_new_session=True,   # its own process group, killed as a whole
            preexec_fn=_death_signal_setup(),
        )
        _running = proc
    out, err = Capture(), Capture()
    captures = {proc.stdout.fileno(): out, proc.stderr.fileno(): err}
    selector = selectors.DefaultSelector()
    pipes = [proc.stdout, proc.stderr]
    for pipe in pipes:
        os.set_blocking(pipe.fileno(), False)
        selector.register(pipe.fileno(), selectors.EVENT_READ)
    pending = memoryview(stdin_data or b"")
    stdin_fd = proc.stdin.fileno() if proc.stdin is not None else None
    if stdin_data is not None:
        os.set_blocking(proc.stdin.fileno(), False)
        if pending:
            selector.register(proc.stdin.fileno(), selectors.EVENT_WRITE)
        else:
            proc.stdin.close()

    def read_ready(fd):
        try:
            data = os.read(fd, 65536)
        except BlockingIOError:
            return
        except OSError:
            data = b""
        if data:
            captures[fd].add(data)
        else:
            selector.unregister(fd)

    deadline = started + timeout
    timed_out = lingering = False
    exited_at = None
    try:
        while True:
            returncode = proc.poll()
            watching = [k.fd for k in selector.get_map().values()
                        if k.events & selectors.EVENT_READ]
            if returncode is not None and not watching:
                break
            now = time.monotonic()
            if now >= deadline:
                timed_out = True
                break
            if returncode is not None:
                exited_at = exited_at or now
                if now - exited_at >= EXIT_GRACE:
                    lingering = True
                    break
            if not selector.get_map():
                try:
                    proc.wait(timeout=deadline - now)
                except subprocess.TimeoutExpired:
                    pass
                continue
            for key, _events in selector.select(min(deadline - now, 0.1)):
                if key.fd == stdin_fd:
                    try:
                        written = os.write(key.fd, pending)
                        pending = pending[written:]
                    except BlockingIOError:
                        continue
                    except OSError:      # the command stopped reading
                        pending = pending[:0]
                    if not pending:
                        selector.unregister(key.fd)
                        proc.stdin.close()
                else:
                    read_ready(key.fd)
        if timed_out:
            _kill_group(proc)
            proc.wait()
            stop = time.monotonic() + DRAIN_AFTER_KILL
            while any(k.events & selectors.EVENT_READ for k in selector.get_map().values()):
                left = stop - time.monotonic()
                if left <= 0:
                    break
                for key, _events in selector.select(left):
                    if key.events & selectors.EVENT_READ:
                        read_ready(key.fd)
                    else:
                        selector.unregister(key.fd)
    finally:
        if proc.poll() is None:         # only on an unexpected error above
            _kill_group(proc)
            proc.wait()
        with quit_guard():
            _running = None
        selector.close()
        for pipe in (proc.stdin, proc.stdout, proc.stderr):
            if pipe is not None:
                try:
                    pipe.close()
                except OSError:
                    pass
    duration = time.monotonic() - started
    return proc.returncode, (out, err), timed_out, lingering, duration


def _format_seconds(value: float) -> str:
    return f"{value:g}"


def handle(command: dict) -> dict:
    cmd = get_arg(command, "command", (str, list))
    if isinstance(cmd, list):
        if not cmd or not all(isinstance(part, str) for part in cmd):
            raise TypeError("'command' as a list must be a non-empty list of strings")
        argv = list(cmd)
    else:
        if not cmd.strip():
            raise ValueError("'command' must not be empty")
        argv = ["/bin/sh", "-c", cmd]
    timeout = float(get_number(command, "timeout", DEFAULT_TIMEOUT))
    if timeout <= 0:
        raise ValueError("'timeout' must be greater than 0")
    cwd = get_arg(command, "cwd", str, None)
    if cwd is not None:
        cwd = os.path.join(os.getcwd(), cwd)
        if not os.path.isdir(cwd):
            raise NotADirectoryError(f"'cwd' is not a directory: {command['cwd']}")
    overrides = get_arg(command, "env", dict, {})
    env = dict(os.environ)
    for name, value in overrides.items():
        if value is None:
            env.pop(name, None)
        elif isinstance(value, str):
            env[name] = value
        else:
            raise TypeError(f"'env' values must be strings or null, not {type(value).__name__} (for {name})")
    stdin_text = get_arg(command, "stdin", str, None)
    stdin_data = stdin_text.encode("utf-8") if stdin_text is not None else None

    returncode, captures, timed_out, lingering, duration = run(argv, timeout, cwd, env, stdin_data)
    out, err = captures
    sizes = [json_size(_shown(_decode(b"".join(c.bytes_kept()[:2])))) for c in (out, err)]
    out_budget, err_budget = share_budget(sizes, TEXT_BUDGET)
    stdout, out_cut = render(out, out_budget)
    stderr, err_cut = render(err, err_budget)

    result = {
        "exit_code": returncode,
        "stdout": stdout,
        "stderr": stderr,
        "stdout_bytes": out.total,
        "stderr_bytes": err.total,
        "timed_out": timed_out,
        "duration": round(duration, 3),
    }
    if out_cut:
        result["stdout_truncated"] = True
    if err_cut:
        result["stderr_truncated"] = True
    if returncode is not None and returncode < 0:
        try:
            result["signal"] = signal.Signals(-returncode).name
        except ValueError:
            result["signal"] = str(-returncode)
    if lingering:
        result["note"] = ("the command exited but background processes kept its output open; "
                          f"output after {EXIT_GRACE}s was not collected")

    if timed_out:
        return failure(f"Command timed out after {_format_seconds(timeout)}s", result)
    if returncode == 0:
        return success(result)
    if returncode < 0:
        return failure(f"Command killed by signal {result['signal']}", result)
    return failure(f"Command exited with code {returncode}", result)


if __name__ == "__main__":
    serve(handle, on_interrupt=_interrupt)
