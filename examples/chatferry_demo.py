"""The Telegram bridge at work inside a small stand-in host.

The host provides what the bridge looks up at run time: a server state with
a connector manager and an agent (`tovana.gateway.server`), and a WebSocket
manager (`tovana.gateway.ws`).  The Telegram connector here is a console:
it hands scripted messages (or, with --interactive, the lines you type) to
the handler the bridge registers, and prints the replies, typing indicators
and photos the bridge asks it to send.  The agent streams text, tool calls,
a screenshot and a done event.

    python3.12 examples/chatferry_demo.py [--interactive] [--quiet | --verbose]
"""
import argparse
import asyncio
import logging
import struct
import sys
import threading
import types
import zlib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "build" / "pkg"))

try:
    import tovana
    from tovana.connectors import chatferry
except ImportError as exc:
    sys.exit(f"Cannot import the bridge ({exc}); build it first with 'make build'.")

CHAT_ID = 4242
SCRIPT = [
    ("Ana", "Hi! What can you do?"),
    ("Ana", "Take a screenshot of the dashboard"),
    ("Ben", "List the files in the project, please"),
]


def say(who, text):
    pad = " " * (len(who) + 3)
    print(f"{who} │ " + text.replace("\n", "\n" + pad[:-2] + "│ "), flush=True)


