"""Starting and stopping, the message queue and its single worker, the
singleton accessor, and reference neutrality over many messages."""
import asyncio
import base64
import gc
import logging
import sys
import tempfile
import tracemalloc

import pytest

import fakes
from fakes import Event, run, settle, text

STARTED = [
    ("INFO", "Message handler registered"),
    ("INFO", "Telegram polling started"),
    ("INFO", "Chatferry started — two-way messaging active"),
    ("INFO", "Queue processor started"),
]


@pytest.fixture(autouse=True)
def own_tempdir(monkeypatch, tmp_path):
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))


def blocker():
    """An agent step that waits until released, and tells when it is reached."""
    reached, release = asyncio.Event(), asyncio.Event()

    async def step():
        reached.set()
        await release.wait()

    return step, reached, release


# ---- start -------------------------------------------------------------------------------


def test_start_registers_polls_and_runs_one_worker(cf, host, logs):
    async def main():
        b = cf.Chatferry()
        assert await b.start() is None
        assert b.is_running is True and b._running is True
        task = b._worker_task
        assert isinstance(task, asyncio.Task) and not task.done()
        assert task.get_coro().__qualname__ == "Chatferry._process_queue"
        assert host.telegram.names() == ["set_message_handler", "start"]
        handler = host.telegram.handler
        assert handler == b._on_telegram_message and handler.__self__ is b
        await settle(lambda: len(logs.lines()) == 4)
        assert logs.lines() == STARTED
        # A second start changes nothing.
        await b.start()
        assert b._worker_task is task and host.telegram.names() == ["set_message_handler", "start"]
        assert logs.lines()[4:] == [("INFO", "Chatferry already running")]
        await b.stop()
        assert task.done() and b._worker_task is None

    run(main())


def test_running_is_set_after_polling_started_and_before_the_worker(cf, host):
    async def main():
        b = cf.Chatferry()
        seen = []

        async def worker():
            seen.append(b._running)

        b._process_queue = worker  # called through the object
        host.telegram.gates["start"] = gate = asyncio.Event()
        starting = asyncio.create_task(b.start())
        await settle(lambda: "start" in host.telegram.names())
        assert b._running is False and b._worker_task is None
        gate.set()
        await starting
        await b._worker_task
        assert seen == [True]

    run(main())


def test_start_without_connector(cf, host, logs):
    host.telegram.is_configured = False
    b = cf.Chatferry()
    run(b.start())
    assert b.is_running is False and b._worker_task is None
    assert host.telegram.calls == []
    assert logs.lines() == [("ERROR", "Cannot start Chatferry — Telegram connector not available or not configured")]


def test_failing_polling_start_escapes_with_handler_registered(cf, host, logs):
    host.telegram.failures["start"] = ConnectionError("bot token rejected")
    b = cf.Chatferry()
    with pytest.raises(ConnectionError):
        run(b.start())
    assert host.telegram.handler is not None
    assert b._running is False and b._worker_task is None
    assert logs.lines() == [("INFO", "Message handler registered")]


# ---- stop --------------------------------------------------------------------------------


def test_stop_without_start(cf, host, logs):
    b = cf.Chatferry()
    assert run(b.stop()) is None
    assert b._worker_task is None and b._running is False
    assert host.telegram.names() == ["stop"]
    assert logs.lines() == [("INFO", "Chatferry stopped")]
    host.telegram.is_configured = False
    logs.clear()
    run(b.stop())
    assert host.telegram.names() == ["stop"]
    assert logs.lines() == [("INFO", "Chatferry stopped")]


def test_stop_of_an_idle_worker_ends_it_normally(cf, host, logs):
    async def main():
        b = cf.Chatferry()
        await b.start()
        await settle(lambda: len(logs.lines()) == 4)
        task = b._worker_task
        await b.stop()
        assert task.done() and not task.cancelled() and task.result() is None
        assert (b._running, b._worker_task, b.is_running) == (False, None, False)
        assert host.telegram.names()[-1] == "stop"
        assert logs.lines()[4:] == [("INFO", "Chatferry stopped")]

    run(main())


