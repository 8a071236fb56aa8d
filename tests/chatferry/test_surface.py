"""What the module and its class look like after import, and the argument
rule of the methods that take text and metadata."""
import asyncio
import gc
import inspect
import logging
import os
import subprocess
import sys
import types
import warnings

import pytest

DOC_LINES = [
    "Telegram ↔ Agent bridge — makes Telegram a full two-way interface to Tovana.",
    "",
    "Flow:",
    "  1. User sends message to the Telegram bot",
    "  2. Polling loop in TelegramConnector picks it up",
    "  3. This bridge receives it via the on_message callback",
    '  4. Sends an immediate "thinking..." indicator to Telegram',
    "  5. Routes it through the Standard Agent (same as WebSocket chat)",
    "  6. Collects the agent's text response events",
    "  7. Sends the response back to the user via Telegram",
    "  8. Also broadcasts events to WebSocket so the UI stays in sync",
    "  9. Screenshots and files generated during processing are sent as photos/docs",
    "",
    "The bridge processes messages sequentially via a queue to prevent",
    "concurrent agent calls from interfering with each other.",
]

GLOBALS = ["__doc__", "asyncio", "base64", "logging", "tempfile", "Path", "Any", "logger",
           "Chatferry", "_bridge", "get_chatferry"]

TEXT_METADATA = {"text": "str", "metadata": "dict[str, Any]", "return": "None"}

# name: (kind, docstring, annotations)
METHODS = {
    "__init__": ("plain", None, {"return": "None"}),
    "start": ("coroutine", "Start the bridge — begins processing incoming Telegram messages.", {"return": "None"}),
    "stop": ("coroutine", "Stop the bridge.", {"return": "None"}),
    "is_running": ("property", None, {"return": "bool"}),
    "_get_telegram": ("plain", "Get the Telegram connector from the server state.", {}),
    "_get_agent": ("plain", "Get the Tovana agent from the server state.", {}),
    "_on_telegram_message": ("coroutine", "Callback when a Telegram message arrives — queue it for processing.",
                             TEXT_METADATA),
    "_process_queue": ("coroutine", "Worker that processes queued Telegram messages one at a time.",
                       {"return": "None"}),
    "_handle_message": ("coroutine", "Route a Telegram message through the agent and send the response back.",
                        TEXT_METADATA),
    "_send_reply": ("coroutine", "Send a reply back to the Telegram user.", TEXT_METADATA),
    "_send_screenshot": ("coroutine", "Decode a base64 screenshot and send it as a photo to Telegram.",
                         {"image_base64": "str", "chat_id": "str | int | None", "telegram": "Any",
                          "return": "bool"}),
}

WRONG = "Argument '{}' has incorrect type (expected {}, got {})"


def test_module_docstring_has_its_fifteen_lines(cf):
    assert cf.__doc__ == "\n".join(DOC_LINES) + "\n"
    lines = cf.__doc__.split("\n")
    assert len(lines) == 16 and lines[-1] == ""
    assert lines[1] == lines[12] == ""
    assert all(line.startswith("  ") for line in lines[3:12])


def test_globals_in_order_with_their_values(cf):
    import pathlib
    import typing

    names = [n for n in vars(cf) if n in GLOBALS]
    assert names == GLOBALS
    assert [n for n in vars(cf) if not n.startswith("__")] == GLOBALS[1:]
    import base64
    import tempfile

    assert (cf.asyncio, cf.base64, cf.logging, cf.tempfile) == (asyncio, base64, logging, tempfile)
    assert cf.Path is pathlib.Path and cf.Any is typing.Any
    assert cf.logger is logging.getLogger("tovana.connectors.chatferry")
    assert cf.__name__ == "tovana.connectors.chatferry"


