"""One message through the agent: look-ups, typing indicators, WebSocket
mirroring, event dispatch and the composed reply."""
import asyncio
import base64
import enum
import tempfile

import pytest

import fakes
from fakes import Event, run, text, tool

NO_RESPONSE = "I received your message but had no response to give. Could you try rephrasing?"
NOT_INITIALIZED = ("⚠️ Tovana agent is not initialized. Please check the web UI and ensure an API key "
                   "is configured.")
PNG64 = base64.b64encode(b"\x89PNG\r\n\x1a\n tiny").decode()
META = {"chat_id": 7, "from_name": "Ana"}


class Interrupt(BaseException):
    pass


@pytest.fixture(autouse=True)
def own_tempdir(monkeypatch, tmp_path):
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))


def handle(cf, host, script=(), message="hello", metadata=None):
    """Run one handling with the agent streaming `script`; the replies sent."""
    host.agent.script = script
    b = cf.Chatferry()
    result = run(b._handle_message(message, dict(META if metadata is None else metadata)))
    assert result is None
    return host.telegram.replies()


def reply_of(cf, host, script, **kw):
    replies = handle(cf, host, script, **kw)
    assert len(replies) == 1, replies
    return replies[0]


# ---- before the agent runs ---------------------------------------------------------


def test_without_agent_the_user_is_told_and_nothing_else_happens(cf, host, logs):
    del host.state.entries["agent"]
    assert handle(cf, host) == [NOT_INITIALIZED]
    assert host.telegram.names() == ["send_message"]
    assert host.telegram.of("send_message")[0][1]["chat_id"] == 7
    assert host.ws.payloads == []
    assert logs.lines() == [("ERROR", "Agent not available for Telegram message processing"),
                            ("INFO", "Reply sent to Telegram (msg_ids=[101])")]


def test_both_lookups_come_first_through_the_object(cf, host, logs):
    b = cf.Chatferry()
    order = []
    b._get_agent = lambda: order.append("agent")  # a false value
    b._get_telegram = lambda: order.append("telegram")
    run(b._handle_message("hi", {}))
    # The not-initialized reply looks the connector up again, and finds none.
    assert order == ["agent", "telegram", "telegram"]
    assert logs.lines() == [("ERROR", "Agent not available for Telegram message processing"),
                            ("ERROR", "Cannot send reply — Telegram connector not available")]


def test_without_connector_nothing_is_sent(cf, host, logs):
    host.telegram.is_configured = False
    assert handle(cf, host, [text("never")]) == []
    assert host.agent.messages == [] and host.ws.payloads == [] and host.telegram.calls == []
    assert logs.lines() == [("ERROR", "Telegram connector not available")]


def test_lookup_failures_escape(cf, host):
    b = cf.Chatferry()

    def broken():
        raise LookupError("broken lookup")

    b._get_telegram = broken
    with pytest.raises(LookupError):
        run(b._handle_message("hi", {}))
    assert host.agent.messages == []


# ---- the whole path ------------------------------------------------------------------


def test_a_full_handling_in_order(cf, host, logs):
    events = [text("Hello "), tool("browser", "click"), tool("shell"),
              Event("tool_result", screenshot=True, image_base64=PNG64), Event("done"), text("and more")]
    reply = reply_of(cf, host, events)
    assert reply == "Hello \nand more\n\n📋 Actions:\n🔧 browser.click\n🔧 shell"
    assert host.agent.messages == ["hello"]
    tg = host.telegram
    assert tg.names() == ["send_typing", "send_typing", "send_typing", "send_photo", "send_message"]
    assert [kw for _, kw in tg.of("send_typing")] == [{"chat_id": 7}] * 3
    assert tg.of("send_photo")[0][1] == {"caption": "📸 Screenshot", "chat_id": 7}
    assert tg.of("send_message") == [((reply,), {"chat_id": 7, "parse_mode": ""})]
    # The incoming message, then every event unchanged, in order.
    first, *mirrored = host.ws.payloads
    assert list(first.items()) == [("type", "telegram_message"), ("content", "📱 **Telegram** (Ana): hello"),
                                   ("source", "telegram")]
    assert len(mirrored) == len(events)
    assert all(payload is event.dicts[0] for payload, event in zip(mirrored, events))
    assert logs.lines() == [
        ("INFO", "Sending message to agent for processing..."),
        ("DEBUG", "Agent text: Hello "),
        ("DEBUG", "Agent tool call: 🔧 browser.click"),
        ("DEBUG", "Agent tool call: 🔧 shell"),
        ("INFO", "Screenshot sent to Telegram"),
        ("INFO", "Agent processing complete"),
        ("DEBUG", "Agent text: and more"),
        ("INFO", f"Sending reply to Telegram ({len(reply)} chars)"),
        ("INFO", "Reply sent to Telegram (msg_ids=[101])"),
    ]


