"""Leak soak of the worker pool: many spawns through one pool, every outcome.

Usage: soak_jobwarden.py [SPAWNS]   (default 10,000)

Runs the spawns in waves through one Jobwarden, mixing answers, failure
answers, time-outs, crashes, standard-error floods, null answers,
cancellations, unknown types and refusals at the worker limit.  Compares,
after a warm-up and at the end: open file descriptors, child processes and
zombies, tracemalloc's total and the resident set.  Exits non-zero when
descriptors or children leak.
"""
import asyncio
import gc
import os
import sys
import time
import tracemalloc
from collections import Counter
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "build" / "pkg"))

from bench_jobwarden import temp_pool  # noqa: E402
from measure import open_fds, rss_kib  # noqa: E402
from tovana.core.jobwarden import SubprocessTask  # noqa: E402

WORKER = r'''
import json, os, select, sys

def readline():
    # Unbuffered, so that select() below sees a quit line that is already sent.
    data = b""
    while not data.endswith(b"\n"):
        byte = os.read(0, 1)
        if not byte:
            break
        data += byte
    return data

while True:
    line = readline()
    if not line:
        break
    msg = json.loads(line)
    if msg == {"action": "quit"}:
        break
    kind = msg.get("kind")
    if kind == "fail":
        answer = {"success": False, "error": "no"}
    elif kind == "sleep":
        # Sleep, but leave at once on the quit line (or end of input).
        if select.select([0], [], [], msg["seconds"])[0]:
            break
        answer = {"success": True}
    elif kind == "crash":
        sys.stderr.write("boom\n")
        os._exit(3)
    elif kind == "flood":
        sys.stderr.write("e" * 300_000)
        sys.stderr.flush()
        answer = {"success": True, "result": "after flood"}
    elif kind == "null":
        sys.stdout.write("null\n")
        sys.stdout.flush()
        continue
    else:
        answer = {"success": True, "result": msg}
    sys.stdout.write(json.dumps(answer) + "\n")
    sys.stdout.flush()
'''

KINDS = ["ok", "fail", "timeout", "crash", "flood", "null", "cancel", "unknown", "ok", "ok"]


def children():
    """(live, zombie) children of this process."""
    me = str(os.getpid())
    live = zombies = 0
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if fields[1] == me:
            if fields[0] == "Z":
                zombies += 1
            else:
                live += 1
    return live, zombies


async def one(pool, kind, outcomes):
    if kind == "unknown":
        task = SubprocessTask(worker_type="docker")
    elif kind == "timeout":
        task = SubprocessTask(worker_type="shell", command={"kind": "sleep", "seconds": 5}, timeout=0.2)
    elif kind == "cancel":
        task = SubprocessTask(worker_type="shell", command={"kind": "sleep", "seconds": 5})
        running = asyncio.ensure_future(pool.spawn(task))
        while task.id not in pool._workers and not running.done():
            await asyncio.sleep(0.005)
        await pool.cancel(task.id)
        result = await running
        outcomes[("cancel", result.status.value)] += 1
        return
    else:
        task = SubprocessTask(worker_type="shell", command={"kind": kind})
    result = await pool.spawn(task)
    outcomes[(kind, result.status.value)] += 1


async def wave(pool, n, start, outcomes, width):
    kinds = [KINDS[(start + i) % len(KINDS)] for i in range(n)]
    await asyncio.gather(*(one(pool, k, outcomes) for k in kinds))
    if start % (10 * width):
        return
    # Every tenth wave: a batch over the limit, so that refusals happen too.
    refused = await pool.spawn_many([SubprocessTask(worker_type="shell", command={"kind": "sleep", "seconds": 0.3})
                                     for _ in range(width + 2)])
    for r in refused:
        outcomes[("limit", r.status.value)] += 1


async def soak(total, width=8):
    async with temp_pool("jobwarden_soak_", max_workers=width) as (pool, folder):
        (folder / "shell_worker.py").write_text(WORKER)
        pool.WORKER_SCRIPTS_DIR = folder
        pool.on_result(lambda result: None)
        outcomes = Counter()
        done = 0

        async def run(n):
            nonlocal done
            while n > 0:
                k = min(width, n)
                await wave(pool, k, done, outcomes, width)
                done += k
                n -= k
                pool._results.clear()  # the store keeps every result by design; keep the soak about leaks
                await pool.cleanup()

        warm = min(200, total // 10)
        await run(warm)
        gc.collect()
        before = {"fds": open_fds(), "children": children(), "traced": tracemalloc.get_traced_memory()[0],
                  "rss_kib": rss_kib()}
        t0 = time.perf_counter()
        await run(total - warm)
        elapsed = time.perf_counter() - t0
        await pool.cleanup()
        gc.collect()
        await asyncio.sleep(0.1)
        after = {"fds": open_fds(), "children": children(), "traced": tracemalloc.get_traced_memory()[0],
                 "rss_kib": rss_kib()}
        return before, after, outcomes, elapsed


def main():
    total = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000
    tracemalloc.start()
    before, after, outcomes, elapsed = asyncio.run(soak(total))
    print(f"jobwarden soak: {total} spawns in {elapsed:.0f} s")
    for (kind, status), n in sorted(outcomes.items()):
        print(f"  {kind:<8} -> {status:<10} {n}")
    print(f"  open fds        {before['fds']} -> {after['fds']}")
    print(f"  children/zombies {before['children']} -> {after['children']}")
    growth = (after["traced"] - before["traced"]) / 1024
    print(f"  tracemalloc     {growth:+.1f} KiB (goal under 1024 KiB)")
    print(f"  resident        {after['rss_kib'] - before['rss_kib']:+d} KiB")
    leaked = after["fds"] != before["fds"] or after["children"] != (0, 0)
    if leaked:
        print("LEAK: descriptors or child processes were left behind")
    return 1 if leaked else 0


if __name__ == "__main__":
    sys.exit(main())