def test_fresh_import_touches_no_host_module_and_has_no_bridge(cf):
    pkg_root = os.path.dirname(os.path.dirname(os.path.dirname(cf.__file__)))
    code = (
        "import sys, tovana.connectors.chatferry as m\n"
        "assert m._bridge is None\n"
        "assert not [n for n in sys.modules if n.startswith('tovana.gateway')]\n"
        "b = m.get_chatferry()\n"
        "assert m._bridge is b and m.get_chatferry() is b\n"
        "print('ok')\n"
    )
    env = dict(os.environ, PYTHONPATH=pkg_root)
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert out.stdout == "ok\n", out.stderr


def test_class_is_an_ordinary_class(cf):
    C = cf.Chatferry
    assert type(C) is type and C.__bases__ == (object,)
    assert C.__module__ == "tovana.connectors.chatferry" and C.__qualname__ == "Chatferry"
    assert C.__doc__ == "Routes Telegram messages through the Tovana agent and sends responses back."
    defined = [n for n in vars(C) if n in METHODS]
    assert defined == list(METHODS)
    b = C()
    b.extra = 1  # an ordinary attribute dictionary
    assert vars(b)["extra"] == 1


@pytest.mark.parametrize("name", list(METHODS))
def test_each_method_kind_docstring_qualname_and_annotations(cf, name):
    kind, doc, annotations = METHODS[name]
    member = vars(cf.Chatferry)[name]
    if kind == "property":
        assert isinstance(member, property) and member.fset is None and member.fdel is None
        func = member.fget
    else:
        func = member
        assert inspect.iscoroutinefunction(func) == (kind == "coroutine")
    assert func.__name__ == name
    assert func.__qualname__ == "Chatferry." + name
    assert func.__module__ == "tovana.connectors.chatferry"
    assert func.__doc__ == doc
    assert func.__annotations__ == annotations
    assert all(type(v) is str for v in func.__annotations__.values())
    params = list(inspect.signature(func).parameters.values())
    assert params[0].name == "self"
    assert [p.name for p in params[1:]] == [k for k in annotations if k != "return"]
    assert all(p.default is inspect.Parameter.empty for p in params)
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params)


def test_signatures_and_the_accessor(cf):
    assert str(inspect.signature(cf.Chatferry._send_screenshot)) == (
        "(self, image_base64: 'str', chat_id: 'str | int | None', telegram: 'Any') -> 'bool'"
    )
    assert str(inspect.signature(cf.Chatferry._handle_message)) == (
        "(self, text: 'str', metadata: 'dict[str, Any]') -> 'None'"
    )
    assert str(inspect.signature(cf.Chatferry().start)) == "() -> 'None'"
    f = cf.get_chatferry
    assert (f.__name__, f.__qualname__, f.__module__) == ("get_chatferry", "get_chatferry",
                                                          "tovana.connectors.chatferry")
    assert f.__doc__ == "Get or create the singleton Chatferry."
    assert f.__annotations__ == {"return": "Chatferry"}
    assert str(inspect.signature(f)) == "() -> 'Chatferry'"
    assert not inspect.iscoroutinefunction(f)


def test_new_bridge_has_exactly_its_four_attributes(cf):
    b = cf.Chatferry()
    assert list(vars(b)) == ["_running", "_processing", "_queue", "_worker_task"]
    assert b._running is False and b._processing is False and b._worker_task is None
    assert type(b._queue) is asyncio.Queue and b._queue.maxsize == 0 and b._queue.empty()
    assert cf.Chatferry()._queue is not b._queue
    with pytest.raises(TypeError, match=r"Chatferry.__init__\(\) takes 1 positional argument but 2 were given"):
        cf.Chatferry(1)


def test_queue_is_made_through_the_module_global_asyncio(cf, monkeypatch):
    made = []

    def Queue(*args, **kwargs):
        made.append((args, kwargs))
        return "a queue"

    monkeypatch.setattr(cf, "asyncio", types.SimpleNamespace(Queue=Queue))
    assert cf.Chatferry()._queue == "a queue" and made == [((), {})]