def test_stop_clears_a_finished_task_without_cancelling(cf, host):
    async def main():
        b = cf.Chatferry()

        async def done():
            return None

        finished = asyncio.create_task(done())
        await finished
        b._worker_task = finished
        await b.stop()
        assert b._worker_task is None and not finished.cancelled()

    run(main())


def test_failing_polling_stop_escapes_after_the_task_is_cleared(cf, host, logs):
    async def main():
        b = cf.Chatferry()
        await b.start()
        host.telegram.failures["stop"] = ConnectionError("cannot stop polling")
        with pytest.raises(ConnectionError):
            await b.stop()
        assert (b._running, b._worker_task) == (False, None)

    run(main())
    assert ("INFO", "Chatferry stopped") not in logs.lines()


def test_stop_in_the_middle_of_a_handling(cf, host, logs):
    async def main():
        step, reached, _ = blocker()
        host.agent.script = [text("partial"), step]
        b = cf.Chatferry()
        await b.start()
        await host.telegram.receive("long job", {"chat_id": 1})
        await reached.wait()
        assert b._processing is True
        task = b._worker_task
        assert await b.stop() is None
        assert task.cancelled()
        assert (b._processing, b._running, b._worker_task) == (False, False, None)

    run(main())
    assert host.telegram.replies() == []
    assert logs.at("ERROR") == []
    assert logs.lines()[-1] == ("INFO", "Chatferry stopped")


# ---- the queue -----------------------------------------------------------------------------


def test_messages_are_handled_one_at_a_time_in_arrival_order(cf, host, logs):
    timeline = []
    step, reached, release = blocker()

    def script(message):
        async def begin():
            timeline.append(("begin", message))

        async def end():
            timeline.append(("end", message))

        return [begin] + ([step] if message == "first" else []) + [text("re: " + message), end]

    async def main():
        host.agent.script = script
        b = cf.Chatferry()
        await b.start()
        await host.telegram.receive("first", {"chat_id": 1})
        await reached.wait()
        for message in ("second", "third", "fourth"):
            await host.telegram.receive(message, {"chat_id": 1})
        assert b._queue.qsize() == 3 and b._processing is True
        assert timeline == [("begin", "first")]
        release.set()
        await settle(lambda: len(host.telegram.replies()) == 4)
        assert b._processing is False and b._queue.empty()
        await b.stop()

    run(main())
    order = ["first", "second", "third", "fourth"]
    assert timeline == [(edge, m) for m in order for edge in ("begin", "end")]
    assert host.telegram.replies() == ["re: " + m for m in order]
    assert host.agent.messages == order
    processing = [m for m in logs.at("INFO") if m.startswith("Processing queued message: ")]
    assert processing == ["Processing queued message: " + m for m in order]


def test_queue_and_processing_logs_cut_the_text_at_80(cf, host, logs):
    long = "".join(chr(0x61 + i % 26) for i in range(120))

    async def main():
        b = cf.Chatferry()
        await b._on_telegram_message(long, {"from_name": "Bo", "chat_id": 2})
        await b._on_telegram_message("short", {})
        assert b._queue.qsize() == 2
        assert b._queue.get_nowait() == (long, {"from_name": "Bo", "chat_id": 2})
        await b._on_telegram_message("later", {"from_name": None})
        await b.start()
        await settle(lambda: len(host.telegram.replies()) == 2)
        await b.stop()

    run(main())
    queued = [m for m in logs.at("INFO") if m.startswith("Queuing")]
    assert queued == ["Queuing Telegram message from Bo: " + long[:80],
                      "Queuing Telegram message from unknown: short",
                      "Queuing Telegram message from None: later"]


def test_message_queued_while_stopped_waits_for_the_next_start(cf, host, logs):
    async def main():
        host.agent.script = lambda message: [text("re: " + message)]
        b = cf.Chatferry()
        await b.start()
        await b.stop()
        first_task_calls = host.telegram.names().count("set_message_handler")
        # The connector still holds the handler: a message now is queued.
        await host.telegram.receive("while stopped", {"chat_id": 4})
        for _ in range(20):
            await asyncio.sleep(0)
        assert b._queue.qsize() == 1 and host.telegram.replies() == []
        await b.start()
        assert host.telegram.names().count("set_message_handler") == first_task_calls + 1
        await settle(lambda: host.telegram.replies() == ["re: while stopped"])
        await b.stop()

    run(main())