def test_metadata_without_chat_or_sender(cf, host):
    handle(cf, host, [tool("x")], metadata={})
    assert host.telegram.of("send_typing") == [((), {"chat_id": None})] * 2
    assert host.ws.payloads[0]["content"] == "📱 **Telegram** (User): hello"
    # The reply itself falls back to the connector's default chat.
    assert host.telegram.of("send_message")[0][1]["chat_id"] == "chat-default"
    host.ws.payloads.clear()
    handle(cf, host, [], metadata={"from_name": 12345})
    assert host.ws.payloads[0]["content"] == "📱 **Telegram** (12345): hello"


# ---- dispatch rows ---------------------------------------------------------------------


class Kind(str, enum.Enum):
    TEXT = "text"
    TOOL_CALL = "tool_call"


class RaisingMapping(dict):
    def get(self, *args):
        raise AssertionError("read")


@pytest.mark.parametrize(
    "events, reply",
    [
        ([text("")], NO_RESPONSE),
        ([Event("text")], NO_RESPONSE),
        ([Event("text", content=None)], NO_RESPONSE),
        ([Event(Kind.TEXT, content="enum text")], "enum text"),
        ([Event("unknown", content="hidden"), Event("tool_result", content="x")], NO_RESPONSE),
        ([Event("done"), text("after done")], "after done"),
        ([tool("plan"), tool("memory", "save")], NO_RESPONSE),
        ([Event("tool_call", tool="plan", arguments=RaisingMapping())], NO_RESPONSE),
        ([Event("tool_call")], "✅ Done!\n\n📋 Actions:\n🔧 "),
        ([Event("tool_call", tool="fs", arguments={"operation": ""})], "✅ Done!\n\n📋 Actions:\n🔧 fs"),
        ([Event(Kind.TOOL_CALL, tool=7, arguments={"operation": 3})], "✅ Done!\n\n📋 Actions:\n🔧 7.3"),
        ([text("a"), Event("error", message="boom"), text("b"), Event("error")],
         "a\n⚠️ boom\nb\n⚠️ Unknown error"),
        ([Event("error", message=404)], "⚠️ 404"),
    ],
    ids=["empty", "missing", "none", "enum", "unknown", "done", "plan-memory", "plan-args-unread",
         "no-tool-name", "empty-operation", "enum-tool", "errors", "error-number"],
)
def test_dispatch_rows(cf, host, events, reply):
    assert reply_of(cf, host, events) == reply
    assert len(host.ws.payloads) == 1 + len(events)  # every event is mirrored


def test_plan_and_memory_do_not_refresh_typing(cf, host, logs):
    handle(cf, host, [tool("plan"), tool("memory"), tool("web", "get")])
    assert len(host.telegram.of("send_typing")) == 2
    assert logs.at("DEBUG") == ["Agent tool call: 🔧 web.get"]


def test_error_event_log_and_text_cut_in_debug_line(cf, host, logs):
    long = "x" * 150
    handle(cf, host, [Event("error", message="bad thing"), text(long)])
    assert logs.at("WARNING") == ["Agent error event: bad thing"]
    assert logs.at("DEBUG") == ["Agent text: " + "x" * 100]


@pytest.mark.parametrize(
    "data, sent",
    [
        ({"screenshot": True, "image_base64": PNG64}, 1),
        ({"screenshot": True, "image_base64": ""}, 0),
        ({"screenshot": True}, 0),
        ({"screenshot": False, "image_base64": PNG64}, 0),
        ({"image_base64": PNG64}, 0),
    ],
)
def test_screenshot_rows(cf, host, data, sent):
    reply = reply_of(cf, host, [Event("tool_result", **data)])
    assert len(host.telegram.photos) == sent
    assert reply == ("✅ Done!" if sent else NO_RESPONSE)


