"""Worker that analyses Python source code with the ``ast`` module.

Command keys:
    path      file to analyse, relative to the worker's working directory
    source    source text to analyse instead of a file
    filename  name shown for ``source`` (default "<source>")

Exactly one of path and source must be given.  Files are decoded by their
encoding declaration, UTF-8 by default; a file that cannot be decoded is an
error answer.

Complexity (McCabe cyclomatic, per function) is 1 plus one for each:
``if`` / ``elif``, ``for`` / ``async for``, ``while``, ``except`` handler,
conditional expression (``a if c else b``), ``case`` of a ``match``, ``for``
and ``if`` clause of a comprehension, and each extra operand of a boolean
operator (``a and b or c`` adds 2).  ``with``, ``try``, ``else``,
``finally`` and ``assert`` add nothing.  The body of a nested function or
class counts for that function only; a lambda counts for the function that
contains it.
"""

from __future__ import annotations

import ast
import os
import stat

from _protocol import failure, get_arg, serve, success

MAX_FILE_BYTES = 16 * 1024 * 1024

_BRANCHES = (ast.If, ast.For, ast.AsyncFor, ast.While, ast.IfExp, ast.ExceptHandler, ast.match_case)
_SCOPES = (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)


def complexity(function: ast.AST) -> int:
    """Cyclomatic complexity of one function (see the module docstring)."""
    total = 1
    pending = list(function.body)
    while pending:
        node = pending.pop()
        if isinstance(node, _SCOPES):
            continue
        if isinstance(node, _BRANCHES):
            total += 1
        elif isinstance(node, ast.BoolOp):
            total += len(node.values) - 1
        elif isinstance(node, ast.comprehension):
            total += 1 + len(node.ifs)
        pending.extend(ast.iter_child_nodes(node))
    return total


def argument_names(args: ast.arguments) -> list:
    names = [a.arg for a in args.posonlyargs] + [a.arg for a in args.args]
    if args.vararg is not None:
        names.append("*" + args.vararg.arg)
    names += [a.arg for a in args.kwonlyargs]
    if args.kwarg is not None:
        names.append("**" + args.kwarg.arg)
    return names


class Collector(ast.NodeVisitor):
    """Collects functions and classes in source order, with qualified names."""

    def __init__(self):
        self.scopes = []        # (name, is_function)
        self.functions = []
        self.classes = []

    def qualified(self, name: str) -> str:
        parts = []
        for scope, is_function in self.scopes:
            parts.append(scope)
            if is_function:
                parts.append("<locals>")
        return ".".join(parts + [name])

    def visit_FunctionDef(self, node):
        self.functions.append({
            "name": node.name,
            "qualname": self.qualified(node.name),
            "line": node.lineno,
            "end_line": node.end_lineno,
            "args": argument_names(node.args),
            "complexity": complexity(node),
            "is_async": isinstance(node, ast.AsyncFunctionDef),
            "is_method": bool(self.scopes) and not self.scopes[-1][1],
            "decorators": [ast.unparse(d) for d in node.decorator_list],
        })
        self.scopes.append((node.name, True))
        self.generic_visit(node)
        self.scopes.pop()

    visit_AsyncFunctionDef = visit_FunctionDef

    def visit_ClassDef(self, node):
        self.classes.append({
            "name": node.name,
            "qualname": self.qualified(node.name),
            "line": node.lineno,
            "end_line": node.end_lineno,
            "bases": [ast.unparse(b) for b in node.bases],
            "methods": [n.name for n in node.body
                        if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef))],
            "decorators": [ast.unparse(d) for d in node.decorator_list],
        })
        self.scopes.append((node.name, False))
        self.generic_visit(node)
        self.scopes.pop()


def imported_modules(tree: ast.AST) -> list:
    """Modules the code imports, deduplicated, in the order they first appear.

    ``from . import a, b`` lists ``.a`` and ``.b`` (usually sibling modules);
    ``from ..pkg import x`` lists ``..pkg``.
    """
    nodes = [n for n in ast.walk(tree) if isinstance(n, (ast.Import, ast.ImportFrom))]
    nodes.sort(key=lambda n: (n.lineno, n.col_offset))
    seen = {}
    for node in nodes:
        if isinstance(node, ast.Import):
            names = [alias.name for alias in node.names]
        else:
            dots = "." * node.level
            if node.module:
                names = [dots + node.module]
            else:
                names = [dots + alias.name if alias.name != "*" else dots for alias in node.names]
        for name in names:
            seen.setdefault(name, None)
    return list(seen)


def count_lines(source: str) -> int:
    text = source.replace("\r\n", "\n").replace("\r", "\n")
    return text.count("\n") + (1 if text and not text.endswith("\n") else 0)


def read_source(path: str) -> str:
    info = os.stat(path)
    if stat.S_ISDIR(info.st_mode):
        raise IsADirectoryError(f"is a directory: {path}")
    if not stat.S_ISREG(info.st_mode):
        raise ValueError(f"not a regular file: {path}")
    if info.st_size > MAX_FILE_BYTES:
        raise ValueError(f"file too large to analyse: {info.st_size} bytes (limit {MAX_FILE_BYTES})")
    with open(path, "rb") as handle:
        data = handle.read(MAX_FILE_BYTES + 1)
    text = data.decode(source_encoding(data))
    return text[1:] if text.startswith("\ufeff") else text


def source_encoding(data: bytes) -> str:
    """The encoding that the source's declaration names; UTF-8 without one.

    Only a declaration (a ``coding`` cookie in the first two lines) needs the
    tokenizer's full rules; everything else is UTF-8, a byte-order mark
    included (the caller drops it).
    """
    first = data.find(b"\n")
    second = data.find(b"\n", first + 1) if first >= 0 else -1
    if b"coding" not in (data if second < 0 else data[:second]):
        return "utf-8"
    import io
    import tokenize
    try:
        encoding, _ = tokenize.detect_encoding(io.BytesIO(data).readline)
    except SyntaxError:     # a first line that is not UTF-8, or an unknown declaration
        encoding = "utf-8"
    return encoding


def analyse(source: str, filename: str) -> dict:
    import warnings
    with warnings.catch_warnings():     # e.g. invalid escape sequences: not our business
        warnings.simplefilter("ignore")
        tree = ast.parse(source, filename=filename)
    collector = Collector()
    collector.visit(tree)
    functions = collector.functions
    scores = [f["complexity"] for f in functions]
    imports = imported_modules(tree)
    lines = count_lines(source)
    return {
        "filename": filename,
        "lines": lines,
        "functions": functions,
        "classes": collector.classes,
        "imports": imports,
        "totals": {
            "lines": lines,
            "functions": len(functions),
            "classes": len(collector.classes),
            "imports": len(imports),
            "average_complexity": round(sum(scores) / len(scores), 2) if scores else 0.0,
            "max_complexity": max(scores, default=0),
        },
    }


def handle(command: dict) -> dict:
    path = get_arg(command, "path", str, None)
    source = get_arg(command, "source", str, None)
    if (path is None) == (source is None):
        raise ValueError("give exactly one of 'path' and 'source'")
    if path is not None:
        filename = path
        source = read_source(path)
    else:
        filename = get_arg(command, "filename", str, "<source>")
    try:
        return success(analyse(source, filename))
    except SyntaxError as exc:
        return failure(f"SyntaxError: {exc.msg} (line {exc.lineno})", {
            "filename": filename,
            "line": exc.lineno,
            "column": exc.offset,
            "text": (exc.text or "").rstrip("\n") or None,
        })


def main() -> None:
    serve(handle)
