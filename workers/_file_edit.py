"""Worker that reads, writes and edits files inside its working directory.

The root is the worker's working directory at start-up.  Every path is taken
relative to it (an absolute path is accepted only when it lies inside).  A
path is walked one component at a time from a descriptor of the root, each
component opened relative to its parent's descriptor without following a
symbolic link; a link met on the way is read and its target walked in turn
(an absolute target must lie inside the root).  Every operation then works on
the descriptors of that walk, never on a name resolved earlier, so a folder
swapped for a link while a command runs cannot lead it outside.  A path whose
location is outside the root is refused with a PermissionError answer.

Command keys (``action`` selects the operation):
    read     path, offset? (bytes, default 0), length? (bytes, default: to the end)
    write    path, content            -- creates or replaces; parents are created
    append   path, content            -- creates the file when missing
    replace  path, old, new, count?   -- count: most replacements (default all)
    list     path? (default "."), recursive? (default false), max_entries? (default 1000)

Files are read and written as UTF-8 with line endings kept as they are.
"""

from __future__ import annotations

import errno
import os
import stat

from _protocol import TEXT_BUDGET, fit_prefix, get_arg, get_number, serve, success

ROOT = os.path.realpath(os.getcwd())
ROOT_FD = os.open(ROOT, os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC)
DEFAULT_MAX_ENTRIES = 1000
MAX_ENTRIES = 5000
PATH_MAX = 4096              # bytes of a full path, as the kernel counts them
MAX_PATH_BYTES = 1024        # bytes of the path a command names
MAX_LINKS = 40               # links followed in one walk, as the kernel allows
RETRIES = 8                  # walks started again after folders were created

_DIR = os.O_PATH | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC
_FILE = os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK   # no hang on a FIFO


def _check_path(path) -> None:
    if not isinstance(path, str):
        raise TypeError(f"'path' must be a string, not {type(path).__name__}")
    if not path:
        raise ValueError("'path' must not be empty")
    if "\x00" in path:
        raise ValueError("'path' must not contain NUL characters")
    size = len(os.fsencode(path))
    if size > MAX_PATH_BYTES or len(ROOT) + 1 + size >= PATH_MAX:
        raise OSError(errno.ENAMETOOLONG, f"path is too long ({size} bytes, at most {MAX_PATH_BYTES})")


def _beneath(target: str):
    """Components of an absolute ``target`` below the root, or None when it is outside."""
    for candidate in (os.path.normpath(target), os.path.realpath(target)):
        if candidate == ROOT:
            return []
        if candidate.startswith(ROOT + os.sep):
            return candidate[len(ROOT) + 1:].split(os.sep)
    return None


def _link_target(dir_fd: int, name: str):
    try:
        return os.readlink(name, dir_fd=dir_fd)
    except OSError:             # not a link (any more), or gone
        return None


