#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Reads the JSON of scripts/bench-compare's runs and prints bench/RESULTS.md.

Usage: bench-compare.py DIR RUNS PACING_SECONDS
DIR holds <binary>.<run>.json and commands.txt.
"""
import json
import os
import statistics
import sys

# (case, binary, ours, peer, kind, goal)
#  kind "rate": items per second, ratio = ours / peer, goal: ratio >= goal
#  kind "cost": real time per operation, ratio = ours / peer, goal: ratio <= goal
#  kind "p99":  counter late_p99_us, ratio = ours / peer, goal: ratio <= goal
#  kind "kib":  counter kib_per_task, ratio = ours / peer shown; goal: ours <= goal KiB
CASES = [
    ("Handoff 256 B, 2 flow tasks vs moodycamel BlockingReaderWriterQueue(1024)",
     "flowtask_bench", "BM_Handoff/real_time", "BM_Handoff_MoodycamelRWQ/real_time", "rate", 1.0),
    ("Handoff 256 B, 2 flow tasks vs TBB input_node -> limiter(1024) -> function_node",
     "flowtask_bench", "BM_Handoff/real_time", "BM_Handoff_TbbGraph/real_time", "rate", 2.0),
    ("4-stage pipeline vs TBB 4 serial function_nodes + limiter",
     "flowtask_bench", "BM_Pipeline4/real_time", "BM_Pipeline4_TbbGraph/real_time", "rate", 1.5),
    ("4-stage pipeline vs gst-launch fakesrc ! 3 queues, 2 identity ! fakesink",
     "flowtask_bench", "BM_Pipeline4/real_time", "BM_Pipeline4_GstLaunch/iterations:2/manual_time", "rate", 5.0),
    ("Fork to 2 consumers vs TBB broadcast_node to 2 serial sinks",
     "flowtask_bench", "BM_Fork2/real_time", "BM_Fork2_TbbBroadcast/real_time", "rate", 1.0),
    ("Fork to 2 consumers vs gst-launch tee with two queues",
     "flowtask_bench", "BM_Fork2/real_time", "BM_Fork2_GstTee/iterations:2/manual_time", "rate", 5.0),
    ("Queue task, 1 producer, bounded 1024 vs tbb::concurrent_bounded_queue",
     "queuetask_bench", "BM_QueueTask/producers:1/capacity:1024/real_time",
     "BM_TbbBoundedQueue/producers:1/capacity:1024/real_time", "rate", 1.0),
    ("Queue task, 2 producers, bounded 1024 vs tbb::concurrent_bounded_queue",
     "queuetask_bench", "BM_QueueTask/producers:2/capacity:1024/real_time",
     "BM_TbbBoundedQueue/producers:2/capacity:1024/real_time", "rate", 1.0),
    ("Queue task, 1 producer, bounded 1024 vs moodycamel BlockingConcurrentQueue",
     "queuetask_bench", "BM_QueueTask/producers:1/capacity:1024/real_time",
     "BM_MoodycamelQueue/producers:1/capacity:1024/real_time", "rate", 1.0),
    ("Queue task, 2 producers, bounded 1024 vs moodycamel BlockingConcurrentQueue",
     "queuetask_bench", "BM_QueueTask/producers:2/capacity:1024/real_time",
     "BM_MoodycamelQueue/producers:2/capacity:1024/real_time", "rate", 1.0),
    ("Direct send, 1 receiver vs sigc++ 3 emit, 1 slot",
     "message_bench", "BM_DirectSend/1", "BM_SigcEmit/1", "cost", 1.0),
    ("Direct send, 8 receivers vs sigc++ 3 emit, 8 slots",
     "message_bench", "BM_DirectSend/8", "BM_SigcEmit/8", "cost", 1.0),
    ("Buffered send + poll vs sigc++ 3 emit, 1 slot",
     "message_bench", "BM_BufferedSendPoll", "BM_SigcEmit/1", "cost", 3.0),
    ("Packet list append + read vs std::map insert-with-hint + erase-begin",
     "flow_bench", "BM_ListStream", "BM_MapStream", "cost", 1.0),
    # The cost of watching a graph: "peer" is the same graph unwatched.
    ("Handoff 256 B, stage metrics on vs off (the default)",
     "flowtask_bench", "BM_Handoff_Metrics/real_time", "BM_Handoff/real_time", "rate", 0.97),
    ("4-stage pipeline, stage metrics on vs off",
     "flowtask_bench", "BM_Pipeline4_Metrics/real_time", "BM_Pipeline4/real_time", "rate", 0.97),
    ("Fork to 2 consumers, stage metrics on vs off",
     "flowtask_bench", "BM_Fork2_Metrics/real_time", "BM_Fork2/real_time", "rate", 0.97),
    ("Handoff 256 B, trace recording vs none",
     "flowtask_bench", "BM_Handoff_Traced/real_time", "BM_Handoff/real_time", "rate", 0.90),
    ("4-stage pipeline, trace recording vs none",
     "flowtask_bench", "BM_Pipeline4_Traced/real_time", "BM_Pipeline4/real_time", "rate", 0.90),
    ("Fork to 2 consumers, trace recording vs none",
     "flowtask_bench", "BM_Fork2_Traced/real_time", "BM_Fork2/real_time", "rate", 0.90),
    ("Lambda stages of a zkflow::Graph vs hand-written ZtFlowTask subclasses, source -> gain -> sink",
     "stage_bench", "BM_LambdaStages/real_time", "BM_TaskSubclasses/real_time", "rate", 0.95),
    ("Clock-regulated source 192,000 B/s: wake-up lateness p99 vs bare clock_nanosleep loop",
     "flowtask_bench", "BM_PacedSource192k/iterations:1/real_time",
     "BM_PacedBareSleep/iterations:1/real_time", "p99", 2.0),
    # Scale: every task on the worker pool, against TBB's flow graph.
    ("Chain of 2 stages on the pool vs TBB 2 serial function_nodes + limiter(1024)",
     "flowtask_bench", "BM_Chain/2/1/real_time", "BM_Chain_Tbb/2/real_time", "rate", 2.5),
    ("Chain of 4 stages on the pool vs TBB 4 serial function_nodes + limiter(1024)",
     "flowtask_bench", "BM_Chain/4/1/real_time", "BM_Chain_Tbb/4/real_time", "rate", 1.5),
    ("Chain of 8 stages on the pool vs TBB 8 serial function_nodes + limiter(1024)",
     "flowtask_bench", "BM_Chain/8/1/real_time", "BM_Chain_Tbb/8/real_time", "rate", 1.5),
    ("Chain of 32 stages on the pool vs TBB 32 serial function_nodes + limiter(1024)",
     "flowtask_bench", "BM_Chain/32/1/real_time", "BM_Chain_Tbb/32/real_time", "rate", 1.5),
    ("Chain of 64 stages on the pool vs TBB 64 serial function_nodes + limiter(1024)",
     "flowtask_bench", "BM_Chain/64/1/real_time", "BM_Chain_Tbb/64/real_time", "rate", 1.5),
    ("16 independent 4-stage pipelines at once on the pool vs 16 TBB 4-node graphs at once",
     "flowtask_bench", "BM_Pipelines16/1/real_time", "BM_Pipelines16_Tbb/real_time", "rate", 1.5),
    ("Fork to 2 consumers on the pool vs TBB broadcast_node to 2 serial sinks",
     "flowtask_bench", "BM_Fork2On/1/real_time", "BM_Fork2_TbbBroadcast/real_time", "rate", 1.5),
    ("64 clock-regulated sources at 192,000 B/s on the pool: wake-up lateness p99 vs bare clock_nanosleep loop",
     "flowtask_bench", "BM_PacedSources64Pool/iterations:1/real_time",
     "BM_PacedBareSleep/iterations:1/real_time", "p99", 2.0),
    ("1000 idle tasks, resident memory per task: pool (goal) vs a thread per task",
     "flowtask_bench", "BM_IdleTasks1000/1/iterations:1/real_time",
     "BM_IdleTasks1000/0/iterations:1/real_time", "kib", 64),
]


def load(directory, binary, run):
    path = os.path.join(directory, f"{binary}.{run}.json")
    try:
        with open(path) as f:
            data = json.load(f)
    except (OSError, ValueError):
        return None, None
    # With repetitions, a benchmark's figure in this run is the median of its
    # repetitions (interleaved with the peers' at random); without, its only row.
    rows = {}
    for b in data.get("benchmarks", []):
        if b.get("error_occurred"):
            continue
        name = b.get("run_name", b["name"])
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                rows[name] = b
        elif name not in rows or rows[name].get("run_type") != "aggregate":
            rows.setdefault(name, b)
    return rows, data.get("context", {})


def value(row, kind):
    if row is None:
        return None
    if kind == "rate":
        return row.get("items_per_second")
    if kind == "cost":
        # Processor time per operation, in ns: these cases run on one thread,
        # and on a shared machine the wall clock also counts time stolen by
        # other processes.
        scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[row.get("time_unit", "ns")]
        return row["cpu_time"] * scale
    if kind == "p99":
        return row.get("late_p99_us")
    if kind == "kib":
        return row.get("kib_per_task")
    return None


def fmt(v, kind):
    if v is None:
        return "–"
    if kind == "rate":
        if v >= 1e6:
            return f"{v / 1e6:.2f} M/s"
        return f"{v / 1e3:.0f} k/s"
    if kind == "cost":
        return f"{v:.1f} ns"
    if kind == "kib":
        return f"{v:.1f} KiB"
    return f"{v:.0f} µs"


def main():
    directory, runs, pacing = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    context = None
    out = []
    out.append("# Benchmarks against peers\n")
    out.append("Written by `scripts/bench-compare`; do not edit by hand. Each ratio is taken within")
    out.append("one run of one benchmark binary, ours and the peer one after the other. The machine")
    out.append("is shared (2 cores, other builds running), so cross-thread figures swing a lot")
    out.append("between runs: read the per-run ratios, not only the median.\n")
    out.append("Ratio: for rates (items per second, wall clock), ours / peer, higher is better; for")
    out.append("costs (processor time per operation, single-threaded cases) and lateness, ours / peer,")
    out.append("lower is better.\n")
    out.append("Each run is one invocation of the benchmark binary with 3 repetitions of every case,")
    out.append("interleaved at random; a run's figure for a case is the median of its repetitions.")
    out.append("\"Ratio (median)\" is the median of the per-run ratios and decides \"Met\"; \"Best vs best\"")
    out.append("compares each side's best run, the one least disturbed by the rest of the machine.\n")
    out.append("| Case | Ours (median) | Peer (median) | Ratio (median) | Per-run ratios | Best vs best | Goal | Met |")
    out.append("|---|---|---|---|---|---|---|---|")
    extra = []
    for case, binary, ours, peer, kind, goal in CASES:
        o_vals, p_vals, ratios = [], [], []
        dropouts = []
        for r in range(1, runs + 1):
            rows, ctx = load(directory, binary, r)
            if rows is None:
                continue
            context = context or ctx
            o = value(rows.get(ours), kind)
            p = value(rows.get(peer), kind)
            if kind == "p99" and rows.get(ours) is not None:
                dropouts.append(int(rows[ours].get("dropouts", 0)))
            if o is not None:
                o_vals.append(o)
            if p is not None:
                p_vals.append(p)
            if o is not None and p is not None and p > 0:
                ratios.append(o / p)
        if ratios:
            med = statistics.median(ratios)
            met = med >= goal if kind == "rate" else med <= goal
            if kind == "kib":
                met = statistics.median(o_vals) <= goal
            if kind == "p99":
                met = met and all(d == 0 for d in dropouts)
            sign = "≥" if kind == "rate" else "≤"
            per = ", ".join(f"{x:.2f}" for x in ratios)
            goal_s = f"{sign} {goal:g}x" + (", 0 dropouts" if kind == "p99" else "")
            if kind == "kib":
                goal_s = f"ours ≤ {goal:g} KiB"
            met_s = "yes" if met else "**no**"
            if kind == "p99":
                per += f" (dropouts per run: {', '.join(map(str, dropouts))})"
            best = (max(o_vals) / max(p_vals)) if kind == "rate" else (min(o_vals) / min(p_vals))
            out.append(f"| {case} | {fmt(statistics.median(o_vals), kind)} | "
                       f"{fmt(statistics.median(p_vals), kind)} | {med:.2f} | {per} | {best:.2f} | "
                       f"{goal_s} | {met_s} |")
        else:
            out.append(f"| {case} | {fmt(statistics.median(o_vals) if o_vals else None, kind)} | "
                       f"{fmt(statistics.median(p_vals) if p_vals else None, kind)} | – | "
                       f"not measured (benchmark or peer missing) | | | |")
    out.append("")
    if os.path.exists(os.path.join(directory, "chains.png")):
        out.append("How the cost of a packet per stage grows with the length of a chain, with a thread")
        out.append("per task, on the worker pool and in TBB's flow graph (medians of the runs above):\n")
        out.append("![Cost per packet and stage against chain length](chains.png)\n")
    out.append(f"Runs: {runs}; clock-regulated case: {pacing} s per run.")
    if context:
        out.append(f"Machine: {context.get('num_cpus')} CPUs at {context.get('mhz_per_cpu')} MHz; "
                   f"load average at the first run: {', '.join(f'{x:.2f}' for x in context.get('load_avg', []))}.")
    out.append("")
    out.append("Commands (each run; `--benchmark_out` names the run):\n")
    out.append("```sh")
    out.append("scripts/peers")
    out.append("cmake --preset bench")
    out.append("cmake --build --preset bench")
    try:
        with open(os.path.join(directory, "commands.txt")) as f:
            for line in f:
                out.append(line.rstrip())
    except OSError:
        pass
    out.append("```")
    print("\n".join(out))


if __name__ == "__main__":
    main()
