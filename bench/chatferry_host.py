"""Instant stand-ins for the host around the bridge (server state, Telegram
connector, agent, WebSocket manager), installed as tovana.gateway.*."""
import asyncio
import sys
import types
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "build" / "pkg"))

PNG = bytes.fromhex("89504e470d0a1a0a0000000d4948445200000001000000010806000000"
                    "1f15c4890000000d49444154789c6360000002000154a24f5d0000000049454e44ae426082")


class Event:
    __slots__ = ("type", "data")

    def __init__(self, type, **data):
        self.type = type
        self.data = data

    def to_dict(self):
        return {"type": self.type, "data": self.data}


class Agent:
    """Streams the events of `script(text)`; an exception in it is raised there."""

    def __init__(self, script):
        self.script = script

    def process_message(self, text):
        return self._stream(self.script(text))

    async def _stream(self, items):
        for item in items:
            if isinstance(item, BaseException):
                raise item
            yield item


class Telegram:
    is_configured = True
    _chat_id = 1

    def __init__(self):
        self.handler = None
        self.replies = 0
        self.photos = 0
        self.fail_next_reply = False

    def set_message_handler(self, handler):
        self.handler = handler

    async def start(self):
        pass

    async def stop(self):
        pass

    async def send_typing(self, chat_id=None):
        return True

    async def send_message(self, text, chat_id=None, parse_mode=None):
        self.replies += 1
        if self.fail_next_reply:
            self.fail_next_reply = False
            raise ConnectionError("telegram is down")
        return {"success": True, "message_ids": [self.replies]}

    async def send_photo(self, path, caption=None, chat_id=None):
        self.photos += 1
        return {"success": True, "message_ids": [self.photos]}


class WebSocketManager:
    async def broadcast(self, payload):
        pass


def install(agent_script):
    """Wire a host and put its modules into sys.modules; returns (telegram, agent)."""
    import tovana

    telegram = Telegram()
    agent = Agent(agent_script)
    manager = types.SimpleNamespace(get=lambda name: telegram if name == "telegram" else None)
    state = {"connector_manager": manager, "agent": agent}
    gateway = types.ModuleType("tovana.gateway")
    gateway.__path__ = []
    server = types.ModuleType("tovana.gateway.server")
    server.get_state = lambda: state
    ws = types.ModuleType("tovana.gateway.ws")
    ws.manager = WebSocketManager()
    gateway.server, gateway.ws = server, ws
    sys.modules.update({"tovana.gateway": gateway, "tovana.gateway.server": server, "tovana.gateway.ws": ws})
    tovana.gateway = gateway
    return telegram, agent
