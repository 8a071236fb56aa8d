"""Leak soak of the bridge: many messages through one Chatferry with fake
host objects, mixing text, tool calls, screenshots, agent errors and a
connector that raises.

Usage: soak_chatferry.py [MESSAGES]   (default 10,000)

Compares, after a warm-up and at the end: open file descriptors, temporary
screenshot files, tracemalloc's total and the resident set.  Exits non-zero
when descriptors or files leak.
"""
import asyncio
import base64
import gc
import glob
import logging
import os
import sys
import tempfile
import time
import tracemalloc

import chatferry_host as host
from measure import open_fds, rss_kib
from tovana.connectors.chatferry import Chatferry

IMAGE = base64.b64encode(host.PNG).decode()


def script(text):
    kind = int(text) % 5
    if kind == 0:
        return [host.Event("text", content="hello " * 20), host.Event("done")]
    if kind == 1:
        return [host.Event("tool_call", tool="shell", arguments={"operation": "run"})] * 10 + [host.Event("done")]
    if kind == 2:
        return [host.Event("tool_result", screenshot=True, image_base64=IMAGE), host.Event("done")]
    if kind == 3:
        return [host.Event("text", content="partial"), RuntimeError("agent broke mid-way")]
    return [host.Event("error", message="model overloaded"), host.Event("done")]


def temp_pngs():
    return len(glob.glob(os.path.join(tempfile.gettempdir(), "*.png")))


async def soak(total):
    telegram, _ = host.install(script)
    bridge = Chatferry()
    await bridge.start()
    metadata = {"chat_id": 7, "from_name": "soak"}
    sent = 0

    async def run(n):
        nonlocal sent
        for _ in range(n):
            if sent % 97 == 0:
                telegram.fail_next_reply = True  # the reply (and then the error reply) raise
            await telegram.handler(str(sent), metadata)
            sent += 1
            if sent % 50 == 0:
                while bridge._queue.qsize():
                    await asyncio.sleep(0)
        while bridge._queue.qsize() or bridge._processing:
            await asyncio.sleep(0)

    warm = min(500, total // 10)
    await run(warm)
    gc.collect()
    before = {"fds": open_fds(), "pngs": temp_pngs(),
              "traced": tracemalloc.get_traced_memory()[0], "rss": rss_kib()}
    t0 = time.perf_counter()
    await run(total - warm)
    elapsed = time.perf_counter() - t0
    worker_alive = bridge._worker_task is not None and not bridge._worker_task.done()
    await bridge.stop()
    gc.collect()
    after = {"fds": open_fds(), "pngs": temp_pngs(),
             "traced": tracemalloc.get_traced_memory()[0], "rss": rss_kib()}
    return before, after, elapsed, telegram, worker_alive


def main():
    logging.getLogger("tovana.connectors.chatferry").propagate = False
    logging.getLogger("tovana.connectors.chatferry").addHandler(logging.NullHandler())
    total = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000
    tracemalloc.start()
    before, after, elapsed, telegram, alive = asyncio.run(soak(total))
    print(f"chatferry soak: {total} messages in {elapsed:.1f} s "
          f"({telegram.replies} replies, {telegram.photos} photos)")
    print(f"  queue worker alive to the end: {alive}")
    print(f"  open fds        {before['fds']} -> {after['fds']}")
    print(f"  temp .png files {before['pngs']} -> {after['pngs']}")
    print(f"  tracemalloc     {(after['traced'] - before['traced']) / 1024:+.1f} KiB (goal under 1024 KiB)")
    print(f"  resident        {after['rss'] - before['rss']:+d} KiB")
    leaked = after["fds"] != before["fds"] or after["pngs"] != before["pngs"] or not alive
    if leaked:
        print("LEAK: descriptors or files were left behind, or the worker died")
    return 1 if leaked else 0


if __name__ == "__main__":
    sys.exit(main())
