"""Worker that reads, writes and edits files inside its working directory.

The root is the worker's working directory at start-up.  Every path is taken
relative to it (an absolute path is accepted only when it lies inside), and
is resolved with all symbolic links followed; a path whose real location is
outside the root is refused with a PermissionError answer.

Command keys (``action`` selects the operation):
    read     path, offset? (bytes, default 0), length? (bytes, default: to the end)
    write    path, content            -- creates or replaces; parents are created
    append   path, content            -- creates the file when missing
    replace  path, old, new, count?   -- count: most replacements (default all)
    list     path? (default "."), recursive? (default false), max_entries? (default 1000)

Files are read and written as UTF-8 with line endings kept as they are.
"""

from __future__ import annotations

import codecs
import os
import stat
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from _protocol import TEXT_BUDGET, fit_prefix, get_arg, get_number, serve, success  # noqa: E402

ROOT = os.path.realpath(os.getcwd())
DEFAULT_MAX_ENTRIES = 1000
MAX_ENTRIES = 5000


def resolve(path) -> str:
    """Real absolute path of ``path`` under the root, or PermissionError."""
    if not isinstance(path, str):
        raise TypeError(f"'path' must be a string, not {type(path).__name__}")
    if not path:
        raise ValueError("'path' must not be empty")
    if "\x00" in path:
        raise ValueError("'path' must not contain NUL characters")
    full = os.path.realpath(os.path.join(ROOT, path))
    if os.path.commonpath([ROOT, full]) != ROOT:
        raise PermissionError(f"path is outside the working directory: {path}")
    return full


def relative(full: str) -> str:
    return os.path.relpath(full, ROOT)


def _regular_file(full: str, path: str) -> os.stat_result:
    info = os.stat(full)
    if stat.S_ISDIR(info.st_mode):
        raise IsADirectoryError(f"is a directory: {path}")
    if not stat.S_ISREG(info.st_mode):
        raise ValueError(f"not a regular file: {path}")
    return info


def _read_text(full: str, path: str) -> str:
    _regular_file(full, path)
    with open(full, "r", encoding="utf-8", newline="") as handle:
        return handle.read()


def _write_text(full: str, text: str, mode: str) -> int:
    data = text.encode("utf-8")
    parent = os.path.dirname(full)
    if parent:
        os.makedirs(parent, exist_ok=True)
    with open(full, mode + "b") as handle:
        handle.write(data)
    return len(data)


def do_read(command: dict) -> dict:
    path = get_arg(command, "path", str)
    full = resolve(path)
    size = _regular_file(full, path).st_size
    offset = get_number(command, "offset", 0, minimum=0, integer=True)
    length = get_number(command, "length", None, minimum=0, integer=True)
    end_wanted = size if length is None else min(size, offset + length)
    want = max(0, end_wanted - offset)
    with open(full, "rb") as handle:
        handle.seek(offset)
        data = handle.read(min(want, TEXT_BUDGET + 4))
    everything = len(data) >= want
    text = codecs.getincrementaldecoder("utf-8")("surrogateescape").decode(data, final=everything)
    kept = text[:fit_prefix(text, TEXT_BUDGET)]
    raw = kept.encode("utf-8", "surrogateescape")
    content = raw.decode("utf-8", "replace")
    end = offset + len(raw) if want else min(offset, size)
    truncated = end < end_wanted
    return success({
        "path": relative(full),
        "content": content,
        "size": size,
        "offset": offset,
        "bytes_read": len(raw),
        "truncated": truncated,
        "next_offset": end if truncated else None,
        "encoding_errors": content != kept,
    })


def do_write(command: dict, append: bool = False) -> dict:
    path = get_arg(command, "path", str)
    content = get_arg(command, "content", str)
    full = resolve(path)
    existed = os.path.lexists(full)
    if existed:
        _regular_file(full, path)
    written = _write_text(full, content, "a" if append else "w")
    result = {"path": relative(full), "bytes_written": written, "created": not existed}
    result["size"] = os.stat(full).st_size
    return success(result)


def do_replace(command: dict) -> dict:
    path = get_arg(command, "path", str)
    old = get_arg(command, "old", str)
    new = get_arg(command, "new", str)
    count = get_number(command, "count", None, minimum=1, integer=True)
    if not old:
        raise ValueError("'old' must not be empty")
    full = resolve(path)
    text = _read_text(full, path)
    occurrences = text.count(old)
    if not occurrences:
        raise ValueError(f"'old' text not found in {relative(full)}")
    done = occurrences if count is None else min(count, occurrences)
    _write_text(full, text.replace(old, new, done), "w")
    return success({
        "path": relative(full),
        "replacements": done,
        "occurrences": occurrences,
        "size": os.stat(full).st_size,
    })


def _entry(full: str, name: str) -> dict:
    info = os.lstat(full)
    mode = info.st_mode
    if stat.S_ISLNK(mode):
        kind = "symlink"
    elif stat.S_ISDIR(mode):
        kind = "dir"
    elif stat.S_ISREG(mode):
        kind = "file"
    else:
        kind = "other"
    return {"name": name, "type": kind, "size": info.st_size}


def do_list(command: dict) -> dict:
    path = get_arg(command, "path", str, ".")
    recursive = get_arg(command, "recursive", bool, False)
    limit = get_number(command, "max_entries", DEFAULT_MAX_ENTRIES, minimum=1, integer=True)
    limit = min(limit, MAX_ENTRIES)
    full = resolve(path)
    if not os.path.isdir(full):
        raise NotADirectoryError(f"not a directory: {path}")
    entries = []
    truncated = False
    if recursive:
        for folder, dirs, files in os.walk(full, followlinks=False):
            dirs.sort()
            for name in sorted(dirs + files):
                if len(entries) >= limit:
                    truncated = True
                    break
                item = os.path.join(folder, name)
                entries.append(_entry(item, os.path.relpath(item, full)))
            if truncated:
                break
    else:
        names = sorted(os.listdir(full))
        truncated = len(names) > limit
        for name in names[:limit]:
            entries.append(_entry(os.path.join(full, name), name))
    return success({
        "path": relative(full),
        "entries": entries,
        "count": len(entries),
        "truncated": truncated,
    })


ACTIONS = {
    "read": do_read,
    "write": do_write,
    "append": lambda command: do_write(command, append=True),
    "replace": do_replace,
    "list": do_list,
}


def handle(command: dict) -> dict:
    action = get_arg(command, "action", str)
    operation = ACTIONS.get(action)
    if operation is None:
        raise ValueError(f"unknown action '{action}'; expected one of {', '.join(ACTIONS)}")
    return operation(command)


if __name__ == "__main__":
    serve(handle)
