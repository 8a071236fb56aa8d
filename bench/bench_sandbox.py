"""What the confinement adds to a shell task's round trip through `spawn`.

The same trivial command (`true`) runs through the pool with the sandbox (the
default) and with `"sandbox": false`, alternating, so drifts of a shared
machine hit both alike.  Prints a JSON object (used by bench/run.py).
"""
import asyncio
import json
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "build" / "pkg"))

from bench_jobwarden import temp_pool  # noqa: E402
from tovana.core.jobwarden import SubprocessTask  # noqa: E402

GOAL_MS = 3.0


async def main(rounds=40):
    async with temp_pool("jobwarden_bench_sandbox_", max_workers=4) as (pool, folder):
        async def once(sandbox):
            task = SubprocessTask(worker_type="shell", command={"command": ["true"], "sandbox": sandbox},
                                  working_dir=str(folder))
            t0 = time.perf_counter()
            result = await pool.spawn(task)
            elapsed = time.perf_counter() - t0
            if result.status.value != "completed":
                raise SystemExit(f"sandbox={sandbox}: {result.status.value}: {result.error}")
            return elapsed, result.output

        _, output = await once(True)
        confined, plain = [], []
        for _ in range(rounds):
            confined.append((await once(True))[0])
            plain.append((await once(False))[0])
        confined_ms, plain_ms = statistics.median(confined) * 1e3, statistics.median(plain) * 1e3
        return {"confined_ms": confined_ms, "plain_ms": plain_ms, "added_ms": confined_ms - plain_ms,
                "goal_ms": GOAL_MS, "n": rounds, "sandbox": output["sandbox"]}


if __name__ == "__main__":
    print(json.dumps(asyncio.run(main()), indent=2))
