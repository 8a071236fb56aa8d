"""Line protocol shared by the worker scripts.

A worker reads one JSON object per line on standard input and writes exactly
one answer line to standard output for each:

    {"success": <bool>, "result": <any JSON>, "error": <str or null>}

followed by a line feed.  Nothing else ever reaches standard output: at
start-up the real standard output is moved to a private descriptor that only
answers use, file descriptor 1 is pointed at standard error (so stray writes
of C code or of inherited child processes land there), ``sys.stdout`` and
``sys.stderr`` become a budgeted writer on standard error, and standard input
is replaced by the null device so user code cannot swallow command lines.

Rules of the loop:

* the line ``{"action": "quit"}`` (an object with exactly that one entry)
  ends the worker with exit status 0, without an answer;
* end of input ends the worker with exit status 0;
* both take effect at once, even while a command runs: standard input is
  read by a background thread, which hands commands to the main loop in
  order (commands that arrive while one runs wait their turn) and, on quit
  or end of input during a command, runs the worker's interrupt hook (say,
  to kill a child process group) and exits with status 0; the interrupted
  command gets no answer and commands still waiting are dropped;
* blank lines are skipped without an answer;
* a line that is not UTF-8, not JSON or not a JSON object gets an error
  answer and the worker goes on;
* an exception raised while handling a command becomes the error answer
  ``"<ExceptionType>: <text>"``.

Every answer line, line feed included, is at most ``MAX_LINE_BYTES`` bytes
(the reader on the other end refuses longer lines).  Answers are encoded as
ASCII-only JSON, so characters and bytes count the same.  Workers cut their
own large text fields to ``TEXT_BUDGET``; whatever is still too large is cut
here (see ``encode_answer``), and if even that fails the answer becomes an
error saying the result was too large.
"""

from __future__ import annotations

import io
import json
import os
import sys
# The low-level modules: threading and queue would cost every worker start
# more than all the rest of this module.
from _queue import SimpleQueue
from _thread import allocate_lock, start_new_thread

MAX_LINE_BYTES = 65536
"""Largest answer line in bytes, including the final line feed."""

TEXT_BUDGET = 60000
"""Encoded bytes that a worker may spend on the large text fields of one answer."""

STDERR_BUDGET = 48 * 1024
"""Diagnostic bytes written to standard error before further output is dropped.

The process that reads a worker's standard error may not drain it while the
worker runs; staying below the usual pipe capacity keeps a chatty tool from
blocking the worker forever.
"""

QUIT_COMMAND = {"action": "quit"}

_MIN_CUT = 256          # smallest share worth giving to one string when cutting
_FLAG_ROOM = 512        # room kept free for cut flags


# ---------------------------------------------------------------------------
# answers


def success(result=None) -> dict:
    """A successful answer carrying ``result``."""
    return {"success": True, "result": result, "error": None}


def failure(error: str, result=None) -> dict:
    """A failed answer with the text ``error`` and an optional ``result``."""
    return {"success": False, "result": result, "error": error}


def describe(exc: BaseException) -> str:
    """``"<ExceptionType>: <text>"`` (just the type name when there is no text)."""
    text = str(exc)
    name = type(exc).__name__
    return f"{name}: {text}" if text else name


# ---------------------------------------------------------------------------
# command arguments

_MISSING = object()


def _type_label(types) -> str:
    names = {str: "a string", int: "an integer", float: "a number", bool: "a boolean",
             dict: "an object", list: "a list", type(None): "null"}
    if not isinstance(types, tuple):
        types = (types,)
    labels = []
    for t in types:
        label = names.get(t, t.__name__)
        if label not in labels:
            labels.append(label)
    return " or ".join(labels)


def _type_name(value) -> str:
    return "null" if value is None else type(value).__name__


def get_arg(command: dict, key: str, types, default=_MISSING):
    """Read ``command[key]``, checking its type.

    A missing key (or null, when null is not an accepted type) gives
    ``default``; without a default it is an error.  ``bool`` is never taken
    for a number.
    """
    if not isinstance(types, tuple):
        types = (types,)
    value = command.get(key, None)
    if value is None and type(None) not in types:
        if default is _MISSING:
            raise ValueError(f"missing required key '{key}'")
        return default
    if isinstance(value, bool) and bool not in types:
        ok = False
    else:
        ok = isinstance(value, types)
    if not ok:
        raise TypeError(f"'{key}' must be {_type_label(types)}, not {_type_name(value)}")
    return value


def get_number(command: dict, key: str, default=_MISSING, *, minimum=None, integer=False):
    """Read a number (an integer when ``integer``), not smaller than ``minimum``."""
    value = get_arg(command, key, int if integer else (int, float), default)
    if value is default:
        return value
    if value != value or value in (float("inf"), float("-inf")):
        raise ValueError(f"'{key}' must be a finite number")
    if minimum is not None and value < minimum:
        raise ValueError(f"'{key}' must be at least {minimum}, not {value}")
    return value


