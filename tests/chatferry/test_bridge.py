"""Host look-ups and the two senders: text replies and screenshots."""
import asyncio
import base64
import binascii
import os
import sys
import tempfile
import types

import pytest

import fakes
from fakes import run

PNG = base64.b64decode(
    "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8BQDwAEhQGAhKmMIQAAAABJRU5ErkJggg=="
)
PNG64 = base64.b64encode(PNG).decode()


class Interrupt(BaseException):
    """Not an Exception: nothing may swallow it."""


# ---- _get_telegram / _get_agent ------------------------------------------------


def test_lookups_find_the_host_objects_afresh_each_time(cf, host, logs):
    b = cf.Chatferry()
    assert b._get_telegram() is host.telegram
    assert b._get_agent() is host.agent
    assert host.get_state_calls == 2
    # Changes in the host are seen at the next call: nothing is cached.
    other = fakes.Agent()
    host.state.entries["agent"] = other
    assert b._get_agent() is other
    host.telegram.is_configured = False
    assert b._get_telegram() is None
    host.telegram.is_configured = True
    assert b._get_telegram() is host.telegram
    assert logs.lines() == []


def test_server_module_is_imported_at_each_lookup(cf, host, monkeypatch):
    b = cf.Chatferry()
    assert b._get_agent() is host.agent
    replacement = types.ModuleType("tovana.gateway.server")
    replacement.get_state = lambda: fakes.ServerState({"agent": "another agent"})
    monkeypatch.setitem(sys.modules, "tovana.gateway.server", replacement)
    assert b._get_agent() == "another agent"


@pytest.mark.parametrize(
    "entries",
    [
        {},  # no connector manager
        {"connector_manager": None},
        {"connector_manager": fakes.ConnectorManager()},  # no Telegram connector
        {"connector_manager": fakes.ConnectorManager({"telegram": 0})},
    ],
)
def test_missing_connector_gives_none_silently(cf, host, logs, entries):
    host.state.entries = entries
    assert cf.Chatferry()._get_telegram() is None
    assert logs.lines() == []


def test_is_configured_is_read_not_called_and_only_on_a_true_connector(cf, host, logs):
    class Falsy:
        def __bool__(self):
            return False

        @property
        def is_configured(self):
            raise AssertionError("read on a false connector")

    host.manager.connectors["telegram"] = Falsy()
    assert cf.Chatferry()._get_telegram() is None
    # A method object is true, so a connector whose `is_configured` is a
    # method counts as configured: the attribute is not called.
    host.manager.connectors["telegram"] = host.telegram
    host.telegram.is_configured = lambda: False
    assert cf.Chatferry()._get_telegram() is host.telegram
    assert logs.lines() == []


def failing_lookups():
    def get_state_fails(host, mp):
        def get_state():
            raise RuntimeError("state down")

        mp.setattr(sys.modules["tovana.gateway.server"], "get_state", get_state)
        return "state down"

    def state_get_fails(host, mp):
        host.state.fail = KeyError("connector_manager")
        return "'connector_manager'"

    def manager_get_fails(host, mp):
        host.manager.fail = ValueError("manager broken")
        return "manager broken"

    def is_configured_fails(host, mp):
        class Broken:
            @property
            def is_configured(self):
                raise OSError("cannot tell")

        host.manager.connectors["telegram"] = Broken()
        return "cannot tell"

    return [get_state_fails, state_get_fails, manager_get_fails, is_configured_fails]


@pytest.mark.parametrize("breakage", failing_lookups(), ids=lambda f: f.__name__)
def test_failing_telegram_lookup_is_logged_and_gives_none(cf, host, logs, monkeypatch, breakage):
    text = breakage(host, monkeypatch)
    assert cf.Chatferry()._get_telegram() is None
    assert logs.lines() == [("ERROR", "Failed to get Telegram connector: " + text)]
    assert all(r.exc_info is None for r in logs.records)


def test_failing_agent_lookup_is_logged_and_gives_none(cf, host, logs):
    host.state.fail = RuntimeError("state down")
    assert cf.Chatferry()._get_agent() is None
    assert logs.lines() == [("ERROR", "Failed to get agent: state down")]


