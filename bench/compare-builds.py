#!/usr/bin/env python3
"""Runs one benchmark from two build trees in turns and compares their RESULT ratios.

    bench/compare-builds.py OLD_BUILD NEW_BUILD REPETITIONS BENCH [ARGS...]

BENCH is the benchmark's path inside a build tree (bench/bench_packet_codec).
Each build runs its own programs (a benchmark that starts the stand-in server
starts the one of its build).
Each repetition runs both builds, in alternating order, so that the machine's
drift falls on both. For every RESULT line it prints the median of each build
and new/old: a result that is a speed ratio (higher is better) got slower
when new/old is below 1.
"""
import re
import statistics
import subprocess
import sys

NUMBER = re.compile(r"^-?[0-9]+(\.[0-9]+)?$")


def results(text):
    """The ratios of the RESULT lines: `RESULT name = 1.5`, or `RESULT name k=v ...`
    whose numeric ratio keys are named by the line's other keys (table=TBVENDA)."""
    found = {}
    for line in text.splitlines():
        if not line.startswith("RESULT "):
            continue
        m = re.match(r"RESULT (.+?) = ([0-9.]+)", line)
        if m:
            found[m.group(1)] = float(m.group(2))
            continue
        words = line.split()[1:]
        pairs = [w.split("=", 1) for w in words[1:] if "=" in w]
        label = " ".join([words[0]] + [f"{k}={v}" for k, v in pairs if not NUMBER.match(v) and "range" not in k])
        for k, v in pairs:
            if NUMBER.match(v) and ("ratio" in k or "of_floor" in k) and "range" not in k:
                found[f"{label} {k}"] = float(v)
    return found


def run(build, bench, args):
    out = subprocess.run([f"{build}/{bench}", *args], capture_output=True, text=True, check=True).stdout
    return results(out)


def main(argv):
    if len(argv) < 5:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    old, new, reps, bench, args = argv[1], argv[2], int(argv[3]), argv[4], argv[5:]
    results = {"old": {}, "new": {}}
    for rep in range(reps):
        order = [("old", old), ("new", new)] if rep % 2 == 0 else [("new", new), ("old", old)]
        for label, build in order:
            for name, value in run(build, bench, args).items():
                results[label].setdefault(name, []).append(value)
    print(f"{bench} {' '.join(args)}: medians of {reps} paired runs")
    for name in results["old"]:
        o = statistics.median(results["old"][name])
        n = statistics.median(results["new"].get(name, [float("nan")]))
        print(f"  {name}: old {o:.3f}  new {n:.3f}  new/old {n / o:.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