def _walk(path: str, final, make_parents: bool = False):
    """Walk ``path`` from the root and return ``final(dir_fd, name, where)``.

    ``final`` gets the descriptor of the last folder, the last component's
    name (None when the path names that folder itself) and the location
    relative to the root; it opens ``name`` with ``O_NOFOLLOW`` and lets the
    error out when it finds a link, which is then followed here.  Missing
    folders are created when ``make_parents`` (then the walk starts over).
    """
    _check_path(path)
    first = path.split("/")
    if os.path.isabs(path):
        first = _beneath(path)
        if first is None:
            raise PermissionError(f"path is outside the working directory: {path}")
    try:
        for _attempt in range(RETRIES):
            opened = []         # descriptors of the folders below the root, in order
            names = []          # their names
            missing = []        # folders named below the last one that do not exist
            todo = list(reversed(first))
            links = changes = 0
            named = False       # the last component is a name (not "..")
            try:
                while todo:
                    part = todo.pop()
                    if part in ("", "."):
                        continue
                    if part == "..":
                        named = False
                        if missing:
                            missing.pop()
                        elif names:
                            names.pop()
                            os.close(opened.pop())
                        else:
                            raise PermissionError(f"path is outside the working directory: {path}")
                        continue
                    named = True
                    if missing:
                        missing.append(part)
                        continue
                    here = opened[-1] if opened else ROOT_FD
                    last = all(p in ("", ".") for p in todo)
                    try:
                        if last:
                            return final(here, part, "/".join(names + [part]))
                        fd = os.open(part, _DIR, dir_fd=here)
                    except OSError as exc:
                        if exc.errno == errno.ENOENT and not last:
                            missing.append(part)
                            continue
                        if exc.errno not in (errno.ELOOP, errno.ENOTDIR, errno.EEXIST):
                            raise
                        target = _link_target(here, part)
                        if target is None:
                            if exc.errno in (errno.ENOTDIR, errno.ELOOP) and changes < MAX_LINKS:
                                changes += 1        # was a link a moment ago: look again
                                todo.append(part)
                                continue
                            raise
                        links += 1
                        if links > MAX_LINKS:
                            raise OSError(errno.ELOOP, "too many levels of symbolic links") from None
                        if os.path.isabs(target):
                            inside = _beneath(target)
                            if inside is None:
                                raise PermissionError(f"path is outside the working directory: {path}") from None
                            for fd in opened:
                                os.close(fd)
                            opened.clear()
                            names.clear()
                            target_parts = inside
                        else:
                            target_parts = target.split("/")
                        todo.extend(reversed(target_parts))
                        continue
                    opened.append(fd)
                    names.append(part)
                if not missing:
                    return final(opened[-1] if opened else ROOT_FD, None, "/".join(names) or ".")
                if not make_parents or not named:
                    raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), path)
                here = opened[-1] if opened else ROOT_FD
                for folder in missing[:-1]:
                    try:
                        os.mkdir(folder, dir_fd=here)
                    except FileExistsError:
                        pass
                    try:
                        fd = os.open(folder, _DIR, dir_fd=here)
                    except (NotADirectoryError, FileNotFoundError):
                        break           # changed meanwhile: the next walk sees what is there
                    opened.append(fd)
                    here = fd
            finally:
                for fd in opened:
                    os.close(fd)
        raise OSError(errno.EAGAIN, "the path kept changing while it was walked", path)
    except OSError as exc:
        if exc.errno is not None and exc.filename != path:   # name the path the caller gave
            raise type(exc)(exc.errno, exc.strerror, path) from None
        raise


def _open_regular(dir_fd: int, name, path: str, flags: int, mode: int = 0o666):
    """Open the regular file ``name`` below ``dir_fd`` without following a link."""
    if name is None:
        raise IsADirectoryError(f"is a directory: {path}")
    fd = os.open(name, flags | _FILE, mode, dir_fd=dir_fd)
    try:
        info = os.fstat(fd)
        if stat.S_ISDIR(info.st_mode):
            raise IsADirectoryError(f"is a directory: {path}")
        if not stat.S_ISREG(info.st_mode):
            raise ValueError(f"not a regular file: {path}")
    except BaseException:
        os.close(fd)
        raise
    return fd, info


def _refuse_special(dir_fd: int, name: str, path: str) -> None:
    """Refuse an existing folder or special file before opening it for writing."""
    info = os.stat(name, dir_fd=dir_fd, follow_symlinks=False)
    if stat.S_ISDIR(info.st_mode):
        raise IsADirectoryError(f"is a directory: {path}")
    if not stat.S_ISREG(info.st_mode) and not stat.S_ISLNK(info.st_mode):
        raise ValueError(f"not a regular file: {path}")


def _write_all(fd: int, data: bytes, offset=None) -> None:
    view = memoryview(data)
    while view:
        done = os.write(fd, view) if offset is None else os.pwrite(fd, view, offset)
        if offset is not None:
            offset += done
        view = view[done:]


