"""Worker that runs one shell command per request.

Command keys:
    command   string run through ``/bin/sh -c``, or a list of strings run
              directly (first item is the program); required
    timeout   seconds the command may run (default 30); on expiry the whole
              process group is killed
    cwd       directory to run in, relative to the worker's working directory
              (default: the worker's working directory)
    env       object of variables laid over the worker's environment; a null
              value removes the variable
    stdin     text fed to the command's standard input (default: none, the
              command reads from the null device)
    sandbox, network, writable, limits
              the confinement (see _sandbox.py); by default the command runs
              under ``tovana-sandbox`` with TMPDIR, TMP and TEMP pointing at a
              private temporary folder that is removed after it

The answer is successful only when the command exits with status 0.  The
result always holds exit_code, stdout, stderr, stdout_bytes, stderr_bytes,
timed_out and duration; stdout_truncated / stderr_truncated are set when the
output was cut to fit the answer line (the middle is cut, the beginning and
end are kept); ``sandbox`` says what confinement was applied.

Every command runs in its own process group.  The quit line (or end of input)
kills the process group of every command the worker ran, finished or not,
and ends the worker (without an answer when a command was running).  The
command's first process also gets SIGKILL when the worker dies for any reason
(the parent-death signal); processes it started itself are only covered by
the group kill.
"""

from __future__ import annotations

import os
import sys
import time

import _sandbox
from _protocol import (TEXT_BUDGET, failure, fit_prefix, fit_suffix, get_arg, get_number,
                       json_size, quit_guard, serve, share_budget, success)

# subprocess, selectors, signal and tempfile are not imported: commands start
# through os.posix_spawn and the helper, and their output is read with poll().

DEFAULT_TIMEOUT = 30.0
KEEP_BYTES = 128 * 1024      # bytes kept from each end of a stream while it runs
EXIT_GRACE = 0.5             # seconds to wait for pipes held open by background processes
DRAIN_AFTER_KILL = 0.5       # seconds to collect the rest of the output after a kill
REAP_ON_QUIT = 0.5           # seconds to wait for the killed command when quitting
SIGKILL = _sandbox.SIGKILL

SANDBOX = _sandbox.PROGRAM

_running = None              # the running command's pid (set under quit_guard())


class Capture:
    """Keeps the first and last KEEP_BYTES of a stream and counts all of it."""

    def __init__(self):
        self.head = bytearray()
        self.tail = []
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
            drop = 0
            while self.tail_size - len(self.tail[drop]) >= KEEP_BYTES:
                self.tail_size -= len(self.tail[drop])
                drop += 1
            if drop:
                del self.tail[:drop]

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


def _interrupt():
    """Interrupt hook: kill the running command's process group and reap it."""
    pid = _running
    if pid is None:
        return
    _sandbox.kill_group(pid)
    deadline = time.monotonic() + REAP_ON_QUIT
    while True:
        try:
            done, _status = os.waitpid(pid, os.WNOHANG)
        except ChildProcessError:   # already reaped by the main thread
            return
        if done or time.monotonic() >= deadline:
            return
        time.sleep(0.002)


# ---------------------------------------------------------------------------
# starting a command


def _find_program(name: str, cwd: str, env: dict) -> None:
    """Raise FileNotFoundError unless ``name`` can be run (looked up as execvp does)."""
    if "/" in name:
        candidates = [os.path.join(cwd, name)]
    else:
        candidates = [os.path.join(folder or ".", name) for folder in os.get_exec_path(env)]
    for path in candidates:
        if os.access(path, os.X_OK) and not os.path.isdir(path):
            return
    raise FileNotFoundError(2, "No such file or directory", name)


def _spawn_helper(options, argv, cwd, env, fds, report_fd):
    """Start ``argv`` through the helper in a new session; returns the pid."""
    args = [SANDBOX, "--chdir", cwd, "--die-with", str(os.getpid())]
    actions = [(os.POSIX_SPAWN_DUP2, fds[0], 0), (os.POSIX_SPAWN_DUP2, fds[1], 1),
               (os.POSIX_SPAWN_DUP2, fds[2], 2)]
    if report_fd is not None:
        actions.append((os.POSIX_SPAWN_DUP2, report_fd, 3))
        args += ["--report", "3"]
    args += options
    args.append("--")
    args += argv
    return os.posix_spawn(SANDBOX, args, env, file_actions=actions, setsid=True)


