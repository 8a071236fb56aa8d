"""Confinement settings shared by the shell and custom workers, with what
both keep of their commands: the process groups to kill and the private
temporary folders to remove when the worker ends.

Commands run under the ``tovana-sandbox`` helper that lies beside these
scripts (the custom worker's tool code calls the same confinement through
``libtovana-sandbox.so``).  The keys of a command that set it:

    sandbox   true (default), "required" (an incomplete confinement is an
              error) or false (unconfined)
    network   true lets the command use the network (default false)
    writable  further folders, relative to the working directory, that may
              be written besides it and the command's private temporary folder
    limits    object of cpu_seconds, memory_mb, file_size_mb, open_files,
              processes (DEFAULT_LIMITS; null: no limit)
"""

from __future__ import annotations

import os

from _protocol import get_arg, get_number, quit_guard

HERE = os.path.dirname(os.path.abspath(__file__))
PROGRAM = os.path.join(HERE, "tovana-sandbox")
LIBRARY = os.path.join(HERE, "libtovana-sandbox.so")
DEFAULT_LIMITS = {"cpu_seconds": 300, "memory_mb": 4096, "file_size_mb": 1024,
                  "open_files": 1024, "processes": 1024}
_LIMIT_OPTIONS = {"cpu_seconds": "--cpu", "memory_mb": "--memory", "file_size_mb": "--file-size",
                  "open_files": "--open-files", "processes": "--processes"}
NOT_INSTALLED = {"complete": False, "missing": ["everything (the sandbox helper is not installed)"]}
SIGKILL = 9

groups = []                  # process groups of the commands started that may have members
_folders = set()             # private temporary folders not removed yet


def kill_group(pgid: int) -> None:
    try:
        os.killpg(pgid, SIGKILL)
    except OSError:
        pass


def add_group(pgid: int) -> None:
    """Remember a new command's process group (call under ``quit_guard()``).

    Groups that have emptied are forgotten: their number may go to an
    unrelated process later, and the list would grow with every command.
    """
    groups[:] = [known for known in groups if _has_members(known)]
    groups.append(pgid)


def _has_members(pgid: int) -> bool:
    try:
        os.killpg(pgid, 0)
        return True
    except OSError:
        return False


def on_exit() -> None:
    """Exit hook: nothing a command started in its process group outlives the
    worker, nor the private temporary folder of a command cut short."""
    for pgid in groups:
        kill_group(pgid)
    for path in list(_folders):
        remove_tree(path)


def mode(command: dict):
    """The command's ``sandbox`` key: True, False or "required"."""
    value = get_arg(command, "sandbox", (bool, str), True)
    if value not in (True, False, "required"):
        raise ValueError(f"'sandbox' must be true, false or \"required\", not {value!r}")
    return value


def options(command: dict, mode, root: str, tmp: str) -> list:
    """The helper's options for ``command`` (of ``mode(command)``): writable
    folders, network, limits."""
    network = get_arg(command, "network", bool, False)
    writable = get_arg(command, "writable", list, [])
    limits = get_arg(command, "limits", dict, {})
    result = ["--write", root, "--write", tmp]
    for folder in writable:
        if not isinstance(folder, str) or not folder:
            raise TypeError("'writable' must be a list of non-empty strings")
        path = os.path.join(root, folder)
        if not os.path.isdir(path):
            raise NotADirectoryError(f"'writable' folder is not a directory: {folder}")
        result += ["--write", path]
    unknown = sorted(set(limits) - set(DEFAULT_LIMITS))
    if unknown:
        raise ValueError(f"unknown key in 'limits': {unknown[0]}; expected {', '.join(DEFAULT_LIMITS)}")
    for key, default in DEFAULT_LIMITS.items():
        if key in limits and limits[key] is None:
            continue                # no limit
        result += [_LIMIT_OPTIONS[key], str(get_number(limits, key, default, minimum=1, integer=True))]
    if network:
        result.append("--network")
    if mode == "required":
        result.append("--require")
    return result


def private_tmp() -> str:
    """A new folder only the worker's user can enter, for TMPDIR, TMP and TEMP."""
    base = os.environ.get("TMPDIR") or "/tmp"
    for _ in range(100):
        path = os.path.join(base, "tovana-cmd-" + os.urandom(6).hex())
        try:
            with quit_guard():  # the exit hook sees every folder made
                os.mkdir(path, 0o700)
                _folders.add(path)
            return path
        except FileExistsError:
            continue
    raise FileExistsError(17, "cannot make a private temporary folder", base)


def remove_tree(path: str) -> None:
    """Remove ``path`` and everything below it, never following a link."""
    try:
        for _folder, dirs, files, fd in os.fwalk(path, topdown=False):
            for name in files:
                try:
                    os.unlink(name, dir_fd=fd)
                except OSError:
                    pass
            for name in dirs:
                try:
                    os.rmdir(name, dir_fd=fd)
                except OSError:
                    try:                # a link to a folder is listed among the folders
                        os.unlink(name, dir_fd=fd)
                    except OSError:
                        pass
        os.rmdir(path)
    except OSError:
        pass
    _folders.discard(path)


def report(data: bytes):
    """(what the helper applied, its error line or None) from its report bytes."""
    import json
    text = data.decode("utf-8", "replace")
    applied, error = None, None
    for line in text.splitlines():
        if line.startswith("{"):
            try:
                applied = json.loads(line)
            except ValueError:
                pass
        elif line.strip():
            error = line.strip()
    if applied is None:
        applied = {"complete": False, "missing": ["everything (the sandbox helper failed)"]}
    return applied, error


def incomplete(applied: dict) -> str:
    return "Sandbox incomplete: " + "; ".join(applied.get("missing") or ["unknown"])
