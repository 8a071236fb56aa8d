"""The per-operation table: each operation of the native modules beside its
plain-Python rendering, measured alternately in one run (bench_ops_*.py),
with the ratio of their rates and the goal it is held to."""
import math

# Goal of each row (by its label's start).  The pool's operations (to_dict,
# pid, _notify, cancel) share one and a goal for their geometric mean; the
# records' construction must be at least as fast as the dataclass.
BRIDGE_GOALS = {"chatferry: one message": 1.5, "chatferry: messages through": 1.3}
POOL_GOAL = 1.0
POOL_MEAN_GOAL = 1.3
CONSTRUCTION = ("`SubprocessTask(", "`SubprocessResult(")
# Construction with every value given runs the very same dataclass
# __init__ on both sides (no native default is called): its goal is parity,
# and its ratio shows the machine's noise.
PARITY = ("`SubprocessTask(...)`", "`SubprocessResult(...)`")


def goal_of(row):
    for start, goal in BRIDGE_GOALS.items():
        if row["op"].startswith(start):
            return goal
    if row["op"].startswith(("native coroutine", "`co_await`")):
        return None
    return POOL_GOAL


def figure(seconds):
    us = seconds * 1e6
    return "%.2f µs" % us if us < 10 else "%.1f µs" % us


def render(rows):
    lines = ["| operation | native | plain Python | speed ratio | goal |", "|---|---|---|---|---|"]
    pool = []
    for r in rows:
        goal = goal_of(r)
        if goal == POOL_GOAL and not r["op"].startswith(CONSTRUCTION):
            pool.append(r["ratio"])
        goal_text = "reported" if goal is None else "at least %.1f×" % goal
        if r["op"].startswith(PARITY):
            goal_text = "parity: the same dataclass `__init__` on both sides"
        lines.append("| %s | %s | %s | %.2f× | %s |" % (r["op"], figure(r["native_s"]), figure(r["plain_s"]),
                                                         r["ratio"], goal_text))
    if pool:
        mean = math.exp(sum(math.log(x) for x in pool) / len(pool))
        lines.append("| pool operations above (to_dict, pid, _notify, cancel), geometric mean |  |  | %.2f× | at least %.1f× |" % (mean, POOL_MEAN_GOAL))
    return "\n".join(lines)