def tiny_png(width=4, height=4, rgb=(40, 160, 220)):
    """A valid PNG of one colour, made here."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    row = b"\x00" + bytes(rgb) * width
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(row * height))
            + chunk(b"IEND", b""))


# ---- the stand-in host ---------------------------------------------------------


class Event:
    def __init__(self, type, **data):
        self.type = type
        self.data = data

    def to_dict(self):
        return {"type": self.type, "data": self.data}


class DemoAgent:
    """Answers after a little thinking; some words make it use tools."""

    async def _pause(self):
        await asyncio.sleep(0.15)

    def process_message(self, text):
        return self._stream(text)

    async def _stream(self, text):
        import base64

        lowered = text.lower()
        await self._pause()
        if "screenshot" in lowered:
            yield Event("tool_call", tool="browser", arguments={"operation": "navigate", "url": "/dashboard"})
            await self._pause()
            yield Event("tool_call", tool="browser", arguments={"operation": "screenshot"})
            await self._pause()
            yield Event("tool_result", screenshot=True, image_base64=base64.b64encode(tiny_png()).decode())
            yield Event("text", content="Here is the dashboard as it looks right now.")
        elif "file" in lowered:
            yield Event("tool_call", tool="filesystem", arguments={"operation": "list"})
            yield Event("tool_call", tool="plan", arguments={})  # planning is not reported
            await self._pause()
            yield Event("text", content="The project holds connectors/, core/, runtime/ and tests/.")
        elif "fail" in lowered:
            yield Event("error", message="the demo agent was asked to fail")
        else:
            yield Event("text", content="I'm the demo agent. I can chat, take screenshots of pages")
            yield Event("text", content="and look at files. Try asking for a screenshot!")
        yield Event("done")


class ConsoleTelegram:
    """A Telegram connector whose chat is this terminal."""

    is_configured = True
    _chat_id = CHAT_ID

    def __init__(self):
        self.handler = None
        self.replied = asyncio.Event()

    def set_message_handler(self, handler):
        self.handler = handler

    async def start(self):
        say("telegram", "polling started")

    async def stop(self):
        say("telegram", "polling stopped")

    async def incoming(self, sender, text, echo=True):
        if echo:
            say(f"{sender:>8}", text)
        await self.handler(text, {"chat_id": CHAT_ID, "from_name": sender})

    async def send_typing(self, chat_id=None):
        say("telegram", f"… typing (chat {chat_id})")

    async def send_message(self, text, chat_id=None, parse_mode=None):
        say("     bot", text)
        self.replied.set()
        return {"success": True, "message_ids": [len(text)]}

    async def send_photo(self, path, caption=None, chat_id=None):
        data = Path(path).read_bytes()
        kind = "PNG" if data.startswith(b"\x89PNG") else "?"
        say("     bot", f"[photo: {kind}, {len(data)} bytes] {caption}")
        return {"success": True, "message_ids": [1]}


class PrintingWebSocket:
    async def broadcast(self, payload):
        if payload.get("type") == "telegram_message":
            say("      ws", payload["content"])
        else:
            data = payload.get("data", {})
            detail = data.get("tool") or data.get("content") or data.get("message") or ""
            say("      ws", f"{payload['type']} {str(detail)[:24]}".rstrip())


def install_host(telegram, agent, ws):
    connectors = {"telegram": telegram}
    state = {"connector_manager": connectors, "agent": agent}
    gateway = types.ModuleType("tovana.gateway")
    gateway.__path__ = []
    server = types.ModuleType("tovana.gateway.server")
    server.get_state = lambda: state
    ws_module = types.ModuleType("tovana.gateway.ws")
    ws_module.manager = ws
    gateway.server, gateway.ws = server, ws_module
    sys.modules.update({"tovana.gateway": gateway, "tovana.gateway.server": server, "tovana.gateway.ws": ws_module})
    tovana.gateway = gateway


# ---- the demo -----------------------------------------------------------------


async def scripted(bridge, telegram):
    # All messages arrive at once; the bridge answers them one by one.
    for sender, text in SCRIPT:
        await telegram.incoming(sender, text)
    while bridge._queue.qsize() or bridge._processing:
        await asyncio.sleep(0.05)


def typed_lines(loop):
    """Lines typed in the terminal, read by a daemon thread so that Ctrl-C
    never waits for one; "" marks the end of input."""
    lines = asyncio.Queue()

    def pump():
        try:
            for line in sys.stdin:
                loop.call_soon_threadsafe(lines.put_nowait, line)
            loop.call_soon_threadsafe(lines.put_nowait, "")
        except RuntimeError:  # the loop has closed
            pass

    threading.Thread(target=pump, daemon=True).start()
    return lines


async def interactive(bridge, telegram):
    lines = typed_lines(asyncio.get_running_loop())
    print("Type a message and press Enter (an empty line or Ctrl-D ends).", flush=True)
    while True:
        print("you > ", end="", flush=True)
        line = await lines.get()
        if not sys.stdin.isatty():
            print(line.rstrip("\n"), flush=True)  # what a terminal would have echoed
        if not line.strip():
            return
        telegram.replied.clear()
        await telegram.incoming("you", line.strip(), echo=False)
        await telegram.replied.wait()


# Progress lines that every message repeats; --verbose shows them too.
ROUTINE = ("Message handler registered", "Telegram polling started", "Queue processor started",
           "Sending message to agent", "Agent processing complete", "Sending reply to Telegram",
           "Reply sent to Telegram")


def brief(record):
    return record.levelno > logging.INFO or not record.getMessage().startswith(ROUTINE)


async def main(args):
    telegram = ConsoleTelegram()
    install_host(telegram, DemoAgent(), PrintingWebSocket())
    handler = logging.StreamHandler(sys.stdout)
    handler.setFormatter(logging.Formatter("     log │ %(message)s"))
    if not args.verbose:
        handler.addFilter(brief)
    log = logging.getLogger("tovana.connectors.chatferry")
    log.addHandler(handler)
    log.setLevel(logging.WARNING if args.quiet else logging.INFO)
    log.propagate = False

    print(f"chatferry demo on CPython {sys.version.split()[0]}\n", flush=True)
    bridge = chatferry.get_chatferry()
    await bridge.start()
    try:
        await (interactive if args.interactive else scripted)(bridge, telegram)
    finally:
        if args.interactive:
            print(flush=True)
        await bridge.stop()
    print(f"\nrunning: {bridge.is_running}", flush=True)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description="Run the Telegram bridge inside a stand-in host.")
    parser.add_argument("--interactive", action="store_true", help="chat from the terminal")
    parser.add_argument("--quiet", action="store_true", help="leave out the bridge's log lines")
    parser.add_argument("--verbose", action="store_true", help="show every log line of the bridge")
    try:
        asyncio.run(main(parser.parse_args()))
    except KeyboardInterrupt:
        pass