def test_agent_lookup_returns_the_entry_unchanged(cf, host, logs):
    del host.state.entries["agent"]
    assert cf.Chatferry()._get_agent() is None
    host.state.entries["agent"] = 0  # no truth test
    assert cf.Chatferry()._get_agent() == 0
    assert logs.lines() == []


def test_missing_host_module_or_name(cf, host, logs, monkeypatch):
    fakes.uninstall(monkeypatch)
    b = cf.Chatferry()
    assert b._get_telegram() is None and b._get_agent() is None
    assert logs.lines() == [
        ("ERROR", "Failed to get Telegram connector: No module named 'tovana.gateway'"),
        ("ERROR", "Failed to get agent: No module named 'tovana.gateway'"),
    ]
    # A server module without get_state fails as `from ... import` does.
    logs.clear()
    host2 = fakes.Host()
    fakes.install(monkeypatch, host2)
    server = sys.modules["tovana.gateway.server"]
    monkeypatch.delattr(server, "get_state")
    with pytest.raises(ImportError) as info:
        exec("from tovana.gateway.server import get_state", {})
    assert b._get_agent() is None
    assert logs.lines() == [("ERROR", f"Failed to get agent: {info.value}")]


def test_lookups_let_non_exceptions_through(cf, host):
    host.state.fail = Interrupt()
    b = cf.Chatferry()
    with pytest.raises(Interrupt):
        b._get_telegram()
    with pytest.raises(Interrupt):
        b._get_agent()


# ---- _send_reply ---------------------------------------------------------------


def test_reply_goes_to_the_metadata_chat(cf, host, logs):
    host.telegram.message_result = {"success": True, "message_ids": [5, 6]}
    assert run(cf.Chatferry()._send_reply("hi", {"chat_id": 42})) is None
    assert host.telegram.calls == [("send_message", ("hi",), {"chat_id": 42, "parse_mode": ""})]
    assert logs.lines() == [("INFO", "Reply sent to Telegram (msg_ids=[5, 6])")]
    # The record names the module's own code, not the caller's frame.
    (record,) = logs.records
    assert (record.pathname, record.funcName) == ("connectors/chatferry/bridge.cpp", "Chatferry._send_reply")


@pytest.mark.parametrize("metadata", [{}, {"chat_id": 0}, {"chat_id": ""}, {"chat_id": None}])
def test_reply_without_chat_id_goes_to_the_default_chat(cf, host, logs, metadata):
    host.telegram.message_result = {"success": 1}
    run(cf.Chatferry()._send_reply("hi", metadata))
    assert host.telegram.of("send_message") == [(("hi",), {"chat_id": "chat-default", "parse_mode": ""})]
    assert logs.lines() == [("INFO", "Reply sent to Telegram (msg_ids=None)")]


def test_reply_with_no_chat_at_all(cf, host, logs):
    host.telegram._chat_id = 0
    run(cf.Chatferry()._send_reply("hi", {"chat_id": ""}))
    assert host.telegram.of("send_message") == []
    assert logs.lines() == [("ERROR", "Cannot send reply — no chat_id")]


def test_reply_without_a_connector(cf, host, logs):
    host.telegram.is_configured = False
    run(cf.Chatferry()._send_reply("hi", {"chat_id": 1}))
    assert host.telegram.calls == []
    assert logs.lines() == [("ERROR", "Cannot send reply — Telegram connector not available")]


@pytest.mark.parametrize("result, text", [({"success": False}, "None"), ({"message": "too long"}, "too long"),
                                          ({"success": 0, "message": 413}, "413")])
def test_reported_send_failure(cf, host, logs, result, text):
    host.telegram.message_result = result
    assert run(cf.Chatferry()._send_reply("hi", {"chat_id": 1})) is None
    assert logs.lines() == [("ERROR", "Failed to send Telegram reply: " + text)]


def test_long_text_goes_whole_in_one_call(cf, host):
    text = "".join(chr(0x41 + i % 26) for i in range(10_000)) + " *_[`"
    run(cf.Chatferry()._send_reply(text, {"chat_id": 1}))
    assert host.telegram.replies() == [text]


