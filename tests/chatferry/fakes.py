"""Stand-ins for the host application around the bridge: its server state,
connector manager, Telegram connector, agent and WebSocket manager, and the
`tovana.gateway.server` / `tovana.gateway.ws` modules that expose them.

Every fake records what it was asked, so tests can check the calls made on
the host in order."""
import asyncio
import os
import sys
import types


class ServerState:
    """The host's server state: `get(key)` with a false value for absent keys."""

    def __init__(self, entries=None):
        self.entries = dict(entries or {})
        self.fail = None  # an exception that get() raises

    def get(self, key):
        if self.fail is not None:
            raise self.fail
        return self.entries.get(key)


class ConnectorManager:
    def __init__(self, connectors=None):
        self.connectors = dict(connectors or {})
        self.fail = None

    def get(self, name):
        if self.fail is not None:
            raise self.fail
        return self.connectors.get(name)


class TelegramConnector:
    """Records every call as (name, args, kwargs).  `failures` maps a call's
    name to an exception it raises (a list of them: one per call, None for
    a call that goes through).  `gates` maps a call's name to an
    asyncio.Event the call waits for before it returns."""

    def __init__(self, *, configured=True, chat_id="chat-default", keep_calls=True):
        self.is_configured = configured
        self._chat_id = chat_id
        self.handler = None
        self.keep_calls = keep_calls
        self.calls = []
        self.failures = {}
        self.gates = {}
        self.message_result = {"success": True, "message_ids": [101]}
        self.photo_result = {"success": True, "message_ids": [102]}
        self.photos = []  # (path, existed during the call, its bytes)
        self.sent = 0

    def _record(self, name, *args, **kwargs):
        if self.keep_calls:
            self.calls.append((name, args, kwargs))
        failure = self.failures.get(name)
        if isinstance(failure, list):
            failure = failure.pop(0) if failure else None
        if failure is not None:
            raise failure

    async def _gate(self, name):
        gate = self.gates.get(name)
        if gate is not None:
            await gate.wait()

    def set_message_handler(self, handler):
        self._record("set_message_handler", handler)
        self.handler = handler

    async def start(self):
        self._record("start")
        await self._gate("start")

    async def stop(self):
        self._record("stop")

    async def send_message(self, text, chat_id=None, parse_mode=None):
        self._record("send_message", text, chat_id=chat_id, parse_mode=parse_mode)
        await self._gate("send_message")
        self.sent += 1
        return self.message_result

    async def send_photo(self, path, caption=None, chat_id=None):
        existed = os.path.exists(path)
        data = None
        if existed:
            with open(path, "rb") as f:
                data = f.read()
        if self.keep_calls:
            self.photos.append((path, existed, data))
        self._record("send_photo", path, caption=caption, chat_id=chat_id)
        await self._gate("send_photo")
        return self.photo_result

    async def send_typing(self, chat_id=None):
        self._record("send_typing", chat_id=chat_id)

    # ---- views for the tests ----

    def names(self):
        return [name for name, _, _ in self.calls]

    def replies(self):
        return [args[0] for name, args, _ in self.calls if name == "send_message"]

    def of(self, name):
        return [(args, kwargs) for n, args, kwargs in self.calls if n == name]

    async def receive(self, text, metadata):
        """What the polling loop does for one incoming message."""
        await self.handler(text, metadata)


class Event:
    """An agent event: `type`, `data` and `to_dict()`."""

    def __init__(self, type, **data):
        self.type = type
        self.data = data
        self.dicts = []

    def to_dict(self):
        d = {"type": self.type, "data": dict(self.data)}
        self.dicts.append(d)
        return d

    def __repr__(self):
        return f"Event({self.type!r}, {self.data!r})"


def text(content):
    return Event("text", content=content)


def tool(name, operation=None):
    if operation is None:
        return Event("tool_call", tool=name, arguments={})
    return Event("tool_call", tool=name, arguments={"operation": operation})


class Agent:
    """Streams a script per message.  `script` is a list, or a function of
    the message text returning one; its items are events (yielded),
    exceptions (raised there) or async functions (awaited there)."""

    def __init__(self, script=(), keep=True):
        self.script = script
        self.messages = []
        self.keep = keep
        self.fail = None  # raised by process_message itself

    def process_message(self, text):
        if self.keep:
            self.messages.append(text)
        if self.fail is not None:
            raise self.fail
        script = self.script(text) if callable(self.script) else self.script
        return self._stream(list(script))

    async def _stream(self, items):
        for item in items:
            if isinstance(item, BaseException):
                raise item
            if callable(item):
                await item()
                continue
            yield item


class WebSocketManager:
    def __init__(self, keep=True):
        self.payloads = []
        self.keep = keep
        self.fail = None

    async def broadcast(self, payload):
        if self.fail is not None:
            raise self.fail
        if self.keep:
            self.payloads.append(payload)


class Host:
    """The host's objects, wired as the bridge finds them."""

    def __init__(self, *, keep_calls=True):
        self.telegram = TelegramConnector(keep_calls=keep_calls)
        self.manager = ConnectorManager({"telegram": self.telegram})
        self.agent = Agent(keep=keep_calls)
        self.ws = WebSocketManager(keep=keep_calls)
        self.state = ServerState({"connector_manager": self.manager, "agent": self.agent})
        self.get_state_calls = 0

    def get_state(self):
        self.get_state_calls += 1
        return self.state


GATEWAY_MODULES = ("tovana.gateway", "tovana.gateway.server", "tovana.gateway.ws")


def install(monkeypatch, host):
    """Put `tovana.gateway`, `.server` and `.ws` modules for `host` into
    sys.modules (monkeypatch restores everything afterwards)."""
    import tovana

    gateway = types.ModuleType("tovana.gateway")
    gateway.__path__ = []  # a package with nothing else in it
    server = types.ModuleType("tovana.gateway.server")
    server.get_state = host.get_state
    ws = types.ModuleType("tovana.gateway.ws")
    ws.manager = host.ws
    gateway.server = server
    gateway.ws = ws
    monkeypatch.setitem(sys.modules, "tovana.gateway", gateway)
    monkeypatch.setitem(sys.modules, "tovana.gateway.server", server)
    monkeypatch.setitem(sys.modules, "tovana.gateway.ws", ws)
    monkeypatch.setattr(tovana, "gateway", gateway, raising=False)
    return gateway


def uninstall(monkeypatch, *names):
    """Make host modules unimportable (all of them by default)."""
    import tovana

    for name in names or GATEWAY_MODULES:
        monkeypatch.delitem(sys.modules, name, raising=False)
        parent, _, child = name.rpartition(".")
        if parent in sys.modules:
            monkeypatch.delattr(sys.modules[parent], child, raising=False)
    if not names or "tovana.gateway" in names:
        monkeypatch.delattr(tovana, "gateway", raising=False)


async def settle(condition, turns=10_000):
    """Let the loop run until `condition()` holds."""
    for _ in range(turns):
        if condition():
            return
        await asyncio.sleep(0)
    raise AssertionError("condition not reached")


def run(coro):
    return asyncio.run(coro)