def test_undelivered_screenshot_does_not_count(cf, host, logs):
    host.telegram.photo_result = {"success": False, "message": "nope"}
    assert reply_of(cf, host, [Event("tool_result", screenshot=True, image_base64=PNG64)]) == NO_RESPONSE
    assert ("WARNING", "Failed to send screenshot to Telegram: nope") in logs.lines()


def test_screenshots_go_through_the_object(cf, host):
    b = cf.Chatferry()
    seen = []

    async def fake(image_base64, chat_id, telegram):
        seen.append((image_base64, chat_id, telegram))
        return "yes"

    b._send_screenshot = fake
    host.agent.script = [Event("tool_result", screenshot=1, image_base64="abc")] * 2
    run(b._handle_message("hi", {"chat_id": "c"}))
    assert seen == [("abc", "c", host.telegram)] * 2
    assert host.telegram.replies() == ["✅ Done!"]


def test_screenshot_that_is_not_text_ends_the_stream(cf, host, logs):
    events = [text("before"), Event("tool_result", screenshot=True, image_base64=b"raw"), text("never")]
    reply = reply_of(cf, host, events)
    assert reply == ("before\n⚠️ Processing error: "
                     "Argument 'image_base64' has incorrect type (expected str, got bytes)")
    assert len(host.ws.payloads) == 3  # the stream stopped at the refused event


# ---- reply composition ------------------------------------------------------------------


def test_no_events_at_all(cf, host, logs):
    assert reply_of(cf, host, []) == NO_RESPONSE
    assert ("INFO", f"Sending reply to Telegram ({len(NO_RESPONSE)} chars)") in logs.lines()


def test_only_tool_calls(cf, host):
    assert reply_of(cf, host, [tool("a", "x"), tool("b")]) == "✅ Done!\n\n📋 Actions:\n🔧 a.x\n🔧 b"


def test_screenshot_alone_and_with_tools(cf, host):
    shot = Event("tool_result", screenshot=True, image_base64=PNG64)
    assert reply_of(cf, host, [shot]) == "✅ Done!"
    host.telegram.calls.clear()
    assert reply_of(cf, host, [shot, tool("t")]) == "✅ Done!\n\n📋 Actions:\n🔧 t"


@pytest.mark.parametrize("count, tail", [(8, ""), (9, "\n... and 1 more"), (11, "\n... and 3 more")])
def test_action_block_is_cut_after_eight(cf, host, count, tail):
    reply = reply_of(cf, host, [text("ok")] + [tool(f"t{i}", "op") for i in range(count)])
    lines = "\n".join(f"🔧 t{i}.op" for i in range(min(count, 8)))
    assert reply == "ok\n\n📋 Actions:\n" + lines + tail


def test_whitespace_is_stripped_once_around_the_whole_text(cf, host):
    assert reply_of(cf, host, [text("  \n first  "), text("  second \n ")]) == "first  \n  second"
    host.telegram.calls.clear()
    assert reply_of(cf, host, [text(" \t\n ")]) == NO_RESPONSE
    host.telegram.calls.clear()
    assert reply_of(cf, host, [text("  "), tool("t")]) == "✅ Done!\n\n📋 Actions:\n🔧 t"


# ---- failures during the stream ------------------------------------------------------------


def test_stream_failure_after_two_texts_keeps_them_and_cuts_the_error(cf, host, logs):
    error = RuntimeError("e" * 299 + "XYZ")
    reply = reply_of(cf, host, [text("one"), text("two"), error, text("never")])
    assert reply == "one\ntwo\n⚠️ Processing error: " + "e" * 299 + "X"
    failed = [r for r in logs.records if r.getMessage() == "Agent processing failed for Telegram message"]
    assert len(failed) == 1 and failed[0].levelname == "ERROR"
    assert failed[0].exc_info[1] is error and failed[0].exc_info[2] is not None