@pytest.mark.parametrize("case", ["raises", "no get", "no _chat_id"])
def test_connector_failures_reach_the_caller_unlogged(cf, host, logs, case):
    metadata = {"chat_id": 1}
    if case == "raises":
        error = ConnectionError("offline")
        host.telegram.failures["send_message"] = error
    elif case == "no get":
        host.telegram.message_result = ["ok"]
        error = AttributeError
    else:
        del host.telegram._chat_id
        metadata = {}
        error = AttributeError
    with pytest.raises(Exception) as info:
        run(cf.Chatferry()._send_reply("hi", metadata))
    if isinstance(error, BaseException):
        assert info.value is error
    else:
        assert isinstance(info.value, error)
    assert logs.lines() == []


def test_reply_looks_the_connector_up_through_the_object(cf, host):
    b = cf.Chatferry()
    other = fakes.TelegramConnector(chat_id="other")
    b._get_telegram = lambda: other
    run(b._send_reply("hi", {}))
    assert other.replies() == ["hi"] and host.telegram.calls == []


# ---- _send_screenshot ----------------------------------------------------------


@pytest.fixture
def tmpdir_for_files(monkeypatch, tmp_path):
    """Temporary files of the module go to a directory of the test's own."""
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    return tmp_path


def test_screenshot_sent_from_a_temporary_png_that_is_removed(cf, host, logs, tmpdir_for_files):
    telegram = host.telegram
    ok = run(cf.Chatferry()._send_screenshot(PNG64, 99, telegram))
    assert ok is True
    (path, existed, data), = telegram.photos
    assert existed and data == PNG and path.endswith(".png")
    assert os.path.dirname(path) == str(tmpdir_for_files)
    assert os.path.basename(path).startswith(tempfile.gettempprefix())
    assert telegram.of("send_photo") == [((path,), {"caption": "📸 Screenshot", "chat_id": 99})]
    assert not os.path.exists(path) and list(tmpdir_for_files.iterdir()) == []
    assert logs.lines() == [("INFO", "Screenshot sent to Telegram")]


def test_screenshot_uses_the_connector_passed_in(cf, host, tmpdir_for_files):
    other = fakes.TelegramConnector()
    host.telegram.is_configured = False  # no lookup is involved
    assert run(cf.Chatferry()._send_screenshot(PNG64, None, other)) is True
    assert other.of("send_photo")[0][1] == {"caption": "📸 Screenshot", "chat_id": None}
    assert host.get_state_calls == 0


def test_screenshot_reported_failure(cf, host, logs, tmpdir_for_files):
    host.telegram.photo_result = {"success": False, "message": "photo too small"}
    assert run(cf.Chatferry()._send_screenshot(PNG64, 1, host.telegram)) is False
    assert logs.lines() == [("WARNING", "Failed to send screenshot to Telegram: photo too small")]
    assert list(tmpdir_for_files.iterdir()) == []


def test_undecodable_text_makes_no_file(cf, host, logs, tmpdir_for_files):
    with pytest.raises(binascii.Error) as info:
        base64.b64decode("abcde")
    assert run(cf.Chatferry()._send_screenshot("abcde", 1, host.telegram)) is False
    assert logs.lines() == [("ERROR", f"Failed to send screenshot to Telegram: {info.value}")]
    assert host.telegram.calls == [] and list(tmpdir_for_files.iterdir()) == []


@pytest.mark.parametrize("image, data", [("", b""), ("aG k=\n!", b"hi"), (PNG64, PNG)])
def test_decoding_is_lenient_and_empty_images_are_sent(cf, host, tmpdir_for_files, image, data):
    assert run(cf.Chatferry()._send_screenshot(image, "c", host.telegram)) is True
    assert host.telegram.photos[0][1:] == (True, data)


@pytest.mark.parametrize("case", ["raises", "no get"])
def test_send_photo_failure_removes_the_file(cf, host, logs, tmpdir_for_files, case):
    if case == "raises":
        host.telegram.failures["send_photo"] = ConnectionError("upload failed")
        text = "upload failed"
    else:
        host.telegram.photo_result = None
        text = "'NoneType' object has no attribute 'get'"
    assert run(cf.Chatferry()._send_screenshot(PNG64, 1, host.telegram)) is False
    assert host.telegram.photos[0][1] is True
    assert list(tmpdir_for_files.iterdir()) == []
    assert logs.lines() == [("ERROR", "Failed to send screenshot to Telegram: " + text)]


