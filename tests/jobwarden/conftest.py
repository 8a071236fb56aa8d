"""Fixture worker scripts and checks shared by the WorkerProcess and pool tests.

Every script below is written into a per-test folder and run as a real child
process under this interpreter.  Apart from the special cases, they speak the
line protocol: one JSON command per line on stdin, one answer line on stdout,
exit on the quit line.
"""

from __future__ import annotations

import logging
import os
import signal
import textwrap
import time
from pathlib import Path

import pytest

from tovana.core import jobwarden as jw

# Under `make test SANITIZE=1` the sanitizer runtimes are preloaded into this
# interpreter, which has loaded them already.  The worker children run no
# instrumented code, and the commands they run under the sandbox's
# address-space limit could not even start with the sanitizer runtime.
os.environ.pop("LD_PRELOAD", None)

LOGGER = "tovana.subprocess"

_PRELUDE = textwrap.dedent(
    """\
    import json, os, sys, time

    IN = sys.stdin.buffer
    OUT = sys.stdout.buffer
    ERR = sys.stderr.buffer
    QUIT = b'{"action": "quit"}\\n'
    RECORD = os.environ.get("JW_RECORD")


    def record(line):
        if RECORD:
            with open(RECORD, "ab") as f:
                f.write(line)


    def answer(obj):
        OUT.write(json.dumps(obj).encode() + b"\\n")
        OUT.flush()


    def commands():
        # Yields each command line; returns on the quit line or at the end of stdin.
        for line in IN:
            record(line)
            if line == QUIT:
                return
            yield line
    """
)

# name -> body, run after the prelude.
SCRIPTS = {
    # Answers {"success": true, "result": <command>, "raw": <line as received>}.
    "echo": """
        for line in commands():
            answer({"success": True, "result": json.loads(line), "raw": line.decode("latin-1")})
    """,
    # Acts on the command's keys, in this order: "stderr" (latin-1 text
    # written to stderr), "flood" (that many bytes written to stderr), "sleep" (seconds),
    # "exit" (exit code, without answering), "raw" (latin-1 text written to
    # stdout instead of an answer), "answer" (the JSON answer to give);
    # without "raw" or "answer" it answers {"success": true, "result": <command>}.
    "scripted": """
        for line in commands():
            cmd = json.loads(line)
            if "stderr" in cmd:
                ERR.write(cmd["stderr"].encode("latin-1")); ERR.flush()
            if "flood" in cmd:
                ERR.write(b"e" * cmd["flood"]); ERR.flush()
            if "sleep" in cmd:
                time.sleep(cmd["sleep"])
            if "exit" in cmd:
                os._exit(cmd["exit"])
            if "raw" in cmd:
                OUT.write(cmd["raw"].encode("latin-1")); OUT.flush()
            elif "answer" in cmd:
                answer(cmd["answer"])
            else:
                answer({"success": True, "result": cmd})
    """,
    # Never answers; exits on the quit line.
    "silent": """
        for line in commands():
            pass
    """,
    # Writes to stderr and exits without answering.
    "crasher": """
        for line in commands():
            ERR.write(b"boom: bad command\\n"); ERR.flush()
            sys.exit(3)
    """,
    # Writes a line to stderr, then answers.
    "stderr_writer": """
        for line in commands():
            ERR.write(b"warning: noisy worker\\n"); ERR.flush()
            answer({"success": True, "result": "ok"})
    """,
    # 1 MB to stderr before it answers; a command {"die": true} ends it with
    # a marker on stderr instead of an answer.
    "flooder": """
        for line in commands():
            ERR.write(b"x" * (1 << 20)); ERR.flush()
            if json.loads(line).get("die"):
                ERR.write(b"<end of complaint>\\n"); ERR.flush()
                os._exit(1)
            answer({"success": True, "result": "after flood"})
    """,
    # Answers commands but ignores the quit line (and the end of stdin).
    "quit_ignorer": """
        for line in IN:
            record(line)
            if line != QUIT:
                answer({"success": True, "result": "still here"})
        while True:
            time.sleep(60)
    """,
    # Answers the first command without a final line feed and exits.
    "answer_then_exit": """
        for line in commands():
            OUT.write(b'{"success": true, "result": "bye"}'); OUT.flush()
            os._exit(0)
    """,
    # Answers the first command and exits at once (with the line feed).
    "one_shot": """
        for line in commands():
            answer({"success": True, "result": "done"})
            os._exit(0)
    """,
    # Answers with the JSON literal null / an array.
    "null_answer": """
        for line in commands():
            OUT.write(b"null\\n"); OUT.flush()
    """,
    "array_answer": """
        for line in commands():
            OUT.write(b"[1, 2]\\n"); OUT.flush()
    """,
    # Answers with bytes that are not UTF-8.
    "bad_utf8": """
        for line in commands():
            OUT.write(b'{"a": "\\xff\\xfe"}\\n'); OUT.flush()
    """,
    # Answers with one line longer than 64 KiB.
    "long_line": """
        for line in commands():
            answer({"success": True, "result": "a" * 70000})
    """,
    # Answers with its environment / its working directory and interpreter.
    "env_printer": """
        for line in commands():
            answer({"success": True, "result": dict(os.environ)})
    """,
    "cwd_printer": """
        for line in commands():
            answer({"success": True, "result": {"cwd": os.getcwd(), "exe": sys.executable,
                                                "argv0": sys.orig_argv[0], "argv": sys.argv}})
    """,
    # Closes stdout without answering but keeps stderr open until the quit line.
    "closes_stdout": """
        for line in commands():
            ERR.write(b"partial complaint\\n"); ERR.flush()
            sys.stdout.flush()
            os.close(1)
    """,
    # Answers, then closes its stdin and lingers (its input pipe is broken).
    "closes_stdin": """
        line = IN.readline()
        answer({"success": True, "result": "closing stdin"})
        os.close(0)
        time.sleep(30)
    """,
    # Starts a grandchild that keeps stderr open, answers with its pid and
    # exits on the quit line (the grandchild stays until it is killed).
    "stderr_holder": """
        import subprocess
        holder = subprocess.Popen(["sleep", "30"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        for line in commands():
            answer({"success": True, "result": holder.pid})
    """,
    # Hangs at start-up: never reads its input.
    "deaf": """
        time.sleep(60)
    """,
    # On the quit line: sleeps a little, then exits.
    "slow_quitter": """
        for line in commands():
            pass
        time.sleep(0.4)
    """,
}