def do_read(command: dict) -> dict:
    path = get_arg(command, "path", str)
    offset = get_number(command, "offset", 0, minimum=0, integer=True)
    length = get_number(command, "length", None, minimum=0, integer=True)

    def final(dir_fd, name, where):
        fd, info = _open_regular(dir_fd, name, path, os.O_RDONLY)
        size = info.st_size
        end_wanted = size if length is None else min(size, offset + length)
        want = max(0, end_wanted - offset)
        with open(fd, "rb") as handle:
            handle.seek(offset)
            data = handle.read(min(want, TEXT_BUDGET + 4))
        return where, size, end_wanted, want, data

    where, size, end_wanted, want, data = _walk(path, final)
    import codecs
    everything = len(data) >= want
    text = codecs.getincrementaldecoder("utf-8")("surrogateescape").decode(data, final=everything)
    kept = text[:fit_prefix(text, TEXT_BUDGET)]
    raw = kept.encode("utf-8", "surrogateescape")
    content = raw.decode("utf-8", "replace")
    end = offset + len(raw) if want else min(offset, size)
    truncated = end < end_wanted
    return success({
        "path": where,
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
    data = get_arg(command, "content", str).encode("utf-8")

    def final(dir_fd, name, where):
        created = True
        try:
            fd, _info = _open_regular(dir_fd, name, path, os.O_WRONLY | os.O_CREAT | os.O_EXCL)
        except FileExistsError:
            created = False
            _refuse_special(dir_fd, name, path)
            fd, _info = _open_regular(dir_fd, name, path,
                                      os.O_WRONLY | (os.O_APPEND if append else 0))
        try:
            if not append and not created:
                os.ftruncate(fd, 0)
            _write_all(fd, data)
            size = os.fstat(fd).st_size
        finally:
            os.close(fd)
        return {"path": where, "bytes_written": len(data), "created": created, "size": size}

    return success(_walk(path, final, make_parents=True))


def do_replace(command: dict) -> dict:
    path = get_arg(command, "path", str)
    old = get_arg(command, "old", str)
    new = get_arg(command, "new", str)
    count = get_number(command, "count", None, minimum=1, integer=True)
    if not old:
        raise ValueError("'old' must not be empty")

    def final(dir_fd, name, where):
        if name is not None:
            _refuse_special(dir_fd, name, path)
        fd, _info = _open_regular(dir_fd, name, path, os.O_RDWR)
        try:
            with open(fd, "rb", closefd=False) as handle:
                text = handle.read().decode("utf-8")
            occurrences = text.count(old)
            if not occurrences:
                raise ValueError(f"'old' text not found in {where}")
            done = occurrences if count is None else min(count, occurrences)
            data = text.replace(old, new, done).encode("utf-8")
            _write_all(fd, data, 0)
            os.ftruncate(fd, len(data))
        finally:
            os.close(fd)
        return {"path": where, "replacements": done, "occurrences": occurrences, "size": len(data)}

    return success(_walk(path, final))


def _entry(dir_fd: int, name: str, shown: str) -> dict:
    info = os.stat(name, dir_fd=dir_fd, follow_symlinks=False)
    mode = info.st_mode
    if stat.S_ISLNK(mode):
        kind = "symlink"
    elif stat.S_ISDIR(mode):
        kind = "dir"
    elif stat.S_ISREG(mode):
        kind = "file"
    else:
        kind = "other"
    return {"name": shown, "type": kind, "size": info.st_size}


def do_list(command: dict) -> dict:
    path = get_arg(command, "path", str, ".")
    recursive = get_arg(command, "recursive", bool, False)
    limit = get_number(command, "max_entries", DEFAULT_MAX_ENTRIES, minimum=1, integer=True)
    limit = min(limit, MAX_ENTRIES)

    def final(dir_fd, name, where):
        flags = os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC
        fd = os.open(name or ".", flags | (os.O_NOFOLLOW if name else 0), dir_fd=dir_fd)
        try:
            entries = []
            truncated = False
            if recursive:
                for folder, dirs, files, folder_fd in os.fwalk(".", dir_fd=fd):
                    dirs.sort()
                    for item in sorted(dirs + files):
                        if len(entries) >= limit:
                            truncated = True
                            break
                        entries.append(_entry(folder_fd, item, os.path.normpath(os.path.join(folder, item))))
                    if truncated:
                        break
            else:
                names = sorted(os.listdir(fd))
                truncated = len(names) > limit
                for item in names[:limit]:
                    entries.append(_entry(fd, item, item))
        finally:
            os.close(fd)
        return {"path": where, "entries": entries, "count": len(entries), "truncated": truncated}

    return success(_walk(path, final))


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


def main() -> None:
    serve(handle)
