"""The worker scripts, each run as a real child process speaking its line protocol."""

from __future__ import annotations

import ctypes
import json
import os
import select
import socket
import subprocess
import sys
import sysconfig
import threading
import time
from pathlib import Path

import pytest

# The installed copies, with the sandbox helper beside them.
WORKERS = Path(os.environ.get("TOVANA_BUILD") or Path(__file__).resolve().parents[2] / "build") \
    / "pkg" / "tovana" / "workers"
SCRIPTS = {
    "shell": "shell_worker.py",
    "file_edit": "file_edit_worker.py",
    "code_analysis": "code_analysis_worker.py",
    "custom": "custom_worker.py",
}
LINE_LIMIT = 65536          # bytes of one answer line, line feed included
QUIT = b'{"action": "quit"}\n'


class Worker:
    """One worker child with pipes on stdin and stdout; stderr goes to a file."""

    def __init__(self, script: str, cwd: Path, stderr_path: Path):
        self.stderr_path = stderr_path
        self._stderr = open(stderr_path, "wb")
        self.proc = subprocess.Popen(
            [sys.executable, str(WORKERS / script)],
            cwd=cwd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self._stderr,
        )
        self._pending = b""

    def send_raw(self, data: bytes) -> None:
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def _read_some(self, deadline: float) -> bytes:
        fd = self.proc.stdout.fileno()
        left = deadline - time.monotonic()
        if left <= 0:
            raise AssertionError(f"worker gave no output in time; stderr: {self.stderr_text()!r}")
        ready, _, _ = select.select([fd], [], [], left)
        return os.read(fd, 1 << 16) if ready else None

    def read_line(self, timeout: float = 30.0) -> bytes:
        deadline = time.monotonic() + timeout
        while b"\n" not in self._pending:
            chunk = self._read_some(deadline)
            if chunk == b"":
                raise AssertionError(f"worker closed stdout; stderr: {self.stderr_text()!r}")
            if chunk:
                self._pending += chunk
        line, _, self._pending = self._pending.partition(b"\n")
        return line + b"\n"

    def read_rest(self, timeout: float = 10.0) -> bytes:
        """Everything still on stdout up to its end."""
        deadline = time.monotonic() + timeout
        data, self._pending = self._pending, b""
        while True:
            chunk = self._read_some(deadline)
            if chunk == b"":
                return data
            if chunk:
                data += chunk

    def ask_line(self, command: dict, timeout: float = 30.0) -> bytes:
        self.send_raw(json.dumps(command).encode("utf-8") + b"\n")
        line = self.read_line(timeout)
        assert len(line) <= LINE_LIMIT
        return line

    def ask(self, command: dict, timeout: float = 30.0) -> dict:
        return check_answer(self.ask_line(command, timeout))

    def quit(self, timeout: float = 10.0) -> int:
        self.send_raw(QUIT)
        return self.proc.wait(timeout)

    def stderr_text(self) -> str:
        self._stderr.flush()
        return self.stderr_path.read_text("utf-8", "replace")

    def kill(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(10)
        for pipe in (self.proc.stdin, self.proc.stdout):
            try:
                pipe.close()
            except OSError:
                pass
        self._stderr.close()


def check_answer(line: bytes) -> dict:
    """Parse one answer line and check its fixed shape."""
    assert line.endswith(b"\n") and line.count(b"\n") == 1
    answer = json.loads(line)
    assert list(answer) == ["success", "result", "error"]
    assert isinstance(answer["success"], bool)
    if answer["success"]:
        assert answer["error"] is None
    else:
        assert isinstance(answer["error"], str) and answer["error"]
    return answer


@pytest.fixture
def root(tmp_path: Path) -> Path:
    """The workers' working directory; tmp_path itself counts as outside."""
    folder = tmp_path / "root"
    folder.mkdir()
    return folder


@pytest.fixture
def start(tmp_path: Path, root: Path):
    """Start workers by type; every one still running is killed afterwards."""
    started = []

    def start_worker(kind: str) -> Worker:
        worker = Worker(SCRIPTS[kind], root, tmp_path / f"stderr-{len(started)}.txt")
        started.append(worker)
        return worker

    yield start_worker
    for worker in started:
        worker.kill()


def process_gone(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat", "rb") as handle:
            return handle.read().rsplit(b")", 1)[1].split()[0] == b"Z"
    except FileNotFoundError:
        return True
    except OSError:
        pass
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    return False


def group_members(pgid: int) -> list:
    """Live (not zombie) processes whose process group is ``pgid``."""
    members = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as handle:
                fields = handle.read().rsplit(b")", 1)[1].split()
        except OSError:
            continue
        if fields[0] != b"Z" and int(fields[2]) == pgid:
            members.append(int(entry))
    return members


def wait_for(condition, timeout: float = 10.0) -> bool:
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.02)
    return True


def read_pid_file(path: Path) -> int:
    """Wait for a pid file written whole (through a rename) and read it."""
    assert wait_for(path.exists), f"{path.name} was never written"
    return int(path.read_text())


def stop_while_busy(worker: Worker, how: str) -> float:
    """Send the quit line or close stdin; return seconds until the worker exited with 0."""
    began = time.monotonic()
    if how == "quit":
        worker.send_raw(QUIT)
    else:
        worker.proc.stdin.close()
    assert worker.proc.wait(10) == 0
    return time.monotonic() - began


STOP_WAYS = pytest.mark.parametrize("how", ["quit", "eof"])


# ---------------------------------------------------------------------------
# the line protocol, common to all workers

ALL_KINDS = pytest.mark.parametrize("kind", list(SCRIPTS))


@ALL_KINDS
def test_quit_line_ends_worker_at_once_with_status_0(start, kind):
    worker = start(kind)
    assert worker.quit() == 0
    assert worker.read_rest() == b""


@ALL_KINDS
def test_end_of_input_ends_worker_with_status_0(start, kind):
    worker = start(kind)
    worker.proc.stdin.close()
    assert worker.proc.wait(10) == 0
    assert worker.read_rest() == b""


@ALL_KINDS
def test_bad_lines_get_one_error_answer_each_and_worker_goes_on(start, kind):
    worker = start(kind)
    worker.send_raw(b"this is not json\n\n[1, 2]\n\xff\xfe{}\n\"text\"\n")
    errors = [check_answer(worker.read_line()) for _ in range(4)]
    assert all(not answer["success"] for answer in errors)
    assert "JSON" in errors[0]["error"]
    assert "object" in errors[1]["error"] and "list" in errors[1]["error"]
    assert "UTF-8" in errors[2]["error"]
    assert "str" in errors[3]["error"]
    # The blank line got no answer: after quitting nothing else is left.
    assert worker.quit() == 0
    assert worker.read_rest() == b""


@pytest.mark.parametrize("kind, key", [
    ("shell", "command"), ("file_edit", "action"), ("code_analysis", "path"), ("custom", "source"),
])
def test_command_without_its_main_key_is_an_error_answer(start, kind, key):
    worker = start(kind)
    answer = worker.ask({"unrelated": 1})
    assert answer["success"] is False and answer["result"] is None
    assert answer["error"].split(":")[0] in {"ValueError", "TypeError"}
    assert key in answer["error"]
    # Still alive and answering.
    assert worker.ask({"unrelated": 2})["success"] is False


def test_only_the_exact_quit_object_ends_a_worker(start):
    worker = start("file_edit")
    answer = worker.ask({"action": "quit", "path": "x"})
    assert answer["success"] is False and "unknown action" in answer["error"]
    assert worker.proc.poll() is None
    assert worker.quit() == 0


@pytest.mark.parametrize("kind", ["shell", "custom"])
def test_commands_sent_back_to_back_are_answered_in_order(start, kind):
    worker = start(kind)
    if kind == "shell":
        first = {"command": "sleep 0.3; echo one"}
        second = {"command": "echo two"}
    else:
        first = {"source": "import time\ndef run(args):\n    time.sleep(0.3)\n    return 'one'\n"}
        second = {"source": "def run(args):\n    return 'two'\n"}
    worker.send_raw(json.dumps(first).encode() + b"\n\n" + json.dumps(second).encode()
                    + b"\nnot json\n")
    answers = [check_answer(worker.read_line()) for _ in range(3)]
    if kind == "shell":
        assert [a["result"]["stdout"] for a in answers[:2]] == ["one\n", "two\n"]
    else:
        assert [a["result"]["value"] for a in answers[:2]] == ["one", "two"]
    assert answers[2]["success"] is False and "JSON" in answers[2]["error"]
    assert worker.quit() == 0
    assert worker.read_rest() == b""


@STOP_WAYS
def test_quit_or_end_of_input_while_a_shell_command_runs_kills_its_group_at_once(start, root, how):
    worker = start("shell")
    worker.send_raw(json.dumps({
        "command": "sleep 30 & sleep 30 & echo $$ > group.tmp && mv group.tmp group.pid; wait",
        "timeout": 60,
    }).encode() + b"\n")
    group = read_pid_file(root / "group.pid")
    assert len(group_members(group)) == 3      # sh and both sleeps
    assert stop_while_busy(worker, how) < 1.0
    assert wait_for(lambda: not group_members(group), 2.0), group_members(group)
    assert worker.read_rest() == b""            # the interrupted command gets no answer


@STOP_WAYS
def test_quit_or_end_of_input_while_a_custom_tool_loops_exits_at_once(start, root, how):
    worker = start("custom")
    worker.send_raw(json.dumps({"source": (
        "import os\n"
        "def run(args):\n"
        "    with open('started.tmp', 'w') as handle:\n"
        "        handle.write(str(os.getpid()))\n"
        "    os.rename('started.tmp', 'started.pid')\n"
        "    count = 0\n"
        "    while True:\n"
        "        count += 1\n")}).encode() + b"\n")
    tool = read_pid_file(root / "started.pid")     # the confined child the tool runs in
    assert stop_while_busy(worker, how) < 1.0
    assert worker.read_rest() == b""
    assert wait_for(lambda: process_gone(tool), 2.0)


@pytest.mark.parametrize("kind, command", [
    ("shell", {"command": "echo $TMPDIR > tmp.txt && mv tmp.txt tmp.path; sleep 30"}),
    ("custom", {"source": "import os, time\ndef run(args):\n    open('tmp.txt', 'w').write(os.environ['TMPDIR'])\n"
                          "    os.rename('tmp.txt', 'tmp.path')\n    time.sleep(30)\n"}),
])
def test_quit_while_a_command_runs_removes_its_private_temporary_folder(start, root, kind, command):
    worker = start(kind)
    worker.send_raw(json.dumps(command).encode() + b"\n")
    assert wait_for((root / "tmp.path").exists)
    tmp = Path((root / "tmp.path").read_text().strip())
    assert tmp.is_dir()
    stop_while_busy(worker, "quit")
    assert not tmp.exists()


def test_commands_waiting_behind_a_running_one_are_dropped_on_quit(start, root):
    worker = start("shell")
    worker.send_raw(b'{"command": "echo x > started.tmp && mv started.tmp started; sleep 30"}\n'
                    b'{"command": "touch second"}\n')
    assert wait_for((root / "started").exists)
    assert stop_while_busy(worker, "quit") < 1.0
    assert worker.read_rest() == b""
    assert not (root / "second").exists()


# ---------------------------------------------------------------------------
# shell


def test_shell_string_command_runs_through_sh_in_the_working_directory(start, root):
    worker = start("shell")
    answer = worker.ask({"command": "echo out; echo err >&2; pwd"})
    assert answer["success"] is True
    result = answer["result"]
    assert result["exit_code"] == 0 and result["timed_out"] is False
    assert result["stdout"] == f"out\n{os.path.realpath(root)}\n"
    assert result["stderr"] == "err\n"
    assert result["stdout_bytes"] == len(result["stdout"].encode())
    assert "stdout_truncated" not in result


def test_shell_list_command_runs_without_a_shell(start):
    worker = start("shell")
    answer = worker.ask({"command": ["printf", "%s|", "a b", "$HOME", "\u00e9"]})
    assert answer["success"] is True
    assert answer["result"]["stdout"] == "a b|$HOME|\u00e9|"


def test_shell_nonzero_exit_is_a_failure_with_the_output(start):
    worker = start("shell")
    answer = worker.ask({"command": "echo partial; exit 3"})
    assert answer["success"] is False
    assert answer["error"] == "Command exited with code 3"
    assert answer["result"]["exit_code"] == 3
    assert answer["result"]["stdout"] == "partial\n"


def test_shell_missing_program_is_an_error_answer(start):
    worker = start("shell")
    answer = worker.ask({"command": ["no-such-program-for-this-test"]})
    assert answer["success"] is False
    assert answer["error"].startswith("FileNotFoundError:")


def test_shell_cwd_env_and_stdin(start, root):
    (root / "sub").mkdir()
    worker = start("shell")
    answer = worker.ask({
        "command": "pwd; echo \"$JW_ONE-${HOME:-unset}\"; cat",
        "cwd": "sub",
        "env": {"JW_ONE": "1", "HOME": None},
        "stdin": "fed\n",
    })
    assert answer["success"] is True
    assert answer["result"]["stdout"] == f"{os.path.realpath(root / 'sub')}\n1-unset\nfed\n"
    missing = worker.ask({"command": "true", "cwd": "nowhere"})
    assert missing["success"] is False and missing["error"].startswith("NotADirectoryError:")
    bad_env = worker.ask({"command": "true", "env": {"X": 1}})
    assert bad_env["success"] is False and bad_env["error"].startswith("TypeError:")


def test_shell_timeout_kills_the_whole_process_group(start, root):
    worker = start("shell")
    began = time.monotonic()
    answer = worker.ask({"command": "sleep 30 & echo $! > bg.pid; echo started; sleep 30",
                         "timeout": 0.5})
    assert time.monotonic() - began < 10
    assert answer["success"] is False
    assert answer["error"] == "Command timed out after 0.5s"
    result = answer["result"]
    assert result["timed_out"] is True
    assert result["stdout"] == "started\n"
    background = int((root / "bg.pid").read_text())
    deadline = time.monotonic() + 5
    while not process_gone(background) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert process_gone(background)


@STOP_WAYS
def test_shell_background_processes_of_finished_commands_die_with_the_worker(start, root, how):
    worker = start("shell")
    answer = worker.ask({"command": "sleep 60 >/dev/null 2>&1 & echo $! > bg.pid; echo now"})
    assert answer["success"] is True and answer["result"]["stdout"] == "now\n"
    background = int((root / "bg.pid").read_text())
    assert not process_gone(background)
    stop_while_busy(worker, how)
    assert wait_for(lambda: process_gone(background), 2.0)


def _parent_death_signal_available() -> bool:
    if not sys.platform.startswith("linux"):
        return False
    try:
        import ctypes
        return hasattr(ctypes.CDLL(None), "prctl")
    except (ImportError, OSError):
        return False


@pytest.mark.skipif(not _parent_death_signal_available(), reason="needs Linux prctl through ctypes")
def test_shell_command_dies_with_a_killed_worker(start, root):
    worker = start("shell")
    worker.send_raw(json.dumps({
        "command": ["sh", "-c", "echo $$ > child.tmp && mv child.tmp child.pid && exec sleep 30"],
    }).encode() + b"\n")
    child = read_pid_file(root / "child.pid")
    assert not process_gone(child)
    worker.proc.kill()
    worker.proc.wait(10)
    assert wait_for(lambda: process_gone(child), 2.0)


def test_shell_huge_output_is_cut_to_fit_one_line(start):
    worker = start("shell")
    line = worker.ask_line({"command": "head -c 200000 /dev/zero | tr '\\0' a; echo END; "
                                       "head -c 200000 /dev/zero | tr '\\0' b >&2"})
    assert len(line) < LINE_LIMIT
    answer = check_answer(line)
    assert answer["success"] is True
    result = answer["result"]
    assert result["stdout_truncated"] is True and result["stderr_truncated"] is True
    assert result["stdout_bytes"] == 200004 and result["stderr_bytes"] == 200000
    # Both ends of the output are kept, and both streams get a fair share.
    assert result["stdout"].startswith("aaaa") and result["stdout"].endswith("aEND\n")
    assert "bytes cut" in result["stdout"]
    assert len(result["stdout"]) > 20000 and len(result["stderr"]) > 20000


# ---------------------------------------------------------------------------
# file_edit


def test_file_edit_write_append_read_replace_list(start, root):
    worker = start("file_edit")
    written = worker.ask({"action": "write", "path": "deep/er/notes.txt", "content": "one\r\ntwo \u00e9\n"})
    assert written["success"] is True
    assert written["result"]["created"] is True
    assert written["result"]["bytes_written"] == len("one\r\ntwo \u00e9\n".encode())
    assert worker.ask({"action": "append", "path": "deep/er/notes.txt", "content": "two\n"})["success"]
    assert (root / "deep/er/notes.txt").read_bytes() == "one\r\ntwo \u00e9\ntwo\n".encode()

    read = worker.ask({"action": "read", "path": "deep/er/notes.txt"})["result"]
    assert read["content"] == "one\r\ntwo \u00e9\ntwo\n"
    assert read["truncated"] is False and read["next_offset"] is None

    replaced = worker.ask({"action": "replace", "path": "deep/er/notes.txt", "old": "two", "new": "2"})
    assert replaced["result"]["replacements"] == 2
    limited = worker.ask({"action": "replace", "path": "deep/er/notes.txt", "old": "\n", "new": ";",
                          "count": 1})
    assert limited["result"]["replacements"] == 1 and limited["result"]["occurrences"] == 3
    assert (root / "deep/er/notes.txt").read_bytes().decode() == "one\r;2 \u00e9\n2\n"

    missing = worker.ask({"action": "replace", "path": "deep/er/notes.txt", "old": "zzz", "new": "y"})
    assert missing["success"] is False and "not found" in missing["error"]

    listing = worker.ask({"action": "list"})["result"]
    assert listing["entries"] == [{"name": "deep", "type": "dir", "size": listing["entries"][0]["size"]}]
    everything = worker.ask({"action": "list", "recursive": True})["result"]
    names = {entry["name"]: entry for entry in everything["entries"]}
    assert set(names) == {"deep", "deep/er", "deep/er/notes.txt"}
    assert names["deep/er/notes.txt"]["type"] == "file"
    assert names["deep/er/notes.txt"]["size"] == (root / "deep/er/notes.txt").stat().st_size


def test_file_edit_errors_for_bad_requests(start, root):
    (root / "folder").mkdir()
    worker = start("file_edit")
    assert worker.ask({"action": "read", "path": "absent.txt"})["error"].startswith("FileNotFoundError:")
    assert worker.ask({"action": "read", "path": "folder"})["error"].startswith("IsADirectoryError:")
    assert worker.ask({"action": "write", "path": "folder", "content": "x"})["success"] is False
    assert "unknown action" in worker.ask({"action": "delete", "path": "x"})["error"]
    assert worker.ask({"action": "write", "path": "x.txt", "content": 5})["error"].startswith("TypeError:")
    too_long = worker.ask({"action": "write", "path": "a/" * 1999 + "b", "content": "x"})["error"]
    assert too_long.startswith("OSError: [Errno 36]") and not (root / "a").exists()


@pytest.fixture
def outside(tmp_path: Path, root: Path) -> Path:
    """A folder beside the root with one file, and links to it from inside the root."""
    folder = tmp_path / "outside"
    folder.mkdir()
    (folder / "secret.txt").write_text("secret")
    (root / "link_dir").symlink_to(folder)
    (root / "link_file").symlink_to(folder / "secret.txt")
    (root / "dangling").symlink_to(folder / "not-yet.txt")
    return folder


def test_file_edit_refuses_every_path_that_leads_outside(start, outside):
    worker = start("file_edit")
    paths = ["../outside/secret.txt", "sub/../../outside/secret.txt", str(outside / "secret.txt"),
             "link_dir/secret.txt", "link_file", "dangling", "link_dir/new.txt", "..", "/"]
    for path in paths:
        for action in ["read", "write", "append", "replace", "list"]:
            answer = worker.ask({"action": action, "path": path, "content": "x", "old": "secret", "new": "x"})
            assert answer["success"] is False, (action, path)
            assert answer["error"].startswith("PermissionError:"), (action, path, answer["error"])
    assert sorted(p.name for p in outside.iterdir()) == ["secret.txt"]
    assert (outside / "secret.txt").read_text() == "secret"


def test_file_edit_confinement_holds_while_a_folder_is_swapped_for_a_link(start, root, outside):
    (root / "sub").mkdir()
    (root / "sub" / "secret.txt").write_text("inside")
    (root / "swap").symlink_to(outside)
    libc = ctypes.CDLL(None, use_errno=True)
    at_cwd, exchange = -100, 2          # AT_FDCWD, RENAME_EXCHANGE
    names = [os.fsencode(root / "sub"), os.fsencode(root / "swap")]
    worker = start("file_edit")
    stop = threading.Event()

    def swap():                 # "sub" is the folder, then the link to the outside, and so on
        while not stop.is_set():
            assert libc.renameat2(at_cwd, names[0], at_cwd, names[1], exchange) == 0

    swapper = threading.Thread(target=swap)
    swapper.start()
    try:
        answers = [worker.ask({"action": "read", "path": "sub/secret.txt"}) for _ in range(200)]
        answers += [worker.ask({"action": "write", "path": f"sub/w{i}.txt", "content": "x"}) for i in range(200)]
    finally:
        stop.set()
        swapper.join()
    assert sorted(p.name for p in outside.iterdir()) == ["secret.txt"]
    assert all(a["result"].get("content", "inside") == "inside" for a in answers if a["success"])
    refused = [a for a in answers if not a["success"]]
    assert all(a["error"].startswith("PermissionError:") for a in refused), {a["error"] for a in refused}
    assert 0 < len(refused) < len(answers)


def test_file_edit_accepts_inside_paths_in_every_form(start, root):
    (root / "data").mkdir()
    (root / "data" / "f.txt").write_text("inside")
    (root / "alias").symlink_to(root / "data" / "f.txt")
    worker = start("file_edit")
    for path in ["data/f.txt", "./data/../data/f.txt", str(root / "data" / "f.txt"), "alias"]:
        answer = worker.ask({"action": "read", "path": path})
        assert answer["success"] is True, answer
        assert answer["result"]["content"] == "inside"
        assert answer["result"]["path"] == os.path.join("data", "f.txt")


def test_file_edit_big_file_is_read_in_pieces_that_each_fit_one_line(start, root):
    text = "".join(f"{i:06d} caf\u00e9 \U0001f600 \"q\"\n" for i in range(12000))
    data = text.encode("utf-8")
    assert len(data) > 200_000
    (root / "big.txt").write_bytes(data)
    worker = start("file_edit")
    pieces, offset, reads = [], 0, 0
    while True:
        line = worker.ask_line({"action": "read", "path": "big.txt", "offset": offset})
        assert len(line) < LINE_LIMIT
        result = check_answer(line)["result"]
        reads += 1
        assert result["size"] == len(data) and result["offset"] == offset
        assert result["encoding_errors"] is False
        pieces.append(result["content"])
        if not result["truncated"]:
            break
        assert result["next_offset"] == offset + result["bytes_read"]
        offset = result["next_offset"]
    assert reads >= 4
    assert "".join(pieces) == text


def test_file_edit_read_window_and_undecodable_bytes(start, root):
    (root / "mixed.bin").write_bytes(b"abc\xffdef" + "\u00e9".encode() * 3)
    worker = start("file_edit")
    window = worker.ask({"action": "read", "path": "mixed.bin", "offset": 2, "length": 4})["result"]
    assert window["content"] == "c\ufffdde"
    assert window["encoding_errors"] is True and window["truncated"] is False
    whole = worker.ask({"action": "read", "path": "mixed.bin"})["result"]
    assert whole["content"] == "abc\ufffddef\u00e9\u00e9\u00e9"


# ---------------------------------------------------------------------------
# code_analysis

SAMPLE = '''\
import os, sys
from . import sibling
from ..pkg.mod import thing
import os.path as osp
from json import loads


def plain(a, b=1, *rest, key, **extra):
    return a


async def branchy(x, y, z):
    if x and y or z:
        for i in range(3):
            pass
    elif x:
        while x:
            x -= 1
    try:
        pass
    except ValueError:
        pass
    except (TypeError, KeyError):
        pass
    with open(x) as handle:
        assert handle
    return [i for i in x if i if i > 2]


class Shape(Base, metaclass=Meta):
    @property
    def area(self):
        def helper():
            return 1 if self else 2
        return helper

    def matcher(self, value):
        match value:
            case 1:
                return "one"
            case _:
                return lambda v: v or None


def tail():
    import collections
'''


def test_code_analysis_of_a_source_with_known_complexities(start):
    worker = start("code_analysis")
    answer = worker.ask({"source": SAMPLE, "filename": "sample.py"})
    assert answer["success"] is True
    result = answer["result"]
    assert result["filename"] == "sample.py"
    functions = {f["qualname"]: f for f in result["functions"]}
    assert [f["qualname"] for f in result["functions"]] == [
        "plain", "branchy", "Shape.area", "Shape.area.<locals>.helper", "Shape.matcher", "tail"]
    assert {name: f["complexity"] for name, f in functions.items()} == {
        # if, and/or (2), for, elif, while, 2 handlers, comprehension for + 2 ifs
        "plain": 1, "branchy": 12, "Shape.area": 1, "Shape.area.<locals>.helper": 2,
        # two cases, the lambda's "or"
        "Shape.matcher": 4, "tail": 1,
    }
    assert functions["plain"]["args"] == ["a", "b", "*rest", "key", "**extra"]
    assert (functions["plain"]["line"], functions["plain"]["end_line"]) == (8, 9)
    assert functions["branchy"]["is_async"] is True
    assert functions["Shape.area"]["is_method"] is True
    assert functions["Shape.area"]["decorators"] == ["property"]
    assert functions["Shape.area.<locals>.helper"]["is_method"] is False

    assert result["classes"] == [{
        "name": "Shape", "qualname": "Shape", "line": 30, "end_line": 42,
        "bases": ["Base"], "methods": ["area", "matcher"], "decorators": [],
    }]
    assert result["imports"] == ["os", "sys", ".sibling", "..pkg.mod", "os.path", "json", "collections"]
    assert result["totals"] == {
        "lines": 46, "functions": 6, "classes": 1, "imports": 7,
        "average_complexity": round(21 / 6, 2), "max_complexity": 12,
    }


def test_code_analysis_of_a_stdlib_module_by_path(start):
    path = Path(sysconfig.get_paths()["stdlib"]) / "json" / "decoder.py"
    worker = start("code_analysis")
    answer = worker.ask({"path": str(path)})
    assert answer["success"] is True
    result = answer["result"]
    classes = {c["name"]: c for c in result["classes"]}
    assert {"decode", "raw_decode"} <= set(classes["JSONDecoder"]["methods"])
    assert classes["JSONDecodeError"]["bases"] == ["ValueError"]
    assert {"re", "json"} <= set(result["imports"])
    assert len(result["imports"]) == len(set(result["imports"]))
    totals = result["totals"]
    assert totals["lines"] == len(path.read_text("utf-8").splitlines())
    assert totals["functions"] == len(result["functions"])
    complexities = [f["complexity"] for f in result["functions"]]
    assert totals["max_complexity"] == max(complexities) > 5
    assert totals["average_complexity"] == round(sum(complexities) / len(complexities), 2)
    for function in result["functions"]:
        assert function["line"] <= function["end_line"] <= totals["lines"]


def test_code_analysis_reads_paths_relative_to_the_working_directory(start, root):
    (root / "pkg").mkdir()
    (root / "pkg" / "mod.py").write_text("# -*- coding: latin-1 -*-\nname = 'caf\xe9'\ndef f():\n    pass\n",
                                         encoding="latin-1")
    (root / "bad.py").write_bytes(b"x = '\xff'\n")
    worker = start("code_analysis")
    answer = worker.ask({"path": "pkg/mod.py"})
    assert answer["success"] is True
    assert [f["name"] for f in answer["result"]["functions"]] == ["f"]
    assert worker.ask({"path": "bad.py"})["error"].startswith("UnicodeDecodeError:")
    assert worker.ask({"path": "pkg"})["error"].startswith("IsADirectoryError:")
    assert worker.ask({"path": "absent.py"})["error"].startswith("FileNotFoundError:")
    assert worker.ask({"path": "pkg/mod.py", "source": "x = 1"})["success"] is False


def test_code_analysis_syntax_error_names_the_line(start):
    worker = start("code_analysis")
    answer = worker.ask({"source": "x = 1\ndef broken(:\n    pass\n"})
    assert answer["success"] is False
    assert answer["error"].startswith("SyntaxError: ")
    assert answer["error"].endswith("(line 2)")
    assert answer["result"]["line"] == 2


def test_code_analysis_of_a_huge_module_fits_one_line(start):
    source = "".join(f"def function_{i}(alpha, beta, gamma):\n    return alpha or beta\n\n"
                     for i in range(3000))
    worker = start("code_analysis")
    line = worker.ask_line({"source": source})
    assert len(line) < LINE_LIMIT
    result = check_answer(line)["result"]
    assert result["totals"]["functions"] == 3000
    assert result["functions_truncated"] is True and result["functions_count"] == 3000
    assert 0 < len(result["functions"]) < 3000
    assert result["functions"][0]["name"] == "function_0"


# ---------------------------------------------------------------------------
# custom


def test_custom_tool_result_and_arguments(start):
    worker = start("custom")
    answer = worker.ask({"tool_name": "adder", "args": {"a": 2, "b": 3},
                         "source": "def run(args):\n    return {'sum': args['a'] + args['b'], 'ok': [True, None]}\n"})
    assert answer["success"] is True and answer["result"]["value"] == {"sum": 5, "ok": [True, None]}
    coroutine = worker.ask({"args": [1, 2],
                            "source": "import asyncio\nasync def run(args):\n"
                                      "    await asyncio.sleep(0)\n    return args[::-1]\n"})
    assert coroutine["result"]["value"] == [2, 1]
    fresh = worker.ask({"source": "def run(args):\n    return 'adder' in globals()\n"})
    assert fresh["result"]["value"] is False


def test_custom_tool_exception_gives_the_traceback_last_line(start):
    worker = start("custom")
    answer = worker.ask({"tool_name": "broken", "source": "def run(args):\n    helper()\n\n"
                                                          "def helper():\n    raise ValueError('bad thing')\n"})
    assert answer["success"] is False
    assert answer["error"] == "ValueError: bad thing"
    trace = answer["result"]["traceback"]
    assert trace.rstrip().endswith("ValueError: bad thing")
    assert "<tool broken>" in trace and "line 5" in trace and "raise ValueError" in trace
    exiting = worker.ask({"source": "import sys\ndef run(args):\n    sys.exit(4)\n"})
    assert exiting["success"] is False and exiting["error"] == "SystemExit: 4"
    assert worker.proc.poll() is None


def test_custom_tool_errors_in_its_definition(start):
    worker = start("custom")
    no_run = worker.ask({"source": "def other(args):\n    return 1\n"})
    assert no_run["success"] is False and "run" in no_run["error"]
    syntax = worker.ask({"source": "x = 1\ndef run(args)\n    return 1\n"})
    assert syntax["error"].startswith("SyntaxError: ") and syntax["error"].endswith("(line 2)")
    odd = worker.ask({"source": "def run(args):\n    return {'items': {1, 2}}\n"})
    assert odd["success"] is False
    assert odd["error"].startswith("TypeError:") and "set" in odd["error"]


def test_custom_tool_output_goes_to_stderr_and_never_to_stdout(start):
    worker = start("custom")
    answer = worker.ask({"source": (
        "import os, sys\n"
        "print('printed by the tool')\n"
        "def run(args):\n"
        "    print('from run')\n"
        "    sys.stdout.write('direct\\n')\n"
        "    os.write(1, b'raw descriptor\\n')\n"
        "    os.system('echo from a child')\n"
        "    return input('prompt? ') if args else 'done'\n")})
    assert answer["success"] is True and answer["result"]["value"] == "done"
    asking = worker.ask({"args": 1, "source": "def run(args):\n    return input()\n"})
    assert asking["error"].startswith("EOFError")
    assert worker.quit() == 0
    assert worker.read_rest() == b""
    stderr = worker.stderr_text()
    for text in ["printed by the tool", "from run", "direct", "raw descriptor", "from a child"]:
        assert text in stderr


def test_custom_tool_child_holds_neither_the_command_nor_the_answer_stream(start):
    worker = start("custom")
    pipes = {os.fstat(pipe.fileno()).st_ino for pipe in (worker.proc.stdin, worker.proc.stdout)}
    held = worker.ask({"source": (
        "import os\n"
        "def run(args):\n"
        "    held = []\n"
        "    for fd in os.listdir('/proc/self/fd'):\n"
        "        try:\n"
        "            held.append(os.fstat(int(fd)).st_ino)\n"
        "        except OSError:\n"
        "            pass\n"
        "    return held\n")})["result"]["value"]
    assert held and not pipes & set(held)


def test_custom_tool_huge_results_are_cut_or_refused(start):
    worker = start("custom")
    line = worker.ask_line({"source": "def run(args):\n    return {'text': 'x' * 200000, 'n': 7}\n"})
    assert len(line) < LINE_LIMIT
    result = check_answer(line)["result"]
    value = result["value"]
    assert value["n"] == 7 and result["truncated"] is True
    assert value["text_truncated"] is True and value["text_length"] == 200000
    assert "characters cut" in value["text"]

    line = worker.ask_line({"source": "def run(args):\n    return list(range(100000))\n"})
    assert len(line) < LINE_LIMIT
    numbers = check_answer(line)["result"]["value"]
    assert numbers == list(range(len(numbers))) and 1000 < len(numbers) < 100000

    line = worker.ask_line({"source": "def run(args):\n    return {'k' * 100000: 1}\n"})
    refused = check_answer(line)
    assert refused["success"] is False and "too large" in refused["error"]


# ---------------------------------------------------------------------------
# the sandbox


def _landlock_abi() -> int:
    abi = ctypes.CDLL(None, use_errno=True).syscall(444, None, 0, 1)   # landlock_create_ruleset, VERSION
    return max(abi, 0)


needs_landlock = pytest.mark.skipif(_landlock_abi() < 1, reason="the kernel has no Landlock")
SANDBOX_BINARY = WORKERS / "tovana-sandbox"
WRITES = "echo x > ../outside.txt; echo y > inside.txt; echo t > $TMPDIR/t && echo $TMPDIR"


@needs_landlock
def test_shell_sandbox_confines_writes_to_the_working_and_a_private_temporary_folder(start, root):
    worker = start("shell")
    answer = worker.ask({"command": WRITES})
    assert answer["success"] is True, answer
    result = answer["result"]
    assert "Permission denied" in result["stderr"]
    assert not (root.parent / "outside.txt").exists() and (root / "inside.txt").read_text() == "y\n"
    tmp = Path(result["stdout"].strip())
    assert tmp.name.startswith("tovana-cmd-") and not tmp.exists()
    assert result["sandbox"]["filesystem"] == "landlock" and result["sandbox"]["complete"] is True
    assert result["sandbox"]["limits"]["memory_mb"] == 4096

    unconfined = worker.ask({"command": WRITES, "sandbox": False})["result"]
    assert (root.parent / "outside.txt").exists() and "sandbox" not in unconfined
    extra = root.parent / "extra"
    extra.mkdir()
    allowed = worker.ask({"command": "echo z > ../extra/z", "writable": ["../extra"], "sandbox": "required"})
    assert allowed["success"] is True and (extra / "z").exists()


def test_shell_sandbox_cuts_the_network_unless_allowed(start):
    listener, datagrams = socket.socket(), socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    datagrams.bind(("127.0.0.1", 0))
    datagrams.setblocking(False)
    program = ("import socket\n"
               "try:\n"
               f"    socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(b'x', {datagrams.getsockname()})\n"
               "except OSError as exc:\n"
               "    print('udp', exc)\n"
               f"socket.create_connection({listener.getsockname()}, 5)\n")

    def received():
        try:
            return datagrams.recv(16)
        except BlockingIOError:
            return None

    try:
        worker = start("shell")
        cut = worker.ask({"command": [sys.executable, "-c", program]})
        cut_udp = received()
        allowed = worker.ask({"command": [sys.executable, "-c", program], "network": True})
        time.sleep(0.1)
        allowed_udp = received()
    finally:
        listener.close()
        datagrams.close()
    assert cut["success"] is False and "Error" in cut["result"]["stderr"]
    assert cut["result"]["sandbox"]["network"] in ("namespace", "user namespace", "landlock tcp")
    if cut["result"]["sandbox"]["network"] != "landlock tcp":      # a namespace cuts UDP too
        assert cut_udp is None and "udp" in cut["result"]["stdout"]
    assert allowed["success"] is True, allowed
    assert allowed["result"]["sandbox"]["network"] == "allowed" and allowed_udp == b"x"


@pytest.mark.parametrize("program, limits, error", [
    ("bytearray(1 << 30)", {"memory_mb": 256}, "Command exited with code 1"),
    ("while True: pass", {"cpu_seconds": 1}, "Command killed by signal"),
])
def test_shell_sandbox_limits_stop_a_memory_hog_and_a_cpu_loop(start, program, limits, error):
    answer = start("shell").ask({"command": [sys.executable, "-c", program], "limits": limits, "timeout": 20})
    assert answer["error"].startswith(error), answer
    assert answer["result"]["timed_out"] is False


WRITER = """import threading
def write(path):
    try:
        with open(path, "w") as handle:
            handle.write("x")
        return "written"
    except OSError as exc:
        return type(exc).__name__
def run(folder):
    seen = []
    thread = threading.Thread(target=lambda: seen.append(write(folder + "/thread.txt")))
    thread.start()
    thread.join()
    return [write(folder + "/main.txt"), seen[0], write("inside.txt")]
"""


@needs_landlock
def test_custom_tool_and_its_threads_cannot_write_outside(start, root):
    worker = start("custom")
    confined = worker.ask({"source": WRITER, "args": str(root.parent)})["result"]
    assert confined["value"] == ["PermissionError", "PermissionError", "written"]
    assert confined["sandbox"]["filesystem"] == "landlock"
    assert not (root.parent / "main.txt").exists() and not (root.parent / "thread.txt").exists()
    plain = worker.ask({"source": WRITER, "args": str(root.parent), "sandbox": False})
    assert plain["result"] == ["written", "written", "written"]


@pytest.mark.parametrize("args, status, text", [
    ([], 125, "no program given"),
    (["--bogus", "--", "true"], 125, "unknown option '--bogus'"),
    (["--cpu", "x", "--", "true"], 125, "option --cpu needs a whole number, not 'x'"),
    (["--write", "/no/such/folder", "--", "true"], 126, "cannot allow writing beneath '/no/such/folder'"),
    (["--", "no-such-program-for-this-test"], 127, "cannot run 'no-such-program-for-this-test'"),
    (["--landlock-abi", "0", "--require", "--", "true"], 126,
     "sandbox incomplete: filesystem (no Landlock in this kernel)"),
])
def test_sandbox_program_errors_are_one_clear_line(args, status, text):
    done = subprocess.run([str(SANDBOX_BINARY), *args], capture_output=True, text=True, timeout=10)
    assert done.returncode == status
    assert done.stderr.startswith("tovana-sandbox: " + text) and done.stderr.count("\n") == 1


def test_sandbox_program_without_landlock_runs_with_what_it_could_apply(root):
    read_end, write_end = os.pipe()
    done = subprocess.run([str(SANDBOX_BINARY), "--landlock-abi", "0", "--write", str(root), "--report",
                           str(write_end), "--", "sh", "-c", "echo x > ../escaped && echo written"],
                          cwd=root, pass_fds=[write_end], capture_output=True, text=True, timeout=10)
    os.close(write_end)
    with os.fdopen(read_end) as report:
        applied = json.loads(report.read())
    assert done.returncode == 0 and done.stdout == "written\n" and (root.parent / "escaped").exists()
    assert applied["filesystem"] == "none" and applied["complete"] is False
    assert applied["missing"] == ["filesystem (no Landlock in this kernel)"]
    assert applied["network"] in ("namespace", "user namespace", "not cut")


def test_sandbox_program_passes_only_the_standard_descriptors_on():
    read_end, write_end = os.pipe()
    try:
        done = subprocess.run([str(SANDBOX_BINARY), "--unconfined", "--", "ls", "/proc/self/fd"],
                              pass_fds=[read_end, write_end], capture_output=True, text=True, timeout=10)
    finally:
        os.close(read_end)
        os.close(write_end)
    assert done.returncode == 0 and done.stdout.split() == ["0", "1", "2", "3"]    # 3: what ls reads
