"""The suite's result lines: one per figure, with the reference measured in
the same process run, their ratio and the goal. Also turns the queue
benchmark's JSON (Google Benchmark) into such lines:

    python3.12 report.py QUEUE_JSON
"""

import json
import statistics
import sys


def median(values):
    return statistics.median(values)


def interleaved(*measures, reps=5):
    """Runs each measure reps times, round-robin, so that a burst of load
    elsewhere hits them all; returns each one's median."""
    samples = [[] for _ in measures]
    for _ in range(reps):
        for i, measure in enumerate(measures):
            samples[i].append(measure())
    return [median(s) for s in samples]


def _number(value):
    return f"{value:11.4g}"


def verdict(ratio, goal):
    """goal: None (reported only), ">=X" or "<=X" on the ratio."""
    if goal is None:
        return "report"
    bound = float(goal[2:])
    met = ratio >= bound if goal.startswith(">=") else ratio <= bound
    return "met" if met else "MISSED"


def emit(figure, value, reference, ref_value, unit, goal=None, status=None):
    """Prints one line. `status` overrides the ratio verdict for goals that
    are not ratios (an absolute bound such as a latency)."""
    ratio = value / ref_value if ref_value else float("inf")
    shown_goal = goal or "-"
    print(f"{figure:<34} {_number(value)} {unit:<7} | {reference:<28} {_number(ref_value)} {unit:<7} "
          f"| ratio {ratio:7.3f} | goal {shown_goal:<10} {status or verdict(ratio, goal)}", flush=True)


def queue_lines(path):
    with open(path) as f:
        runs = json.load(f)["benchmarks"]
    rate = {r["run_name"]: r["items_per_second"] for r in runs if r.get("aggregate_name") == "median"}
    for kind, goal in (("Owned", ">=0.8"), ("View", None)):
        emit(f"6 StreamQueue {kind} events/s", rate[f"BM_StreamQueue_{kind}/iterations:3/real_time"],
             f"bare queue {kind}", rate[f"BM_BareQueue_{kind}/iterations:3/real_time"], "ev/s", goal)


if __name__ == "__main__":
    queue_lines(sys.argv[1])
