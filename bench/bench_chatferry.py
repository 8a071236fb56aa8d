"""Message rate of the bridge with instant fake host objects: from the
Telegram callback to the reply, through the queue worker and the agent's
event stream.  Prints a JSON object with the figures."""
import asyncio
import json
import time

import chatferry_host as host
from tovana.connectors.chatferry import Chatferry

SCRIPT = [host.Event("text", content="Here you are."),
          host.Event("tool_call", tool="browser", arguments={"operation": "open"}),
          host.Event("tool_result", ok=True),
          host.Event("done")]


async def main(messages=20_000):
    telegram, _ = host.install(lambda text: SCRIPT)
    bridge = Chatferry()
    await bridge.start()
    metadata = {"chat_id": 7, "from_name": "bench"}
    for _ in range(200):  # warm-up
        await telegram.handler("hello", metadata)
    while telegram.replies < 200:
        await asyncio.sleep(0)
    start_replies = telegram.replies
    t0 = time.perf_counter()
    for i in range(messages):
        await telegram.handler("hello", metadata)
    while telegram.replies < start_replies + messages:
        await asyncio.sleep(0)
    elapsed = time.perf_counter() - t0
    await bridge.stop()
    return {"messages": messages, "seconds": elapsed, "messages_per_second": messages / elapsed,
            "us_per_message": elapsed / messages * 1e6}


if __name__ == "__main__":
    print(json.dumps(asyncio.run(main()), indent=2))