# ---------------------------------------------------------------------------
# measuring and cutting text in its encoded form


def json_size(value) -> int:
    """Bytes that ``value`` takes as ASCII-only JSON."""
    return len(json.dumps(value, ensure_ascii=True))


def _char_cost(ch: str) -> int:
    code = ord(ch)
    if 0x20 <= code <= 0x7E:
        return 2 if ch in '"\\' else 1
    if ch in "\n\r\t\b\f":
        return 2
    return 6 if code < 0x10000 else 12


def fit_prefix(text: str, max_bytes: int) -> int:
    """Number of leading characters of ``text`` whose JSON escapes fit in ``max_bytes``."""
    used = 0
    for index, ch in enumerate(text):
        used += _char_cost(ch)
        if used > max_bytes:
            return index
    return len(text)


def fit_suffix(text: str, max_bytes: int) -> int:
    """Number of trailing characters of ``text`` whose JSON escapes fit in ``max_bytes``."""
    used = 0
    count = 0
    for ch in reversed(text):
        used += _char_cost(ch)
        if used > max_bytes:
            break
        count += 1
    return count


def clip_text(text: str, max_bytes: int, keep: str = "head"):
    """Cut ``text`` so that its JSON string form (quotes excluded) fits ``max_bytes``.

    ``keep`` is ``"head"`` (keep the beginning) or ``"both"`` (keep the
    beginning and the end, cutting the middle).  A marker saying how many
    characters were cut replaces the removed part.  Returns the text and the
    number of characters removed (0 when nothing was cut).
    """
    if json_size(text) - 2 <= max_bytes:
        return text, 0
    room = max(0, max_bytes - 64)   # what the marker may need
    if keep == "both":
        head = fit_prefix(text, room // 2)
        spent = json_size(text[:head]) - 2
        tail = fit_suffix(text[head:], room - spent)
        omitted = len(text) - head - tail
        return (text[:head] + f"\n[... {omitted} characters cut ...]\n"
                + text[len(text) - tail:]), omitted
    head = fit_prefix(text, room)
    omitted = len(text) - head
    return text[:head] + f"\n[... {omitted} more characters cut]", omitted


def share_budget(sizes, budget: int) -> list:
    """Split ``budget`` among items of the given sizes as evenly as possible.

    Items smaller than an even share keep their size; the rest share what is
    left equally.  Returns one allowance per item.
    """
    order = sorted(range(len(sizes)), key=lambda i: sizes[i])
    caps = [0] * len(sizes)
    left = max(0, budget)
    for position, index in enumerate(order):
        share = left // (len(order) - position)
        caps[index] = min(sizes[index], share)
        left -= caps[index]
    return caps


# ---------------------------------------------------------------------------
# fitting whole answers into one line


class _CutState:
    def __init__(self):
        self.cut = False


def _fit(value, budget: int, state: _CutState, flags_here: bool = True):
    """Return ``value`` reduced to about ``budget`` encoded bytes, and cut info.

    Strings lose their middle; lists keep a prefix of their items (lists of a
    few long strings share the budget instead); objects share the budget
    among their values, small values first.  Numbers, booleans and null are
    never changed.  The cut info returned for a string or list tells its
    parent object which flags to set beside it.
    """
    size = json_size(value)
    if size <= budget:
        return value, None
    if isinstance(value, str):
        state.cut = True
        text, _omitted = clip_text(value, max(budget - 2, _MIN_CUT // 2), keep="both")
        return text, {"truncated": True, "length": len(value)}
    if isinstance(value, dict):
        keys = list(value)
        sizes = [json_size(value[k]) for k in keys]
        room = budget - 2 - sum(json_size(k) + 4 for k in keys)
        allowances = share_budget(sizes, room)
        if flags_here:
            cuts = sum(1 for s, a in zip(sizes, allowances) if a < s)
            allowances = share_budget(sizes, room - 80 * cuts)
        fitted, flags = {}, {}
        for key, allowance in zip(keys, allowances):
            fitted[key], info = _fit(value[key], allowance, state)
            if info and flags_here:
                for name, flag in info.items():
                    flags[f"{key}_{name}"] = flag
        fitted.update(flags)
        return fitted, None
    if isinstance(value, list):
        room = budget - 2 - 2 * len(value)
        if value and all(isinstance(v, str) for v in value) and room // len(value) >= _MIN_CUT:
            allowances = share_budget([json_size(v) for v in value], room)
            return [_fit(v, a, state)[0] for v, a in zip(value, allowances)], None
        state.cut = True
        kept, used = [], 2
        for item in value:
            used += json_size(item) + 2
            if used > budget:
                break
            kept.append(item)
        if not kept and value:
            kept.append(_fit(value[0], budget - 4, state)[0])
        return kept, {"truncated": True, "count": len(value)}
    return value, None


def _dumps(answer) -> str:
    return json.dumps(answer, ensure_ascii=True)


def encode_answer(answer: dict) -> bytes:
    """Encode ``answer`` as one line of at most ``MAX_LINE_BYTES`` bytes.

    A value that cannot be written as JSON turns the answer into an error
    naming the offending type.  A line that is too long is cut (see
    ``_fit``): the budget is shared among the values of each object, strings
    lose their middle (a marker tells how many characters went) and lists
    their tail.  A cut string or list that sits in an object gets
    ``<key>_truncated: true`` plus ``<key>_length`` (characters) or
    ``<key>_count`` (items) beside it, and a result object gets
    ``truncated: true``.  If the line still does not fit, the answer becomes
    an error saying that the result was too large.
    """
    limit = MAX_LINE_BYTES - 1
    try:
        text = _dumps(answer)
    except (TypeError, ValueError, RecursionError) as exc:
        text = _dumps(failure(f"{type(exc).__name__}: answer is not JSON-serializable: {exc}"))
    if len(text) <= limit:
        return text.encode("ascii") + b"\n"
    original_size = len(text)
    try:
        work = json.loads(text)
    except RecursionError:
        work = None
    fitted = None
    budget = limit - _FLAG_ROOM
    for attempt in range(6):
        if not isinstance(work, dict):
            break
        try:
            state = _CutState()
            shrunk, _info = _fit(work, budget, state, flags_here=False)
            if state.cut and isinstance(shrunk.get("result"), dict):
                shrunk["result"]["truncated"] = True
            text = _dumps(shrunk)
        except RecursionError:
            break
        if len(text) <= limit:
            fitted = text
            break
        budget -= len(text) - limit + _FLAG_ROOM * (attempt + 1)
    if fitted is None:
        fitted = _dumps(failure(
            f"ValueError: result too large: the answer takes {original_size} bytes and "
            f"could not be cut below the {MAX_LINE_BYTES}-byte line limit"))
    return fitted.encode("ascii") + b"\n"


# ---------------------------------------------------------------------------
# standard streams


class _BinarySink(io.RawIOBase):
    def __init__(self, owner):
        self._owner = owner

    def writable(self):
        return True

    def write(self, data):
        data = bytes(data)
        self._owner.write_bytes(data)
        return len(data)

    def fileno(self):
        return self._owner.fileno()


class _StderrSink(io.TextIOBase):
    """Text writer on standard error with a total byte budget.

    Used as both ``sys.stdout`` and ``sys.stderr`` of a worker; what is
    written beyond the budget is dropped (with one note saying so).
    """

    _NOTE = b"\n[worker: further diagnostic output dropped]\n"

    def __init__(self, fd: int, budget: int):
        super().__init__()
        self._fd = fd
        self._left = budget - len(self._NOTE)
        self._noted = False
        self.buffer = _BinarySink(self)

    @property
    def encoding(self):
        return "utf-8"

    @property
    def errors(self):
        return "backslashreplace"

    def writable(self):
        return True

    def isatty(self):
        return False

    def fileno(self):
        return self._fd

    def flush(self):
        pass

    def write(self, text):
        if not isinstance(text, str):
            raise TypeError(f"write() argument must be str, not {type(text).__name__}")
        self.write_bytes(text.encode("utf-8", "backslashreplace"))
        return len(text)

    def write_bytes(self, data: bytes) -> None:
        if len(data) > self._left:
            data = data[:max(0, self._left)]
            if not self._noted:
                self._noted = True
                data += self._NOTE
        self._left -= len(data)
        view = memoryview(data)
        try:
            while view:
                written = os.write(self._fd, view)
                view = view[written:]
        except OSError:
            pass


def _take_over_streams():
    """Keep the real standard output for answers and standard input for commands.

    Returns the command reader (binary) and the descriptor for answers.
    """
    answer_fd = os.dup(1)       # not inheritable: child processes never see it
    command_fd = os.dup(0)
    os.dup2(2, 1)               # stray writes to descriptor 1 end up on standard error
    null_fd = os.open(os.devnull, os.O_RDONLY)
    os.dup2(null_fd, 0)         # user code and children cannot read the commands
    os.close(null_fd)
    sink = _StderrSink(2, STDERR_BUDGET)
    sys.stdout = sink
    sys.stderr = sink
    sys.stdin = open(os.devnull, "r", encoding="utf-8")
    return os.fdopen(command_fd, "rb"), answer_fd


def diagnostic(text: str) -> None:
    """Write one line of diagnostics to standard error."""
    sys.stderr.write(text.rstrip("\n") + "\n")


def _write_answer(fd: int, line: bytes) -> None:
    view = memoryview(line)
    try:
        while view:
            written = os.write(fd, view)
            view = view[written:]
    except OSError as exc:
        diagnostic(f"worker: cannot write the answer ({exc}); exiting")
        os._exit(1)


def _parse(line: bytes):
    """Return (command, None) or (None, error text)."""
    try:
        text = line.decode("utf-8")
    except UnicodeDecodeError as exc:
        return None, f"ValueError: command line is not valid UTF-8: {exc}"
    try:
        command = json.loads(text)
    except (ValueError, RecursionError) as exc:
        return None, f"ValueError: command line is not valid JSON: {exc}"
    if not isinstance(command, dict):
        return None, f"TypeError: command must be a JSON object, not {_type_name(command)}"
    return command, None


def handle_safely(handler, command: dict) -> dict:
    """Run ``handler(command)``; any exception becomes an error answer."""
    try:
        answer = handler(command)
    except (Exception, SystemExit) as exc:
        return failure(describe(exc))
    if not isinstance(answer, dict) or "success" not in answer:
        return success(answer)
    return answer


# ---------------------------------------------------------------------------
# the command loop


class _Session:
    """What the reader thread and the main loop share.

    ``lock`` guards ``busy`` (a command is being handled) and ``quitting``
    (quit or end of input was seen).  The reader ends the process only while
    holding ``lock`` and only when ``busy``; the main loop clears ``busy``
    before it writes an answer, so an answer line is never cut in half.
    """

    def __init__(self):
        self.lock = allocate_lock()
        self.busy = False
        self.quitting = False
        self.fds = ()           # descriptors of the command and answer streams
        self.items = SimpleQueue()


_session = _Session()


def quit_guard():
    """Lock that keeps a quit from taking effect while it is held.

    A worker holds it (``with quit_guard(): ...``) while it starts a child
    process and records it for its interrupt hook, so the hook never misses
    a child that was just started.  Never hold it for long, and never inside
    the interrupt hook (which already runs under it).
    """
    return _session.lock


def close_streams() -> None:
    """In a child forked from the worker: close the command and answer streams.

    They belong to the worker alone; code the child runs can then neither
    read the worker's commands nor write lines among its answers.
    """
    for fd in _session.fds:
        try:
            os.close(fd)
        except OSError:
            pass


def _call_hooks(*hooks) -> None:
    """Call the hooks given (None: none), reporting a failure and going on."""
    for hook in hooks:
        if hook is not None:
            try:
                hook()
            except BaseException as exc:     # exiting anyway
                diagnostic(f"worker: exit hook failed: {describe(exc)}")


def _stop(session: _Session, on_interrupt, on_exit=None) -> None:
    """Quit or end of input seen: end now if busy, else wake the main loop."""
    with session.lock:
        session.quitting = True
        if session.busy:
            _call_hooks(on_interrupt, on_exit)
            os._exit(0)
    session.items.put(None)


def _read_commands(session: _Session, commands, on_interrupt, on_exit=None) -> None:
    """Body of the reader thread: parse lines and queue them for the main loop."""
    while True:
        try:
            line = commands.readline()
        except OSError as exc:
            diagnostic(f"worker: cannot read commands ({exc}); exiting")
            line = b""
        if not line:
            break
        if not line.strip():
            continue
        command, problem = _parse(line)
        if problem is None and command == QUIT_COMMAND:
            break
        session.items.put((command, problem))
    _stop(session, on_interrupt, on_exit)


def serve(handler, on_interrupt=None, on_exit=None) -> None:
    """Answer commands with ``handler`` until the quit line or end of input; exit 0.

    ``on_interrupt``, if given, is called from the reader thread (holding
    ``quit_guard()``) when quit or end of input arrives while ``handler``
    runs, just before the process exits; it should undo what the running
    command started and return quickly.  It must not write answers.
    ``on_exit``, if given, is called on every exit through quit or end of
    input (after ``on_interrupt`` when a command was running), from the
    thread that ends the process; it too must return quickly.
    """
    session = _session
    commands, answer_fd = _take_over_streams()
    session.fds = (commands.fileno(), answer_fd)
    # A bare thread: nothing joins it, and the process ends with os._exit.
    start_new_thread(_read_commands, (session, commands, on_interrupt, on_exit))
    while True:
        item = session.items.get()
        if item is None:
            break
        command, problem = item
        with session.lock:
            if session.quitting:
                break
            session.busy = problem is None
        if problem is not None:
            answer = failure(problem)
        else:
            try:
                answer = handle_safely(handler, command)
            finally:
                with session.lock:
                    session.busy = False
        _write_answer(answer_fd, encode_answer(answer))
    _call_hooks(on_exit)
    # Exit at once, even if user code left threads behind.
    os._exit(0)
