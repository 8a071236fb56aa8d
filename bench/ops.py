"""Shared helpers of the per-operation benchmarks: time one operation of the
native module and of its plain-Python rendering alternately, in one run.

Each side is timed in `rounds` alternating rounds of `n` calls (the order of
the two flips every round); the figure of a side is its best round, in
seconds per call."""
import time


def _turns(native, plain, rounds):
    """(side, run) in timing order: each round both sides, the order flipped every round."""
    sides = [("native", native), ("plain", plain)]
    for r in range(rounds):
        yield from (sides if r % 2 == 0 else sides[::-1])


def alternate(native, plain, n, rounds=7):
    """native, plain: callables running the operation n times."""
    best = {"native": float("inf"), "plain": float("inf")}
    for side, run in _turns(native, plain, rounds):
        t0 = time.perf_counter()
        run(n)
        best[side] = min(best[side], (time.perf_counter() - t0) / n)
    return best


async def alternate_async(native, plain, n, rounds=7):
    """native, plain: coroutine functions running the operation n times."""
    best = {"native": float("inf"), "plain": float("inf")}
    for side, run in _turns(native, plain, rounds):
        t0 = time.perf_counter()
        await run(n)
        best[side] = min(best[side], (time.perf_counter() - t0) / n)
    return best


def row(label, best, unit="us"):
    """One row: seconds per call of both sides and the speed ratio (plain / native)."""
    return {"op": label, "native_s": best["native"], "plain_s": best["plain"],
            "ratio": best["plain"] / best["native"], "unit": unit}
