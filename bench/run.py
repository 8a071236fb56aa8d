"""Run the benchmarks and write their figures into the README's table.

Usage: run.py PYTHON314 PYTHON312   (what `make bench` does)
"""
import json
import re
import subprocess
import sys
from pathlib import Path

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


def per_operation(py314, py312):
    """Each native operation beside its plain-Python rendering (ops_table.py)."""
    import ops_table

    return ops_table.render(ops_table.measure(py314, py312))


def main():
    py314, py312 = sys.argv[1], sys.argv[2]
    jw = run(py314, "bench_jobwarden.py")
    cf = run(py312, "bench_chatferry.py") if (HERE / "bench_chatferry.py").exists() else None
    tables = table(jw, cf) + "\n\n" + per_operation(py314, py312)
    text = README.read_text()
    block = f"{BEGIN}\n{tables}\n{END}"
    text = re.sub(re.escape(BEGIN) + ".*?" + re.escape(END), lambda _: block, text, flags=re.S)
    README.write_text(text)
    print(tables)


if __name__ == "__main__":
    main()
