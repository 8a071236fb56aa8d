"""Run the benchmarks and write their figures into the README's table.

Usage: run.py PYTHON314 PYTHON312   (what `make bench` does)
"""
import json
import re
import subprocess
import sys
from pathlib import Path

import ops_table

HERE = Path(__file__).resolve().parent
README = HERE.parent / "README.md"
BEGIN, END = "<!-- bench:begin -->", "<!-- bench:end -->"


def run(python, script):
    out = subprocess.run([python, str(HERE / script)], check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def table(jw, cf):
    lat, many, lag = jw["spawn_latency"], jw["spawn_many"], jw["loop_lag"]
    rows = [
        ("`spawn` latency, median of %d echo tasks" % lat["n"], "%.2f ms" % lat["pool_ms"],
         "%.2f ms" % lat["direct_ms"], "%+.1f %%" % lat["overhead_pct"], "under +3 %"),
        ("`spawn_many` of %d echo tasks" % many["tasks"], "%.0f ms" % many["pool_ms"],
         "%.0f ms" % many["direct_ms"], "%+.1f %%" % many["overhead_pct"], "within 3 %"),
        ("event-loop lag during %d echo tasks (1 ms ticker, worst delay)" % lag["tasks"],
         "%.1f ms" % lag["pool_ms"], "%.1f ms" % lag["direct_ms"], "%+.1f ms" % lag["extra_ms"], "at most +5 ms"),
    ]
    if cf:
        rows.append(("chatferry: messages from the Telegram callback to the reply",
                     "%.0f msg/s" % cf["messages_per_second"], "", "%.1f µs/msg" % cf["us_per_message"], "reported"))
    lines = ["| measure | pool | direct asyncio | difference | goal |", "|---|---|---|---|---|"]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(lines)


def worker_table(wk):
    lines = ["| worker type, trivial command | through `spawn` | bare floor | ratio | goal |",
             "|---|---|---|---|---|"]
    for worker_type, r in wk.items():
        lines.append("| `%s`, median of %d | %.1f ms | %.1f ms | %.2f× | at most %.1f× |"
                     % (worker_type, r["n"], r["spawn_ms"], r["floor_ms"], r["ratio"], r["goal"]))
    return "\n".join(lines)


def sandbox_table(sb):
    lines = ["| confinement, shell `true` through `spawn` | sandboxed | `\"sandbox\": false` | added | goal |",
             "|---|---|---|---|---|",
             "| median of %d, alternating (Landlock ABI %s, network: %s) | %.1f ms | %.1f ms | %+.2f ms | at most +%.0f ms |"
             % (sb["n"], sb["sandbox"].get("landlock_abi"), sb["sandbox"].get("network"),
                sb["confined_ms"], sb["plain_ms"], sb["added_ms"], sb["goal_ms"])]
    return "\n".join(lines)


def per_operation(py314, py312):
    """Each native operation beside its plain-Python rendering (ops_table.py)."""
    rows = run(py314, "bench_ops_jobwarden.py") + run(py312, "bench_ops_chatferry.py")
    return ops_table.render(rows)


def main():
    py314, py312 = sys.argv[1], sys.argv[2]
    jw = run(py314, "bench_jobwarden.py")
    cf = run(py312, "bench_chatferry.py") if (HERE / "bench_chatferry.py").exists() else None
    wk = run(py314, "bench_workers.py")
    sb = run(py314, "bench_sandbox.py")
    tables = [table(jw, cf), per_operation(py314, py312), worker_table(wk), sandbox_table(sb)]
    text = README.read_text()
    block = BEGIN + "\n" + "\n\n".join(tables) + "\n" + END
    text = re.sub(re.escape(BEGIN) + ".*?" + re.escape(END), lambda _: block, text, flags=re.S)
    README.write_text(text)
    print("\n\n".join(tables))


if __name__ == "__main__":
    main()
