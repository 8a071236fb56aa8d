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
process at once, without an answer (child processes the tool started are
not stopped).
"""

from __future__ import annotations

import builtins
import json
import linecache
from types import CoroutineType

from _protocol import describe, failure, get_arg, serve, success

# asyncio and traceback are imported only by the tools that need them: a
# plain ``def run`` never pays for them at start-up.


def _traceback_text(exc: BaseException) -> str:
    """Traceback of ``exc`` without this worker's own frame."""
    import traceback
    tb = exc.__traceback__
    if tb is not None and tb.tb_frame.f_code is handle.__code__:
        tb = tb.tb_next
    return "".join(traceback.format_exception(type(exc), exc, tb))


def handle(command: dict) -> dict:
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


def main() -> None:
    serve(handle)
