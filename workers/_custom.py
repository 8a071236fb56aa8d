"""Worker that runs a tool written at run time.

Command keys:
    source     Python source defining ``run(args)`` (may be ``async def``); required
    args       any JSON value passed to ``run`` (default {})
    tool_name  name used in tracebacks (default "tool"); ``name`` is accepted too

The source is executed in a fresh namespace, then ``run(args)`` is called
(a coroutine it returns is run to completion).  Its return value is the
answer's result and must be JSON-serialisable.  An exception raised by the
tool becomes an error answer whose text is the traceback's last line
(``"ValueError: ..."``) and whose result holds the full traceback.  The
tool's ``print()`` output and anything else written to standard output goes
to standard error, never into the answer stream; standard input reads as
empty.  The tool has no time limit of its own beyond the task's time-out:
the quit line (or end of input) that arrives while it runs ends the worker
process at once, without an answer.

Confinement (the keys ``sandbox``, ``network``, ``writable``, ``limits`` of
_sandbox.py): by default each command runs in a child forked for it, which
confines itself through ``libtovana-sandbox.so`` before any tool code runs
and then runs the tool as above; being single-threaded when it confines
itself, every thread the tool starts is confined too.  Its answer's result
is then ``{"value": <what run returned>, "sandbox": <what was applied>}``
(for an error, the ``sandbox`` key is added to the result).  TMPDIR, TMP and
TEMP point at a private temporary folder, removed afterwards.  The child
runs in its own process group; the quit line or end of input kills the
group of every command the worker ran.  ``"sandbox": false`` runs the tool
in the worker process itself, unconfined, with the plain result.
"""

from __future__ import annotations

import builtins
import json
import linecache
import os
import sys
from types import CoroutineType

import _sandbox
from _protocol import close_streams, describe, failure, get_arg, quit_guard, serve, success

# asyncio and traceback are imported only by the tools that need them: a
# plain ``def run`` never pays for them at start-up.


def _traceback_text(exc: BaseException) -> str:
    """Traceback of ``exc`` without this worker's own frame."""
    import traceback
    tb = exc.__traceback__
    if tb is not None and tb.tb_frame.f_code is run_tool.__code__:
        tb = tb.tb_next
    return "".join(traceback.format_exception(type(exc), exc, tb))


def run_tool(command: dict) -> dict:
    """Compile and run the tool in this process; its answer."""
    source = get_arg(command, "source", str)
    args = command.get("args", {})
    tool_name = get_arg(command, "tool_name", str, None) or get_arg(command, "name", str, None) or "tool"
    filename = f"<tool {tool_name}>"

    try:
        code = compile(source, filename, "exec")
    except SyntaxError as exc:
        return failure(f"SyntaxError: {exc.msg} (line {exc.lineno})",
                       {"line": exc.lineno, "column": exc.offset,
                        "text": (exc.text or "").rstrip("\n") or None})
    # Make the tool's own lines appear in its tracebacks.
    linecache.cache[filename] = (len(source), None, source.splitlines(True), filename)

    namespace = {"__name__": "__tool__", "__builtins__": builtins, "__file__": filename}
    try:
        exec(code, namespace)
        run = namespace.get("run")
        if not callable(run):
            return failure("NameError: the tool source does not define a callable run(args)")
        value = run(args)
        if isinstance(value, CoroutineType):
            import asyncio
            value = asyncio.run(value)
    except (Exception, SystemExit) as exc:
        return failure(describe(exc), {"traceback": _traceback_text(exc)})

    try:
        json.dumps(value, ensure_ascii=True)
    except (TypeError, ValueError, RecursionError) as exc:
        return failure(f"TypeError: run() returned a value that is not JSON-serializable "
                       f"({type(value).__name__}): {exc}")
    return success(value)


# ---------------------------------------------------------------------------
# the confined child

_library = None              # the confinement library, loaded on first use


def _load_library():
    """``tovana_sandbox_confine`` and a maker of its argument array.

    Built on ``_ctypes`` directly: importing the ``ctypes`` package would
    cost every confined tool several milliseconds more.
    """
    import _ctypes

    class Int(_ctypes._SimpleCData):
        _type_ = "i"

    class CharP(_ctypes._SimpleCData):
        _type_ = "z"

    class Function(_ctypes.CFuncPtr):
        _flags_ = _ctypes.FUNCFLAG_CDECL
        _restype_ = Int

    class Library:
        _handle = _ctypes.dlopen(_sandbox.LIBRARY, os.RTLD_NOW | os.RTLD_LOCAL)

    def argv(words):
        array = type("Argv", (_ctypes.Array,), {"_type_": CharP, "_length_": len(words)})
        return array(*words)

    return Function(("tovana_sandbox_confine", Library)), argv


