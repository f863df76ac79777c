#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Draws a Chrome trace-event JSON file as a PNG timeline with gnuplot.

Usage: trace-png.py TRACE.json OUT.png [--from SECONDS] [--to SECONDS] [--width PIXELS]
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile

# Event name -> (legend, colour, lower and upper edge within a row of height 1).
# Cycles are drawn as a band behind the steps they hold; waits and sleeps
# fill the gaps between steps.
SPANS = [
    ("cycle", "cycle", "#d9d9d9", 0.10, 0.90),
    ("step", "work step", "#1f77b4", 0.25, 0.75),
    ("wait: input empty", "wait: input empty", "#ff9f1c", 0.30, 0.70),
    ("wait: output full", "wait: output full", "#d62728", 0.30, 0.70),
    ("idle: no inputs", "idle", "#9e9e9e", 0.30, 0.70),
    ("sleep", "pacing sleep", "#2ca02c", 0.40, 0.60),
    ("handle", "queue handler", "#9467bd", 0.25, 0.75),
]
INSTANTS = [
    ("dropout", "dropout", "#d62728", 7),
    ("flush", "flush", "#000000", 2),
    ("end of flow", "end of flow in", "#000000", 6),
    ("end of flow sent", "end of flow out", "#000000", 4),
]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("trace")
    ap.add_argument("png")
    ap.add_argument("--from", dest="start", type=float, default=None, help="first second shown")
    ap.add_argument("--to", dest="end", type=float, default=None, help="last second shown")
    ap.add_argument("--width", type=int, default=1600)
    a = ap.parse_args()

    with open(a.trace) as f:
        events = json.load(f)["traceEvents"]
    names = {e["tid"]: e["args"]["name"] for e in events if e.get("ph") == "M" and e.get("name") == "thread_name"}
    rows = sorted({e["tid"] for e in events if e.get("ph") in ("X", "i")})
    if not rows:
        sys.exit(f"{a.trace}: no events")
    row = {tid: len(rows) - k for k, tid in enumerate(rows)}  # first thread on top
    lo = a.start * 1e6 if a.start is not None else min(e["ts"] for e in events if e.get("ph") in ("X", "i"))
    hi = a.end * 1e6 if a.end is not None else max(e["ts"] + e.get("dur", 0) for e in events if e.get("ph") in ("X", "i"))
    if hi <= lo:
        hi = lo + 1

    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "boxes.dat")
        plots = []
        with open(data, "w") as out:
            def block(lines, style):
                # One data block per kind of event, one plot (and legend
                # entry) per block; kinds without events in the window drop out.
                if lines:
                    out.write("".join(lines) + "\n\n")
                    plots.append(f"'{data}' index {len(plots)} {style}")

            for name, legend, colour, y0, y1 in SPANS:
                # x in milliseconds; boxxyerror: x y xlow xhigh ylow yhigh
                block([f"{e['ts'] / 1e3:.6f} {row[e['tid']]} {e['ts'] / 1e3:.6f} {(e['ts'] + e['dur']) / 1e3:.6f} "
                       f"{row[e['tid']] - 1 + y0} {row[e['tid']] - 1 + y1}\n"
                       for e in events if e.get("ph") == "X" and e["name"] == name
                       and e["ts"] + e["dur"] >= lo and e["ts"] <= hi],
                      f"using 1:2:3:4:5:6 with boxxyerror fs solid 1.0 noborder lc rgb '{colour}' title '{legend}'")
            for name, legend, colour, pt in INSTANTS:
                block([f"{e['ts'] / 1e3:.6f} {row[e['tid']] - 0.5}\n"
                       for e in events if e.get("ph") == "i" and e["name"] == name and lo <= e["ts"] <= hi],
                      f"using 1:2 with points pt {pt} ps 1.2 lc rgb '{colour}' title '{legend}'")
        labels = ", ".join("'" + names.get(tid, f'thread {tid}').replace("'", "''") + f"' {row[tid] - 0.5}" for tid in rows)
        height = 140 + 46 * len(rows)
        script = f"""
set terminal pngcairo size {a.width},{height} font 'Sans,10'
set output '{a.png}'
set xrange [{lo / 1e3:.6f}:{hi / 1e3:.6f}]
set yrange [0:{len(rows)}]
set ytics ({labels}) scale 0
set xlabel '{os.path.basename(a.trace)}: time since the recording began (ms)'
set grid xtics
set key outside top center horizontal
plot {", ".join(plots)}
"""
        gp = os.path.join(tmp, "plot.gp")
        with open(gp, "w") as f:
            f.write(script)
        subprocess.run(["gnuplot", gp], check=True)


if __name__ == "__main__":
    main()
