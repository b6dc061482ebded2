#!/usr/bin/env python3
"""Pools the rounds of several benchmark runs made with --each.

Usage: python3 bench/run.py --each > run1.log 2>&1   (as often as wanted)
       python3 bench/pool.py run1.log run2.log ...

For every scenario it prints the ratio of each run, the median of all rounds of
all runs (each round: a floor run and the relamor run after it), the lowest and
highest round, and whether the pooled median meets the scenario's goal. On a
machine whose speed drifts, a median over many rounds says more than any one
run's."""

import statistics
import sys

GOALS = {"general": 1.25, "identical": 0.9, "B": 1.3, "C": 1.3, "D": 1.4, "F": 1.2,
         "EXCCS": 1.5}
WRITERS = {"channel", "modem", "serial", "prompt", "Customers", "IP", "all", "IP-random"}


def goal(scenario):
    if scenario in GOALS:
        return GOALS[scenario]
    if scenario in WRITERS:
        return 1.5
    if "x" in scenario:  # sites: SITESxROWS, or "SITESxROWS, --jobs N" after --jobs 1
        size, _, jobs = scenario.partition(", --jobs ")
        if int(size.split("x")[1]) <= 10:
            return 1.25
        return 0.75 if jobs else 1.3
    return None


def rounds(path):
    """(scenario, [ratio of each round]) in the order the log has them."""
    lines = open(path, encoding="utf-8").read().splitlines()
    for previous, line in zip(lines, lines[1:]):
        if line.strip().startswith("each run,") and "ratio:" in line:
            words = previous.split()
            scenario = " ".join(words[:3]) if words[1:2] == ["--jobs"] else words[0]
            yield scenario, [float(x) for x in line.split("ratio:")[1].split()]


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    pooled, order = {}, []
    for path in sys.argv[1:]:
        for scenario, ratios in rounds(path):
            if scenario not in pooled:
                pooled[scenario] = []
                order.append(scenario)
            pooled[scenario].append(ratios)
    print(f"{'scenario':<20} {'each run':<36} {'pooled':>7} {'rounds':>6} {'low':>5} "
          f"{'high':>5} {'goal':>5}  met")
    for scenario in order:
        runs = pooled[scenario]
        every = [r for run in runs for r in run]
        median = statistics.median(every)
        g = goal(scenario)
        met = "-" if g is None else ("yes" if median <= g else "NO")
        each = " ".join(f"{statistics.median(run):.2f}" for run in runs)
        print(f"{scenario:<20} {each:<36} {median:7.2f} {len(every):6d} {min(every):5.2f} "
              f"{max(every):5.2f} {g if g else '-':>5}  {met}")


if __name__ == "__main__":
    main()
