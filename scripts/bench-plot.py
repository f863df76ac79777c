#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Draws how the cost of a packet per stage grows with a chain's length.

Usage: bench-plot.py DIR RUNS OUT.png
Reads DIR/flowtask_bench.<run>.json (scripts/bench-compare's runs), takes for
each chain length the median over the runs of BM_Chain/<n>/0 (a thread per
task), BM_Chain/<n>/1 (the worker pool) and BM_Chain_Tbb/<n> (TBB's flow
graph), and plots nanoseconds per packet and stage, 1e9 / (rate x stages),
with gnuplot (scripts/peers installs it).
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile

SERIES = [
    ("thread per task", "BM_Chain/{n}/0/real_time"),
    ("worker pool", "BM_Chain/{n}/1/real_time"),
    ("TBB flow graph", "BM_Chain_Tbb/{n}/real_time"),
]


def rates(directory, runs):
    """{benchmark name: [items per second of each run]}, medians of repetitions."""
    found = {}
    for r in range(1, runs + 1):
        try:
            with open(os.path.join(directory, f"flowtask_bench.{r}.json")) as f:
                data = json.load(f)
        except (OSError, ValueError):
            continue
        per_run = {}
        for b in data.get("benchmarks", []):
            if b.get("error_occurred") or "items_per_second" not in b:
                continue
            name = b.get("run_name", b["name"])
            if b.get("run_type") == "aggregate":
                if b.get("aggregate_name") == "median":
                    per_run[name] = b["items_per_second"]
            else:
                per_run.setdefault(name, b["items_per_second"])
        for name, v in per_run.items():
            found.setdefault(name, []).append(v)
    return found


def main():
    directory, runs, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    found = rates(directory, runs)
    lengths = sorted({int(name.split("/")[1]) for name in found if name.startswith("BM_Chain")})
    if not lengths:
        print("bench-plot: no BM_Chain rows", file=sys.stderr)
        return 1
    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "chains.dat")
        with open(data, "w") as f:
            for n in lengths:
                cols = []
                for _, pattern in SERIES:
                    v = found.get(pattern.format(n=n))
                    cols.append(f"{1e9 / (statistics.median(v) * n):.1f}" if v else "NaN")
                f.write(f"{n} {' '.join(cols)}\n")
        plots = ", ".join(f"'{data}' using 1:{k + 2} with linespoints lw 2 title '{title}'"
                          for k, (title, _) in enumerate(SERIES))
        script = f"""
set terminal pngcairo size 800,500 font 'sans,10'
set output '{out}'
set title 'Chains of flow tasks, 256-byte packets, back-pressure at 1024 packets (2 processors)'
set xlabel 'stages in the chain'
set ylabel 'ns per packet and stage (lower is better)'
set logscale x 2
set logscale y 10
set xrange [{lengths[0] / 1.3}:{lengths[-1] * 1.3}]
set xtics ({', '.join(str(n) for n in lengths)})
set grid
set key top left
plot {plots}
"""
        subprocess.run(["gnuplot"], input=script, text=True, check=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
