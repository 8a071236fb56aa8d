"""Per-operation figures of the pool's own operations against their
plain-Python rendering (plain_jobwarden.py), and of the coroutine bridge
(a native coroutine created and finished, one co_await of a ready
awaitable) against `async def`.  Both sides are first checked to give the
same results.  Prints a JSON list of rows."""
import asyncio
import json
import sys
import types
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "build" / "pkg"))
sys.path.insert(1, str(ROOT / "build" / "testmods" / f"py{sys.version_info[0]}{sys.version_info[1]}"))

import ops  # noqa: E402
import plain_jobwarden as plain  # noqa: E402
import tovana.core.jobwarden as jw  # noqa: E402

N = 20_000


def loop_of(op):
    def run(n):
        for _ in range(n):
            op()
    return run


def async_loop_of(op):
    async def run(n):
        for _ in range(n):
            await op()
    return run


async def main():
    rows = []
    command, env = {"command": "ls"}, {"A": "1"}
    args = ("t1", "shell", command, 2, 30.0, "/tmp", env, 1.5)

    # Records: construction with every field given, with the defaults, and to_dict().
    n_task, p_task = jw.SubprocessTask(*args), plain.SubprocessTask(*args)
    assert n_task.to_dict() == p_task.to_dict()
    rows.append(ops.row("`SubprocessTask(...)`, every field given",
                        ops.alternate(loop_of(lambda: jw.SubprocessTask(*args)),
                                      loop_of(lambda: plain.SubprocessTask(*args)), N)))
    rows.append(ops.row("`SubprocessTask()`, default id and time",
                        ops.alternate(loop_of(jw.SubprocessTask), loop_of(plain.SubprocessTask), N)))
    rows.append(ops.row("`SubprocessTask.to_dict()`", ops.alternate(loop_of(n_task.to_dict), loop_of(p_task.to_dict), N)))
    n_res = jw.SubprocessResult("t1", jw.WorkerStatus.COMPLETED, {"a": 1}, None, 0.25, 42)
    p_res = plain.SubprocessResult("t1", plain.WorkerStatus.COMPLETED, {"a": 1}, None, 0.25, 42)
    assert n_res.to_dict() == p_res.to_dict()
    rows.append(ops.row("`SubprocessResult(...)`",
                        ops.alternate(loop_of(lambda: jw.SubprocessResult("t1", jw.WorkerStatus.COMPLETED)),
                                      loop_of(lambda: plain.SubprocessResult("t1", plain.WorkerStatus.COMPLETED)),
                                      N)))
    rows.append(ops.row("`SubprocessResult.to_dict()`",
                        ops.alternate(loop_of(n_res.to_dict), loop_of(p_res.to_dict), N)))

    # WorkerProcess.pid with a (stand-in) child.
    n_worker, p_worker = jw.WorkerProcess("w1", "x.py"), plain.WorkerProcess("w1", "x.py")
    n_worker.process = p_worker.process = types.SimpleNamespace(pid=4242)
    assert n_worker.pid == p_worker.pid == 4242
    rows.append(ops.row("`WorkerProcess.pid`",
                        ops.alternate(loop_of(lambda: n_worker.pid), loop_of(lambda: p_worker.pid), N)))

    # _notify with one plain callback; cancel of an unknown id.
    n_pool, p_pool = jw.Jobwarden(temp_dir="/tmp"), plain.Jobwarden()
    seen = []
    n_pool.on_result(seen.append)
    p_pool._callbacks.append(seen.append)
    await n_pool._notify(n_res)
    await p_pool._notify(p_res)
    assert seen == [n_res, p_res]
    seen.clear()
    rows.append(ops.row("`Jobwarden._notify`, one callback",
                        await ops.alternate_async(async_loop_of(lambda: n_pool._notify(n_res)),
                                                  async_loop_of(lambda: p_pool._notify(p_res)), N)))
    seen.clear()
    assert await n_pool.cancel("nope") is False and await p_pool.cancel("nope") is False
    rows.append(ops.row("`Jobwarden.cancel` of an unknown id",
                        await ops.alternate_async(async_loop_of(lambda: n_pool.cancel("nope")),
                                                  async_loop_of(lambda: p_pool.cancel("nope")), N)))

    # The coroutine bridge itself (test module over the runtime layer).
    try:
        import _rttest
    except ImportError:
        return rows
    loop = asyncio.get_running_loop()
    ready = loop.create_future()
    ready.set_result(7)

    async def at_once():
        return None

    async def await_times(aw, n):
        for _ in range(n):
            await aw

    assert await _rttest.at_once() is await at_once() is None
    rows.append(ops.row("native coroutine created, awaited and finished (nothing awaited inside)",
                        await ops.alternate_async(async_loop_of(_rttest.at_once), async_loop_of(at_once), N)))

    # Per `co_await` of a done future inside one coroutine: n awaits per call.
    def awaits(f):
        async def run(n):
            await f(ready, n)
        return run

    rows.append(ops.row("`co_await` of a done future inside a native coroutine",
                        await ops.alternate_async(awaits(_rttest.await_times), awaits(await_times), N * 5)))
    return rows


if __name__ == "__main__":
    print(json.dumps(asyncio.run(main())))