def _spawn_plain(argv, cwd, env, fds):
    """Start ``argv`` unconfined without the helper (when it is not installed)."""
    import subprocess
    proc = subprocess.Popen(argv, cwd=cwd, env=env, stdin=fds[0], stdout=fds[1], stderr=fds[2],
                            start_new_session=True, preexec_fn=_death_signal_setup())
    proc.returncode = 0         # reaped here, not by Popen
    return proc.pid


_prctl = None                # (prctl, its arguments), looked up on first use; False when unavailable


def _death_signal_setup():
    """A ``preexec_fn`` that makes the child get SIGKILL when the worker dies, or None."""
    global _prctl
    if _prctl is None:
        _prctl = False
        if sys.platform.startswith("linux"):
            try:
                import ctypes
                function = ctypes.CDLL(None, use_errno=True).prctl
                zero = ctypes.c_ulong(0)
                _prctl = (function, (ctypes.c_int(1), ctypes.c_ulong(SIGKILL), zero, zero, zero))
            except (ImportError, OSError, AttributeError):
                pass
    if not _prctl:
        return None
    (prctl, arguments), parent = _prctl, os.getpid()

    def setup():                 # runs in the child between fork and exec
        prctl(*arguments)
        if os.getppid() != parent:   # the worker died before the call took effect
            os.kill(os.getpid(), SIGKILL)

    return setup


# ---------------------------------------------------------------------------
# running it