def _confine_arguments(options: list):
    global _library
    if _library is None:
        _library = _load_library()
    confine, argv = _library
    words = [b"tovana-sandbox"] + [os.fsencode(word) for word in options]
    return confine, len(words), argv(words)


def _read_all(fd: int) -> bytes:
    chunks = []
    while True:
        try:
            data = os.read(fd, 1 << 16)
        except InterruptedError:
            continue
        if not data:
            return b"".join(chunks)
        chunks.append(data)


def _child(command, confine, report_w, result_w, tmp) -> None:
    """Body of the forked child: confine, run the tool, send its answer back."""
    status = 1
    try:
        os.setsid()
        close_streams()
        confine[0](confine[1], confine[2], report_w)        # exits 125/126 when it cannot
        for name in ("TMPDIR", "TMP", "TEMP"):
            os.environ[name] = tmp
        tempfile = sys.modules.get("tempfile")
        if tempfile is not None:
            tempfile.tempdir = None
        answer = run_tool(command)
        sink = sys.stderr           # its budget is the worker's: hand back what is left
        data = json.dumps([answer, getattr(sink, "_left", None), getattr(sink, "_noted", None)],
                          ensure_ascii=True).encode("ascii")
        view = memoryview(data)
        while view:
            view = view[os.write(result_w, view):]
        status = 0
    finally:
        os._exit(status)


def _run_confined(command: dict, mode) -> dict:
    if not os.access(_sandbox.LIBRARY, os.R_OK):
        if mode == "required":
            raise FileNotFoundError(2, "the sandbox library is not installed", _sandbox.LIBRARY)
        answer = run_tool(command)
        return _with_sandbox(answer, _sandbox.NOT_INSTALLED)
    tmp = _sandbox.private_tmp()
    opened = []                 # descriptors to close at the end
    pid = status = None
    try:
        options = _sandbox.options(command, mode, os.getcwd(), tmp)
        confine = _confine_arguments(options + ["--die-with", str(os.getpid())])
        report_r, report_w = os.pipe()
        opened += (report_r, report_w)
        result_r, result_w = os.pipe()
        opened += (result_r, result_w)
        with quit_guard():
            pid = os.fork()
            if pid == 0:
                os.close(report_r)
                os.close(result_r)
                _child(command, confine, report_w, result_w, tmp)
            _sandbox.add_group(pid)     # killed on quit, running or not
        for fd in (report_w, result_w):     # the child's ends: it has its own
            opened.remove(fd)
            os.close(fd)
        applied, error = _sandbox.report(_read_all(report_r))
        data = _read_all(result_r)
        _pid, status = os.waitpid(pid, 0)
    finally:
        for fd in opened:
            os.close(fd)
        if pid is not None and status is None:      # only on an unexpected error above
            _sandbox.kill_group(pid)
            os.waitpid(pid, 0)
        _sandbox.remove_tree(tmp)
    code = os.waitstatus_to_exitcode(status)
    if error is not None:
        if applied.get("complete") is False and "incomplete" in error:
            return failure(_sandbox.incomplete(applied), {"sandbox": applied})
        return failure(f"Sandbox could not be set up: {error}", {"sandbox": applied})
    if not data:
        how = f"killed by signal {-code}" if code < 0 else f"exited with code {code}"
        return failure(f"Tool process {how} without an answer", {"sandbox": applied})
    answer, left, noted = json.loads(data)
    sink = sys.stderr
    if left is not None and hasattr(sink, "_left"):
        sink._left, sink._noted = min(sink._left, left), sink._noted or noted
    return _with_sandbox(answer, applied)


def _with_sandbox(answer: dict, applied: dict) -> dict:
    if answer["success"]:
        answer["result"] = {"value": answer["result"], "sandbox": applied}
    elif isinstance(answer["result"], dict):
        answer["result"]["sandbox"] = applied
    else:
        answer["result"] = {"sandbox": applied}
    return answer


def handle(command: dict) -> dict:
    get_arg(command, "source", str)
    mode = _sandbox.mode(command)
    if mode is False:
        return run_tool(command)
    return _run_confined(command, mode)


def main() -> None:
    # The exit hook runs on every quit, a command running or not, and kills
    # the running child's group with the others: no interrupt hook is needed.
    serve(handle, on_exit=_sandbox.on_exit)