@pytest.mark.parametrize("where", ["process_message", "typing refresh", "event access"])
def test_other_stream_failures_become_the_error_line(cf, host, logs, where):
    script = [text("t"), tool("x")]
    if where == "process_message":
        host.agent.fail = ValueError("cannot start")
        expected = "⚠️ Processing error: cannot start"
    elif where == "typing refresh":
        host.telegram.failures["send_typing"] = [None, ConnectionError("typing lost")]
        expected = "t\n⚠️ Processing error: typing lost\n\n📋 Actions:\n🔧 x"  # listed before the refresh
    else:
        class NoData:
            type = "text"

            def to_dict(self):
                return {}

        script = [text("t"), NoData()]
        expected = "t\n⚠️ Processing error: 'NoData' object has no attribute 'data'"
    assert reply_of(cf, host, script) == expected
    assert [r.exc_info is not None for r in logs.records if r.levelname == "ERROR"] == [True]


def test_non_text_content_breaks_composition_and_escapes(cf, host):
    host.agent.script = [Event("text", content=5)]
    with pytest.raises(TypeError, match="expected str instance, int found"):
        run(cf.Chatferry()._handle_message("hi", {}))
    assert host.telegram.replies() == []


def test_first_typing_failure_escapes(cf, host):
    host.telegram.failures["send_typing"] = ConnectionError("no typing")
    with pytest.raises(ConnectionError):
        run(cf.Chatferry()._handle_message("hi", {}))
    assert host.agent.messages == [] and host.ws.payloads == []


def test_reply_failure_escapes(cf, host):
    host.telegram.failures["send_message"] = ConnectionError("no reply")
    with pytest.raises(ConnectionError):
        handle(cf, host, [text("t")])


def test_non_exceptions_from_the_stream_escape(cf, host, logs):
    host.agent.script = [text("t"), Interrupt()]
    with pytest.raises(Interrupt):
        run(cf.Chatferry()._handle_message("hi", {}))
    assert host.telegram.replies() == []
    assert logs.at("ERROR") == []


def test_cancellation_during_the_stream_escapes(cf, host, logs):
    async def main():
        started = asyncio.Event()

        async def hang():
            started.set()
            await asyncio.Event().wait()

        host.agent.script = [text("t"), hang]
        task = asyncio.create_task(cf.Chatferry()._handle_message("hi", {}))
        await started.wait()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    run(main())
    assert host.telegram.replies() == [] and logs.at("ERROR") == []


# ---- WebSocket mirroring ---------------------------------------------------------------------


def test_missing_ws_module_still_answers_with_one_debug_line(cf, host, logs, monkeypatch):
    fakes.uninstall(monkeypatch, "tovana.gateway.ws")
    for message in ("one", "two"):
        handle(cf, host, [text(message.upper()), tool("t")], message=message)
    assert host.telegram.replies()[1] == "TWO\n\n📋 Actions:\n🔧 t"
    debug = [m for m in logs.at("DEBUG") if m.startswith("Could not broadcast")]
    assert debug == ["Could not broadcast to WebSocket: No module named 'tovana.gateway.ws'"] * 2


def test_ws_module_without_manager(cf, host, logs, monkeypatch):
    import sys

    monkeypatch.delattr(sys.modules["tovana.gateway.ws"], "manager")
    assert reply_of(cf, host, [text("fine")]) == "fine"
    debug = [m for m in logs.at("DEBUG") if m.startswith("Could not broadcast")]
    assert debug == ["Could not broadcast to WebSocket: cannot import name 'manager' from "
                     "'tovana.gateway.ws' (unknown location)"]


def test_failing_broadcasts_never_stop_the_handling(cf, host, logs):
    host.ws.fail = OSError("socket closed")
    assert reply_of(cf, host, [text("a"), tool("t")]) == "a\n\n📋 Actions:\n🔧 t"
    assert [m for m in logs.at("DEBUG") if "broadcast" in m] == ["Could not broadcast to WebSocket: socket closed"]


def test_failing_event_mirroring_is_silent(cf, host, logs):
    class BadDict(Event):
        def to_dict(self):
            raise ValueError("no dict")

    assert reply_of(cf, host, [BadDict("text", content="still here")]) == "still here"
    assert host.ws.payloads[0]["type"] == "telegram_message" and len(host.ws.payloads) == 1
    assert all("Could not" not in m for m in logs.at("DEBUG"))


def test_non_exception_from_broadcast_escapes(cf, host):
    host.ws.fail = Interrupt()
    with pytest.raises(Interrupt):
        handle(cf, host, [text("t")])