def test_failing_removal_is_reported(cf, host, logs, monkeypatch, tmpdir_for_files):
    class StuckPath(type(cf.Path())):
        def unlink(self, missing_ok=False):
            raise PermissionError("still in use")

    monkeypatch.setattr(cf, "Path", StuckPath)
    assert run(cf.Chatferry()._send_screenshot(PNG64, 1, host.telegram)) is False
    assert logs.lines() == [("INFO", "Screenshot sent to Telegram"),
                            ("ERROR", "Failed to send screenshot to Telegram: still in use")]


def test_removal_tolerates_a_file_already_gone(cf, host, logs, tmpdir_for_files):
    async def send_photo(path, caption=None, chat_id=None):
        os.unlink(path)
        return {"success": True}

    host.telegram.send_photo = send_photo
    assert run(cf.Chatferry()._send_screenshot(PNG64, 1, host.telegram)) is True
    assert logs.lines() == [("INFO", "Screenshot sent to Telegram")]


def test_cancelled_send_removes_the_file_and_passes_the_cancellation(cf, host, logs, tmpdir_for_files):
    async def main():
        host.telegram.gates["send_photo"] = asyncio.Event()
        task = asyncio.create_task(cf.Chatferry()._send_screenshot(PNG64, 1, host.telegram))
        await fakes.settle(lambda: host.telegram.photos)
        assert len(list(tmpdir_for_files.iterdir())) == 1
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    run(main())
    assert list(tmpdir_for_files.iterdir()) == []
    assert logs.lines() == []


def test_non_exceptions_pass_through_screenshot_sending(cf, host, logs, tmpdir_for_files):
    host.telegram.failures["send_photo"] = Interrupt()
    with pytest.raises(Interrupt):
        run(cf.Chatferry()._send_screenshot(PNG64, 1, host.telegram))
    assert list(tmpdir_for_files.iterdir()) == []
    assert logs.lines() == []


class FailingWrite:
    """A real temporary file whose single write fails."""

    made = []

    def __init__(self, **kwargs):
        self.kwargs = kwargs
        self._file = tempfile.NamedTemporaryFile(**kwargs)
        self.name = self._file.name
        self.exits = []
        FailingWrite.made.append(self)

    def __enter__(self):
        self._file.__enter__()
        return self

    def __exit__(self, *exc):
        self.exits.append(exc[0])
        return self._file.__exit__(*exc)

    def write(self, data):
        raise OSError(28, "No space left on device")


def test_file_whose_writing_failed_is_removed(cf, host, logs, monkeypatch, tmpdir_for_files):
    FailingWrite.made.clear()
    monkeypatch.setattr(cf, "tempfile", types.SimpleNamespace(NamedTemporaryFile=FailingWrite))
    assert run(cf.Chatferry()._send_screenshot(PNG64, 1, host.telegram)) is False
    made, = FailingWrite.made
    assert made.kwargs == {"suffix": ".png", "delete": False}
    assert made.exits == [OSError] and made._file.closed
    assert not os.path.exists(made.name) and list(tmpdir_for_files.iterdir()) == []
    assert host.telegram.calls == []
    assert logs.lines() == [("ERROR", "Failed to send screenshot to Telegram: [Errno 28] No space left on device")]


def test_failure_to_create_the_file(cf, host, logs, monkeypatch):
    def refuse(**kwargs):
        raise PermissionError("read-only")

    monkeypatch.setattr(cf, "tempfile", types.SimpleNamespace(NamedTemporaryFile=refuse))
    assert run(cf.Chatferry()._send_screenshot(PNG64, 1, host.telegram)) is False
    assert logs.lines() == [("ERROR", "Failed to send screenshot to Telegram: read-only")]


def test_module_globals_are_used_at_the_time_of_use(cf, host, monkeypatch, tmpdir_for_files):
    seen = []

    def b64decode(text):
        seen.append(text)
        return b"decoded"

    class Recorder:
        def __init__(self):
            self.lines = []

        def __getattr__(self, level):
            return lambda text: self.lines.append((level, text))

    logger = Recorder()
    monkeypatch.setattr(cf, "base64", types.SimpleNamespace(b64decode=b64decode))
    monkeypatch.setattr(cf, "logger", logger)
    assert run(cf.Chatferry()._send_screenshot("zz", 1, host.telegram)) is True
    assert seen == ["zz"] and host.telegram.photos[0][2] == b"decoded"
    assert logger.lines == [("info", "Screenshot sent to Telegram")]