def test_idle_worker_waits_in_two_second_slices_without_logging(cf, host, logs, monkeypatch):
    timeouts = []

    class Loop:
        def __getattr__(self, name):
            return getattr(asyncio, name)

        @staticmethod
        async def wait_for(awaitable, *, timeout):
            timeouts.append(timeout)
            return await asyncio.wait_for(awaitable, 0.001)

    monkeypatch.setattr(cf, "asyncio", Loop())

    async def main():
        b = cf.Chatferry()
        await b.start()
        await settle(lambda: len(timeouts) >= 4, turns=10**6)
        task = b._worker_task
        assert not task.done()
        # Without a cancellation the worker ends at its next loop test.
        b._running = False
        await asyncio.wait_for(task, 5)
        assert task.result() is None

    run(main())
    assert set(timeouts) == {2.0}
    assert logs.lines() == STARTED


def test_failed_handling_is_answered_and_the_next_message_handled(cf, host, logs):
    error = ValueError("v" * 450 + "w" * 100)

    async def main():
        host.agent.script = lambda message: [text("re: " + message)]
        b = cf.Chatferry()
        real = cf.Chatferry._handle_message

        async def flaky(text, metadata):
            if text == "bad":
                raise error
            await real(b, text, metadata)

        b._handle_message = flaky  # the worker calls through the object
        await b.start()
        await host.telegram.receive("bad", {"chat_id": 9})
        await host.telegram.receive("good", {"chat_id": 9})
        await settle(lambda: len(host.telegram.replies()) == 2)
        assert b._processing is False and not b._worker_task.done()
        await b.stop()

    run(main())
    assert host.telegram.replies() == ["⚠️ Sorry, I encountered an error:\n" + "v" * 450 + "w" * 50, "re: good"]
    assert host.telegram.of("send_message")[0][1]["chat_id"] == 9
    failed, = [r for r in logs.records if r.levelname == "ERROR"]
    assert failed.getMessage() == "Error processing Telegram message: " + str(error)
    assert failed.exc_info[1] is error


def test_failing_error_reply_is_logged_and_the_worker_goes_on(cf, host, logs):
    async def main():
        host.agent.script = lambda message: [text("re: " + message)]
        b = cf.Chatferry()

        async def always_fails(text, metadata):
            if text == "bad":
                raise KeyError("handler broke")
            await cf.Chatferry._handle_message(b, text, metadata)

        b._handle_message = always_fails
        lost = ConnectionError("telegram down")
        host.telegram.failures["send_message"] = [lost]
        await b.start()
        await host.telegram.receive("bad", {"chat_id": 1})
        await host.telegram.receive("good", {"chat_id": 1})
        await settle(lambda: host.telegram.sent == 1)
        assert not b._worker_task.done() and b._processing is False
        await b.stop()
        return lost

    lost = run(main())
    assert host.telegram.replies() == ["⚠️ Sorry, I encountered an error:\n'handler broke'", "re: good"]
    errors = [r for r in logs.records if r.levelname == "ERROR"]
    assert [r.getMessage() for r in errors] == ["Error processing Telegram message: 'handler broke'",
                                                "Failed to send error reply: telegram down"]
    assert errors[1].exc_info[1] is lost


def test_real_handling_failure_goes_through_the_same_path(cf, host, logs):
    host.telegram.failures["send_typing"] = [ConnectionError("typing failed")]

    async def main():
        host.agent.script = [text("fine")]
        b = cf.Chatferry()
        await b.start()
        await host.telegram.receive("one", {"chat_id": 1})
        await host.telegram.receive("two", {"chat_id": 1})
        await settle(lambda: len(host.telegram.replies()) == 2)
        await b.stop()

    run(main())
    assert host.telegram.replies() == ["⚠️ Sorry, I encountered an error:\ntyping failed", "fine"]


def test_non_exception_from_a_handling_ends_the_worker_without_reply(cf, host, logs):
    class Interrupt(BaseException):
        pass

    async def main():
        b = cf.Chatferry()

        async def interrupted(text, metadata):
            raise Interrupt()

        b._handle_message = interrupted
        await b.start()
        await host.telegram.receive("x", {"chat_id": 1})
        await settle(lambda: b._worker_task.done())
        assert isinstance(b._worker_task.exception(), Interrupt)
        assert b._processing is False
        b._worker_task = None

    run(main())
    assert host.telegram.replies() == [] and logs.at("ERROR") == []