def run(start, timeout, stdin_data, report):
    """Start the command with ``start(fds, report_fd)`` and collect its output.

    Returns (returncode, (stdout, stderr) captures, timed_out, lingering,
    duration, report bytes or None).
    """
    global _running
    import select
    started = time.monotonic()
    opened = []                 # descriptors to close at the end
    captures = {}
    pid = pidfd = returncode = None
    poller = select.poll()
    reading = set()

    def pipe():
        ends = os.pipe()
        opened.extend(ends)
        return ends

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
            poller.unregister(fd)
            reading.discard(fd)

    def reap(flags):
        try:
            done, status = os.waitpid(pid, flags)
        except ChildProcessError:      # reaped by the interrupt hook
            return -SIGKILL
        return os.waitstatus_to_exitcode(status) if done else None

    out, err, rep = Capture(), Capture(), Capture()
    timed_out = lingering = False
    try:
        out_r, out_w = pipe()
        err_r, err_w = pipe()
        if stdin_data is not None:
            in_r, in_w = pipe()
        else:
            in_r, in_w = os.open(os.devnull, os.O_RDONLY | os.O_CLOEXEC), None
            opened.append(in_r)
        rep_r, rep_w = pipe() if report else (None, None)
        with quit_guard():
            pid = start((in_r, out_w, err_w), rep_w)
            _running = pid
            _sandbox.add_group(pid)
        for fd in (in_r, out_w, err_w, rep_w):      # the command's ends: it has its own
            if fd is not None:
                opened.remove(fd)
                os.close(fd)
        captures[out_r], captures[err_r] = out, err
        if rep_r is not None:
            captures[rep_r] = rep
        reading.update(captures)
        for fd in reading:
            poller.register(fd, select.POLLIN)
        pending = memoryview(stdin_data or b"")
        if in_w is not None:
            os.set_blocking(in_w, False)
            if pending:
                poller.register(in_w, select.POLLOUT)
            else:
                opened.remove(in_w)
                os.close(in_w)
                in_w = None
        try:
            pidfd = os.pidfd_open(pid)
        except (AttributeError, OSError):
            pass
        else:
            poller.register(pidfd, select.POLLIN)

        deadline = started + timeout
        exited_at = None
        while True:
            if returncode is None:
                returncode = reap(os.WNOHANG)
                if returncode is not None and pidfd is not None:
                    poller.unregister(pidfd)
            if returncode is not None and not reading:
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
            wait = deadline - now
            if returncode is not None:
                wait = min(wait, exited_at + EXIT_GRACE - now)
            elif pidfd is None:
                wait = min(wait, 0.05)
            for fd, _events in poller.poll(max(1, int(wait * 1000) + 1)):
                if fd == pidfd:
                    continue
                if fd == in_w:
                    try:
                        written = os.write(fd, pending)
                        pending = pending[written:]
                    except BlockingIOError:
                        continue
                    except OSError:      # the command stopped reading
                        pending = pending[:0]
                    if not pending:
                        poller.unregister(fd)
                        os.close(fd)
                        opened.remove(fd)
                        in_w = None
                else:
                    read_ready(fd)
        if timed_out:
            _sandbox.kill_group(pid)
            if returncode is None:
                returncode = reap(0)
            stop = time.monotonic() + DRAIN_AFTER_KILL
            while reading:
                left = stop - time.monotonic()
                if left <= 0:
                    break
                for fd, _events in poller.poll(int(left * 1000) + 1):
                    if fd in reading:
                        read_ready(fd)
    finally:
        if pid is not None and returncode is None:      # only on an unexpected error above
            _sandbox.kill_group(pid)
            returncode = reap(0)
        with quit_guard():
            _running = None
        for fd in opened:
            try:
                os.close(fd)
            except OSError:
                pass
        if pidfd is not None:
            os.close(pidfd)
    duration = time.monotonic() - started
    report_bytes = b"".join(rep.bytes_kept()[:2]) if rep_r is not None else None
    return returncode, (out, err), timed_out, lingering, duration, report_bytes


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
    root = os.getcwd()
    cwd = get_arg(command, "cwd", str, None)
    if cwd is not None:
        cwd = os.path.join(root, cwd)
        if not os.path.isdir(cwd):
            raise NotADirectoryError(f"'cwd' is not a directory: {command['cwd']}")
    else:
        cwd = root
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
    mode = _sandbox.mode(command)
    _find_program(argv[0], cwd, env)

    tmp = None
    helper = os.access(SANDBOX, os.X_OK)
    if mode is not False and not helper:
        if mode == "required":
            raise FileNotFoundError(2, "the sandbox helper is not installed", SANDBOX)
        sandbox = _sandbox.NOT_INSTALLED
    else:
        sandbox = None
    try:
        if mode is not False and helper:
            tmp = _sandbox.private_tmp()
            options = _sandbox.options(command, mode, root, tmp)
            env["TMPDIR"] = env["TMP"] = env["TEMP"] = tmp
            outcome = run(lambda fds, rep: _spawn_helper(options, argv, cwd, env, fds, rep),
                          timeout, stdin_data, report=True)
        elif helper:
            outcome = run(lambda fds, rep: _spawn_helper(["--unconfined"], argv, cwd, env, fds, None),
                          timeout, stdin_data, report=False)
        else:
            outcome = run(lambda fds, rep: _spawn_plain(argv, cwd, env, fds),
                          timeout, stdin_data, report=False)
    finally:
        if tmp is not None:
            _sandbox.remove_tree(tmp)
    returncode, (out, err), timed_out, lingering, duration, report = outcome
    if report is not None:
        sandbox, _error = _sandbox.report(report)   # the error line is on stderr too

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
        import signal
        try:
            result["signal"] = signal.Signals(-returncode).name
        except ValueError:
            result["signal"] = str(-returncode)
    if lingering:
        result["note"] = ("the command exited but background processes kept its output open; "
                          f"output after {EXIT_GRACE}s was not collected")
    if sandbox is not None:
        result["sandbox"] = sandbox

    if mode == "required" and sandbox is not None and not sandbox.get("complete"):
        return failure(_sandbox.incomplete(sandbox), result)
    if timed_out:
        return failure(f"Command timed out after {_format_seconds(timeout)}s", result)
    if returncode == 0:
        return success(result)
    if returncode < 0:
        return failure(f"Command killed by signal {result['signal']}", result)
    return failure(f"Command exited with code {returncode}", result)


def main() -> None:
    serve(handle, on_interrupt=_interrupt, on_exit=_sandbox.on_exit)
