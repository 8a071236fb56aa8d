"""Drive a Jobwarden pool of the shipped worker scripts on real input.

Runs a batch of four tasks through spawn_many (a shell command, a file edit
in a temporary folder, an analysis of a standard-library module and a tool
written at run time), a task that times out and a task that is cancelled,
then prints the stored results and cleans the pool up.
"""
import asyncio
import shutil
import sys
import sysconfig
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "build" / "pkg"))

from tovana.core.jobwarden import Jobwarden, SubprocessTask, TaskPriority  # noqa: E402

TOOL = '''
def run(args):
    """Count words and report the longest."""
    words = args["text"].split()
    return {"words": len(words), "longest": max(words, key=len)}
'''


def summary(result):
    out = result.output
    if result.error and not out:
        return result.error
    if isinstance(out, dict):
        if "exit_code" in out:
            return f"exit {out['exit_code']}: {out['stdout'].strip()!r}"
        if "totals" in out:
            t = out["totals"]
            return (f"{t['functions']} functions, {t['classes']} classes, "
                    f"max complexity {t['max_complexity']}, imports {out['imports']}")
        if "replacements" in out:
            return f"{out['replacements']} replacement(s) in {out['path']}"
        if "value" in out and "sandbox" in out:      # a confined custom tool
            return f"{out['value']} (network: {out['sandbox'].get('network')})"
        return str(out)
    return str(out)


def print_table(pool, kinds):
    rows = pool.list_results(limit=50)
    print(f"\n{'task':<14}{'type':<15}{'status':<11}{'duration':>9}  summary")
    print("-" * 100)
    for row in rows:
        result = pool.get_result(row["task_id"])
        text = summary(result)
        print(f"{row['task_id']:<14}{kinds[row['task_id']]:<15}{row['status']:<11}"
              f"{row['duration']:>8.3f}s  {text[:52]}")


async def main():
    folder = Path(tempfile.mkdtemp(prefix="jobwarden_demo_"))
    (folder / "util.py").write_text("def add(a, b):\n    return a + b\n")
    pool = Jobwarden(max_workers=8, default_timeout=30.0)
    announced = []
    pool.on_result(lambda result: announced.append(result.task_id))
    kinds = {}

    def task(kind, command, **kw):
        t = SubprocessTask(worker_type=kind, command=command, **kw)
        kinds[t.id] = kind
        return t

    stdlib_module = Path(sysconfig.get_paths()["stdlib"]) / "json" / "decoder.py"
    batch = [
        task("shell", {"command": "echo hello from $(uname -s)", "timeout": 10}),
        task("file_edit", {"action": "replace", "path": "util.py", "old": "a + b", "new": "b + a"},
             working_dir=str(folder)),
        task("code_analysis", {"path": str(stdlib_module)}, priority=TaskPriority.HIGH),
        task("custom", {"source": TOOL, "args": {"text": "pools of worker processes"}}),
    ]
    print(f"Batch of {len(batch)} tasks through spawn_many ...")
    for r in await pool.spawn_many(batch):
        print(f"  {kinds[r.task_id]:<14} {r.status.value:<10} pid {r.pid}")

    print("A shell task with a 0.5 s time-out that sleeps 5 s ...")
    slow = task("shell", {"command": "sleep 5", "timeout": 10}, timeout=0.5)
    r = await pool.spawn(slow)
    print(f"  {r.status.value}: {r.error}")

    print("A long task, cancelled while it runs ...")
    long = task("shell", {"command": "sleep 30", "timeout": 60})
    running = asyncio.create_task(pool.spawn(long))
    while not pool.list_active():
        await asyncio.sleep(0.02)
    print(f"  active: {pool.list_active()}")
    print(f"  cancel -> {await pool.cancel(long.id)}; "
          f"stored now: {pool.get_result(long.id).status.value}")
    r = await running
    print(f"  its spawn then ended as {r.status.value}: {(r.error or '').strip()[:60]}")

    print("\nStored results, longest first:")
    print_table(pool, kinds)
    print(f"\nCallbacks saw {len(announced)} results. "
          f"Edited file now reads: {(folder / 'util.py').read_text().splitlines()[1].strip()!r}")
    await pool.cleanup()
    print(f"After cleanup: {len(pool.list_active())} active, {len(pool.list_results(100))} results kept.")
    shutil.rmtree(folder)
    shutil.rmtree(pool.temp_dir, ignore_errors=True)


if __name__ == "__main__":
    asyncio.run(main())