# ---- the singleton -------------------------------------------------------------------------


def test_get_chatferry_makes_one_bridge(cf, monkeypatch):
    made = []

    class Counting(cf.Chatferry):
        def __init__(self):
            made.append(self)
            super().__init__()

    monkeypatch.setattr(cf, "Chatferry", Counting)
    first = cf.get_chatferry()
    assert cf.get_chatferry() is first and cf._bridge is first
    assert made == [first] and first._queue is not None


def test_get_chatferry_returns_what_the_module_holds(cf, monkeypatch):
    monkeypatch.setattr(cf, "_bridge", "already there")
    assert cf.get_chatferry() == "already there"


# ---- reference neutrality --------------------------------------------------------------------


class QuietEvent:
    __slots__ = ("type", "data")

    def __init__(self, type, **data):
        self.type = type
        self.data = data

    def to_dict(self):
        return {"type": self.type}


class Counter(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.count = 0

    def emit(self, record):
        self.format(record)  # tracebacks included
        self.count += 1


def test_a_thousand_messages_leave_no_references_behind(cf, monkeypatch):
    host = fakes.Host(keep_calls=False)
    fakes.install(monkeypatch, host)
    counter = Counter()
    monkeypatch.setattr(cf.logger, "propagate", False)
    monkeypatch.setattr(cf.logger, "handlers", [counter])
    png = base64.b64encode(b"\x89PNG tiny").decode()
    events = [QuietEvent("text", content="answer"), QuietEvent("tool_call", tool="t", arguments={"operation": "o"}),
              QuietEvent("error", message="e"), QuietEvent("done")]
    shot = QuietEvent("tool_result", screenshot=True, image_base64=png)
    # One message in ten sends a screenshot: on 3.12 every Path() interns its
    # parts for good, so random file names cost CPython ~56 bytes each.
    scripts = {"fail": lambda: events[:2] + [RuntimeError("stream")], "shot": lambda: events + [shot]}
    host.agent.script = lambda message: scripts.get(message, lambda: events)()
    metadata = {"chat_id": 5, "from_name": "Leak"}
    message = "a message"
    bridge = cf.Chatferry()
    real = cf.Chatferry._handle_message

    async def sometimes_fails(text, meta):
        if text == "boom":
            raise ValueError("handling failed")
        await real(bridge, text, meta)

    bridge._handle_message = sometimes_fails
    tracked = (host.telegram, host.agent, host.ws, host.state, host.manager, metadata, message, png, bridge,
               shot, *events)

    async def burst(n):
        # Ten messages at a time arrive while the worker is busy.
        for start in range(0, n, 10):
            target = host.telegram.sent + 10
            for i in range(start, start + 10):
                kind = {3: "fail", 5: "shot", 7: "boom"}.get(i % 10, message)
                await host.telegram.receive(kind, metadata)
            await settle(lambda: host.telegram.sent >= target and not bridge._processing)
        # Handlings that never suspend run in one loop turn; a few more turns
        # let the loop drop the cancelled time-out handles of their waits.
        for _ in range(3):
            await asyncio.sleep(0)

    async def main():
        await bridge.start()
        await burst(200)  # warm caches up
        tracemalloc.start()
        try:
            # Interpreter caches that churn (blocks allocated before tracing
            # freed, their successors traced) settle during this first burst.
            await burst(1000)
            gc.collect()
            before = [sys.getrefcount(o) for o in tracked]
            base = tracemalloc.get_traced_memory()[0]
            await burst(1000)
            gc.collect()
            grown = tracemalloc.get_traced_memory()[0] - base
        finally:
            tracemalloc.stop()
        after = [sys.getrefcount(o) for o in tracked]
        await bridge.stop()
        return before, after, grown

    level = cf.logger.level
    cf.logger.setLevel(logging.DEBUG)
    try:
        before, after, grown = run(main())
    finally:
        cf.logger.setLevel(level)
    assert after == before
    assert grown < 64 * 1024, grown
    assert counter.count > 1000 * 6
