"""Benchmarks of the worker pool against the same work written directly with asyncio.

Each figure is a ratio measured in one run, so the machine's speed cancels out:
  spawn latency      median of N sequential spawns of an echo worker
  spawn_many         wall time of 64 echo tasks at once (max_workers 64)
  event-loop lag     largest delay of a 1 ms ticker while 8 echo tasks run

Prints a JSON object with the figures (used by bench/run.py).
"""
import asyncio
import contextlib
import json
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "build" / "pkg"))

from tovana.core.jobwarden import Jobwarden, SubprocessTask  # noqa: E402

ECHO = r'''
import json, sys
for line in sys.stdin:
    msg = json.loads(line)
    if msg == {"action": "quit"}:
        break
    sys.stdout.write(json.dumps({"success": True, "result": msg}) + "\n")
    sys.stdout.flush()
'''
QUIT = b'{"action": "quit"}\n'


async def direct_round_trip(script, command):
    """What one spawn does, written directly: start, one line each way, quit, wait."""
    pipe = asyncio.subprocess.PIPE
    proc = await asyncio.create_subprocess_exec(sys.executable, script, stdin=pipe, stdout=pipe, stderr=pipe)
    proc.stdin.write((json.dumps(command) + "\n").encode())
    await proc.stdin.drain()
    answer = json.loads(await asyncio.wait_for(proc.stdout.readline(), 60))
    proc.stdin.write(QUIT)
    await proc.stdin.drain()
    await asyncio.wait_for(proc.wait(), 5)
    return answer


async def direct_many(script, command, n):
    """asyncio.gather of n direct round trips (started when awaited, as spawn_many is)."""
    return await asyncio.gather(*(direct_round_trip(script, command) for _ in range(n)))


@contextlib.asynccontextmanager
async def temp_pool(prefix, **options):
    """A pool over a fresh temporary folder; on the way out the pool is
    cleaned up and the folder removed."""
    with tempfile.TemporaryDirectory(prefix=prefix) as folder:
        pool = Jobwarden(temp_dir=folder, **options)
        try:
            yield pool, Path(folder)
        finally:
            await pool.cleanup()


async def timed(coro):
    t0 = time.perf_counter()
    await coro
    return time.perf_counter() - t0


async def ticker_lag(work):
    """Largest lateness of a 1 ms ticker while `work` runs."""
    worst = 0.0
    done = False

    async def tick():
        nonlocal worst
        while not done:
            t0 = time.perf_counter()
            await asyncio.sleep(0.001)
            worst = max(worst, time.perf_counter() - t0 - 0.001)

    ticker = asyncio.create_task(tick())
    await asyncio.sleep(0.01)
    await work
    done = True
    await ticker
    return worst


async def main(n_latency=200, n_many=64, n_lag=8, rounds=3):
    async with temp_pool("jobwarden_bench_", max_workers=max(n_many, n_lag)) as (pool, folder):
        (folder / "shell_worker.py").write_text(ECHO)
        script = str(folder / "shell_worker.py")
        pool.WORKER_SCRIPTS_DIR = folder
        command = {"echo": "x" * 64}

        def task():
            return SubprocessTask(worker_type="shell", command=command)

        # Warm up both paths (page cache, interpreter start-up).
        for _ in range(5):
            await pool.spawn(task())
            await direct_round_trip(script, command)

        # Interleave the two so drifts of the machine hit both alike.
        pool_times, direct_times = [], []
        for _ in range(n_latency):
            pool_times.append(await timed(pool.spawn(task())))
            direct_times.append(await timed(direct_round_trip(script, command)))

        many_pool, many_direct = [], []
        for _ in range(rounds):
            many_pool.append(await timed(pool.spawn_many([task() for _ in range(n_many)])))
            many_direct.append(await timed(direct_many(script, command, n_many)))

        lag_pool, lag_direct = [], []
        for _ in range(rounds * 8):
            lag_pool.append(await ticker_lag(pool.spawn_many([task() for _ in range(n_lag)])))
            lag_direct.append(await ticker_lag(direct_many(script, command, n_lag)))

        med_pool, med_direct = statistics.median(pool_times), statistics.median(direct_times)
        return {
            "spawn_latency": {"pool_ms": med_pool * 1e3, "direct_ms": med_direct * 1e3,
                              "overhead_pct": (med_pool / med_direct - 1) * 100, "n": n_latency},
            "spawn_many": {"pool_ms": min(many_pool) * 1e3, "direct_ms": min(many_direct) * 1e3,
                           "overhead_pct": (min(many_pool) / min(many_direct) - 1) * 100, "tasks": n_many},
            "loop_lag": {"pool_ms": statistics.median(lag_pool) * 1e3, "direct_ms": statistics.median(lag_direct) * 1e3,
                         "extra_ms": (statistics.median(lag_pool) - statistics.median(lag_direct)) * 1e3,
                         "tasks": n_lag},
        }


if __name__ == "__main__":
    print(json.dumps(asyncio.run(main()), indent=2))