class Str(str):
    pass


class Dict(dict):
    pass


def calls(b):
    """Every method call that takes checked arguments, with a good set of them."""
    return {
        "_on_telegram_message": lambda **kw: b._on_telegram_message(**{"text": "t", "metadata": {}, **kw}),
        "_handle_message": lambda **kw: b._handle_message(**{"text": "t", "metadata": {}, **kw}),
        "_send_reply": lambda **kw: b._send_reply(**{"text": "t", "metadata": {}, **kw}),
        "_send_screenshot": lambda **kw: b._send_screenshot(
            **{"image_base64": "", "chat_id": None, "telegram": None, **kw}),
    }


BAD = [
    ("text", None, "str", "NoneType"),
    ("text", b"t", "str", "bytes"),
    ("text", 5, "str", "int"),
    ("metadata", None, "dict", "NoneType"),
    ("metadata", [("chat_id", 1)], "dict", "list"),
    ("metadata", types.MappingProxyType({}), "dict", "mappingproxy"),
]


@pytest.mark.parametrize("method", ["_on_telegram_message", "_handle_message", "_send_reply"])
@pytest.mark.parametrize("param, value, expected, got", BAD)
def test_wrong_argument_types_fail_at_the_call(cf, host, method, param, value, expected, got):
    b = cf.Chatferry()
    gc.collect()
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a coroutine left unawaited would warn
        with pytest.raises(TypeError) as info:
            calls(b)[method](**{param: value})
        gc.collect()
    assert str(info.value) == WRONG.format(param, expected, got)
    assert not getattr(info.value, "__notes__", None)
    assert host.get_state_calls == 0 and b._queue.empty()


@pytest.mark.parametrize("method", ["_on_telegram_message", "_handle_message", "_send_reply"])
def test_subclass_instances_are_refused_with_a_note(cf, method):
    b = cf.Chatferry()
    for param, value, expected in [("text", Str("t"), "str"), ("metadata", Dict(), "dict")]:
        with pytest.raises(TypeError) as info:
            calls(b)[method](**{param: value})
        assert str(info.value) == WRONG.format(param, expected, type(value).__name__)
        assert len(info.value.__notes__) == 1 and "ubclass" in info.value.__notes__[0]


def test_screenshot_checks_only_the_image_text(cf):
    b = cf.Chatferry()
    with pytest.raises(TypeError) as info:
        b._send_screenshot(b"aGk=", 1, None)
    assert str(info.value) == WRONG.format("image_base64", "str", "bytes")
    with pytest.raises(TypeError) as info:
        b._send_screenshot(Str("aGk="), 1, None)
    assert info.value.__notes__
    # chat_id and telegram take anything.
    for chat_id, telegram in [(None, None), ("c", object()), (1.5, 3)]:
        c = b._send_screenshot("aGk=", chat_id, telegram)
        assert asyncio.iscoroutine(c)
        c.close()


def test_argument_counts_and_keywords(cf):
    b = cf.Chatferry()
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'metadata'"):
        b._send_reply("t")
    with pytest.raises(TypeError, match="takes 3 positional arguments but 4 were given"):
        b._handle_message("t", {}, 1)
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        b.start(1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'chat'"):
        b._send_reply("t", {}, chat=1)
    with pytest.raises(TypeError):
        b._get_telegram(1)
    with pytest.raises(TypeError, match=r"get_chatferry\(\) takes 0 positional arguments but 1 was given"):
        cf.get_chatferry(1)
    c = b._send_reply(metadata={}, text="t")  # by keyword
    assert c.__qualname__ == "Chatferry._send_reply"
    c.close()


def test_is_running_is_a_read_only_property(cf):
    b = cf.Chatferry()
    assert b.is_running is False
    b._running = True
    assert b.is_running is True
    with pytest.raises(AttributeError):
        b.is_running = False
    with pytest.raises(TypeError):
        b.is_running()
