"""Round trip of a trivial command through `spawn`, per worker type, beside the bare floor.

The floor is the same round trip written directly with asyncio against the
echo script of bench_jobwarden.py under the same interpreter: start it, one
line each way, the quit line, wait for the exit.  Each worker type's run
alternates with a floor run, so drifts of a shared machine hit both alike.

Prints a JSON object (used by bench/run.py).
"""
import asyncio
import json
import statistics
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "build" / "pkg"))

from bench_jobwarden import ECHO, direct_round_trip, temp_pool, timed  # noqa: E402
from tovana.core.jobwarden import SubprocessTask  # noqa: E402

# worker type -> (trivial command, goal as a multiple of the floor)
CASES = {
    "shell": ({"command": "true"}, 1.5),
    "file_edit": ({"action": "read", "path": "two_lines.txt"}, 1.5),
    "code_analysis": ({"path": "two_lines.py"}, 1.5),
    "custom": ({"source": "def run(a):\n    return 1\n"}, 2.0),
}


async def main(rounds=25):
    async with temp_pool("jobwarden_bench_workers_", max_workers=4) as (pool, folder):
        floor_script = str(folder / "floor.py")
        Path(floor_script).write_text(ECHO)
        (folder / "two_lines.txt").write_text("one\ntwo\n")
        (folder / "two_lines.py").write_text("def f(x):\n    return x\n")
        out = {}
        for worker_type, (command, goal) in CASES.items():
            def task():
                return SubprocessTask(worker_type=worker_type, command=command, working_dir=str(folder))
            result = await pool.spawn(task())
            if result.status.value != "completed":
                raise SystemExit(f"{worker_type}: {result.status.value}: {result.error}")
            await direct_round_trip(floor_script, {})
            times, floors = [], []
            for _ in range(rounds):
                times.append(await timed(pool.spawn(task())))
                floors.append(await timed(direct_round_trip(floor_script, {})))
            spawn_ms, floor_ms = statistics.median(times) * 1e3, statistics.median(floors) * 1e3
            out[worker_type] = {"spawn_ms": spawn_ms, "floor_ms": floor_ms,
                                "ratio": spawn_ms / floor_ms, "goal": goal, "n": rounds}
        return out


if __name__ == "__main__":
    print(json.dumps(asyncio.run(main()), indent=2))