def script_source(name: str) -> str:
    return _PRELUDE + textwrap.dedent(SCRIPTS[name])


class ScriptDir:
    """Writes fixture scripts into one folder of the test's tmp_path."""

    def __init__(self, base: Path):
        self.base = base
        self._n = 0

    def write(self, name: str, as_name: str | None = None, folder: Path | None = None) -> Path:
        folder = folder or self.base
        folder.mkdir(parents=True, exist_ok=True)
        path = folder / (as_name or f"{name}.py")
        path.write_text(script_source(name))
        return path

    def pool_dir(self, **types: str) -> Path:
        """A fresh scripts folder: worker type -> fixture name."""
        self._n += 1
        folder = self.base / f"pool{self._n}"
        folder.mkdir(parents=True)
        for worker_type, name in types.items():
            self.write(name, f"{worker_type}_worker.py", folder)
        return folder

    def pool(self, *args, types: dict[str, str] | None = None, **kwargs) -> jw.Jobwarden:
        """A Jobwarden whose scripts folder holds the given fixtures."""
        pool = jw.Jobwarden(*args, **kwargs)
        pool.WORKER_SCRIPTS_DIR = self.pool_dir(**({"shell": "scripted"} if types is None else types))
        return pool


@pytest.fixture
def scripts(tmp_path):
    return ScriptDir(tmp_path / "scripts")


@pytest.fixture
def temp_root(tmp_path, monkeypatch):
    """Pools create their temporary directories inside the test's tmp_path."""
    import tempfile

    folder = tmp_path / "tmp"
    folder.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(folder))
    return folder


def _children() -> dict[int, str]:
    """pid -> state letter of every child process of this process."""
    me = os.getpid()
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as f:
                stat = f.read().decode("latin-1")
        except OSError:
            continue
        # pid (comm) state ppid ...: comm may hold spaces and parentheses.
        rest = stat[stat.rindex(")") + 2:].split()
        if int(rest[1]) == me:
            found[int(entry)] = rest[0]
    return found


@pytest.fixture
def no_stray_children():
    """Fails the test if a child process (running or zombie) outlives it."""
    before = set(_children())
    yield
    deadline = time.monotonic() + 2.0
    while True:
        left = {pid: st for pid, st in _children().items() if pid not in before}
        if not left or time.monotonic() > deadline:
            break
        time.sleep(0.02)
    for pid in left:
        try:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        except (ProcessLookupError, ChildProcessError):
            pass
    assert not left, f"child processes left behind: {left}"


@pytest.fixture
def logs(caplog):
    """caplog at debug level on the module's logger; .lines() gives (level, text)."""
    caplog.set_level(logging.DEBUG, logger=LOGGER)

    class Logs:
        records = property(lambda self: [r for r in caplog.records if r.name == LOGGER])

        def lines(self):
            return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == LOGGER]

        def clear(self):
            caplog.clear()

    return Logs()
