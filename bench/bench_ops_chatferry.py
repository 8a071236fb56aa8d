"""Per-operation figures of the bridge against its plain-Python rendering
(plain_chatferry.py), with instant fake host objects: one message handled
(six agent events, typing, mirroring, reply) and messages through the
queue (from the Telegram callback to the reply).  Both sides are first
checked to make the same calls on the host.  Prints a JSON list of rows."""
import asyncio
import json

import chatferry_host as host
import ops
import plain_chatferry
from tovana.connectors.chatferry import Chatferry

SCRIPT = [host.Event("text", content="Here you are."),
          host.Event("tool_call", tool="browser", arguments={"operation": "open"}),
          host.Event("tool_result", ok=True),
          host.Event("tool_call", tool="plan"),
          host.Event("text", content="And more."),
          host.Event("done")]
METADATA = {"chat_id": 7, "from_name": "bench"}


async def transcript(telegram, bridge):
    """What one handled message does on the host: typing calls, mirrored payloads, reply."""
    seen = []
    originals = telegram.send_message, telegram.send_typing, host.sys.modules["tovana.gateway.ws"].manager.broadcast

    async def send_message(text, chat_id=None, parse_mode=None):
        seen.append(("reply", text, chat_id, parse_mode))
        return await originals[0](text, chat_id=chat_id, parse_mode=parse_mode)

    async def send_typing(chat_id=None):
        seen.append(("typing", chat_id))
        return True

    async def broadcast(payload):
        seen.append(("broadcast", payload))

    manager = host.sys.modules["tovana.gateway.ws"].manager
    telegram.send_message, telegram.send_typing, manager.broadcast = send_message, send_typing, broadcast
    try:
        await bridge._handle_message("hello", METADATA)
    finally:
        telegram.send_message, telegram.send_typing, manager.broadcast = originals
    return seen


async def main(n=2000):
    telegram, _ = host.install(lambda text: SCRIPT)
    native, plain = Chatferry(), plain_chatferry.Chatferry()
    assert await transcript(telegram, native) == await transcript(telegram, plain)

    def handling(bridge):
        async def run(k):
            for _ in range(k):
                await bridge._handle_message("hello", METADATA)
        return run

    def queued(bridge):
        async def run(k):
            await bridge.start()
            target = telegram.replies + k
            for _ in range(k):
                await telegram.handler("hello", METADATA)
            while telegram.replies < target:
                await asyncio.sleep(0)
            await bridge.stop()
        return run

    rows = [ops.row("chatferry: one message handled (six agent events, reply)",
                    await ops.alternate_async(handling(native), handling(plain), n)),
            ops.row("chatferry: messages through the queue, callback to reply",
                    await ops.alternate_async(queued(native), queued(plain), n))]
    return rows


if __name__ == "__main__":
    print(json.dumps(asyncio.run(main())))
