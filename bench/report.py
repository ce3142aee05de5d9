#!/usr/bin/env python3
"""Prints the tables of bench/run from the files it leaves in its results directory.

Usage: bench/report.py RESULTS_DIR

Reads: run-<name>.json (hyperfine exports; the conversions as run-korv-<round>.json and
run-floor-<round>.json), rss-<name>.txt (/usr/bin/time -v output),
facts.txt (key=value lines: lines, rounds, expected, records_korv, records_floor, cores,
load_percent, lines_full, count_lines, instructions_korv, instructions_floor),
micro.json (Google Benchmark JSON, optional). Pairs X / X_baseline are shown as a ratio
baseline / X ("times faster than the baseline"). The instructions-per-line target is the
budget in bench/instruction-budget, which scripts/check-instructions holds the program to.
Exit status 0; the targets of the performance issue are marked ok or MISSED.
"""

import json
import os
import re
import sys

WALL_RATIO_TARGET = 1.15
RSS_TARGET_KIB = 1024
RSS_GROWTH_TARGET = 0.10
USER_NS_TARGET = 70.0
EMPTY_RATIO_TARGET = 1.25
# The instruction budget that scripts/check-instructions holds the program to, kept in one place.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "instruction-budget")) as budget:
    INSTRUCTIONS_TARGET = int(budget.read())
MICRO_RATIO_TARGET = 2.0
# Micro-benchmark pairs with a ratio target.
MICRO_TARGETS = ("bm_read_record", "bm_render_record")


def load_run(directory, name):
    path = os.path.join(directory, "run-%s.json" % name)
    if not os.path.exists(path):
        return None
    return json.load(open(path))["results"][0]


def load_rss_kib(directory, name):
    path = os.path.join(directory, "rss-%s.txt" % name)
    if not os.path.exists(path):
        return None
    match = re.search(r"Maximum resident set size \(kbytes\): (\d+)", open(path).read())
    return int(match.group(1)) if match else None


def load_facts(directory):
    facts = {}
    for line in open(os.path.join(directory, "facts.txt")):
        key, _, value = line.strip().partition("=")
        if key:
            facts[key] = int(value)
    return facts


def verdict(ok):
    return "ok" if ok else "MISSED"


def median(values):
    ordered = sorted(values)
    middle = len(ordered) // 2
    return ordered[middle] if len(ordered) % 2 else (ordered[middle - 1] + ordered[middle]) / 2


def load_rounds(directory, name, rounds):
    """Per round: median wall, mean user and mean system time of hyperfine's runs."""
    runs = [load_run(directory, "%s-%d" % (name, round_number)) for round_number in range(1, rounds + 1)]
    return [(run["median"], run["user"], run["system"]) for run in runs if run is not None]


def compared(korv_rounds, floor_rounds, lines):
    """Round by round, as both programs of a round ran under the same load: the median wall
    ratio, and the median user CPU per input line the program adds to the floor's, in ns."""
    pairs = list(zip(korv_rounds, floor_rounds))
    return (median([k[0] / f[0] for k, f in pairs]),
            median([(k[1] - f[1]) * 1e9 / lines for k, f in pairs]))


def conversion_table(directory, facts):
    lines, rounds = facts["lines"], facts["rounds"]
    korv_rounds, floor_rounds = load_rounds(directory, "korv", rounds), load_rounds(directory, "floor", rounds)
    korv = [median(column) for column in zip(*korv_rounds)]
    floor = [median(column) for column in zip(*floor_rounds)]
    print("Conversion of %d lines (%d records kept), %d alternating rounds; wall time is the median of a round's"
          " runs, user and system time their mean; each figure is the median over the rounds:" % (
              lines, facts["expected"], len(korv_rounds)))
    print("  %-12s %10s %10s %10s %12s %14s" % ("program", "wall s", "user s", "system s", "peak RSS", "records/s"))
    for name, (wall, user, system), rss_name in (("korv2dunta", korv, "korv"), ("floor", floor, "floor")):
        print("  %-12s %10.4f %10.4f %10.4f %8d KiB %14.0f" % (
            name, wall, user, system, load_rss_kib(directory, rss_name), facts["expected"] / wall))
    # Ratios round by round: both programs of a round ran under the same load.
    pairs = list(zip(korv_rounds, floor_rounds))
    ratio, beyond_ns = compared(korv_rounds, floor_rounds, lines)
    user_ratio = median([k[1] / max(f[1], 1e-9) for k, f in pairs])
    system_ratio = median([k[2] / max(f[2], 1e-9) for k, f in pairs])
    user_ns = korv[1] * 1e9 / lines
    print("  ratio korv2dunta/floor (median of the rounds' ratios): wall %.3f, user %.2f, system %.2f" % (
        ratio, user_ratio, system_ratio))
    print("  korv2dunta user CPU per input line: %.1f ns" % user_ns)
    # What the program adds to the floor's run; on a host whose system calls are fast this is
    # what the wall time shows beyond the floor.
    print("  user CPU beyond the floor's per input line: %.1f ns (the floor's own: %.1f ns)" % (
        beyond_ns, floor[1] * 1e9 / lines))
    print("  records written: korv2dunta %d, floor %d, expected %d" % (
        facts["records_korv"], facts["records_floor"], facts["expected"]))
    return [
        ("wall ratio korv2dunta/floor <= %.2f" % WALL_RATIO_TARGET, "%.3f" % ratio, ratio <= WALL_RATIO_TARGET),
        ("user CPU per line <= %.0f ns" % USER_NS_TARGET, "%.1f ns" % user_ns, user_ns <= USER_NS_TARGET),
        ("peak RSS < 1 MiB", "%d KiB" % load_rss_kib(directory, "korv"),
         load_rss_kib(directory, "korv") < RSS_TARGET_KIB),
    ]


def cheap_writes(directory, facts):
    """The conversion again with the output going to /dev/null, if bench/run timed it."""
    korv_rounds = load_rounds(directory, "korv-null", facts["rounds"])
    floor_rounds = load_rounds(directory, "floor-null", facts["rounds"])
    if not korv_rounds or not floor_rounds:
        return []
    ratio, beyond_ns = compared(korv_rounds, floor_rounds, facts["lines"])
    print("Output to /dev/null, where a write costs least (a host with fast system calls): wall korv2dunta"
          " %.4f s, floor %.4f s, ratio %.3f; user CPU beyond the floor's per input line %.1f ns" % (
              median([k[0] for k in korv_rounds]), median([f[0] for f in floor_rounds]), ratio, beyond_ns))
    return [("wall ratio, output to /dev/null <= %.2f" % WALL_RATIO_TARGET, "%.3f" % ratio,
             ratio <= WALL_RATIO_TARGET)]


def instruction_count(facts):
    if "instructions_korv" not in facts:
        return []
    lines = facts["count_lines"]
    korv, floor = facts["instructions_korv"] / lines, facts["instructions_floor"] / lines
    print("Instructions per input line under callgrind on %d lines: korv2dunta %.1f, floor %.1f (ratio %.2f)" % (
        lines, korv, floor, korv / floor))
    return [("instructions per line <= %d" % INSTRUCTIONS_TARGET, "%.1f" % korv, korv <= INSTRUCTIONS_TARGET)]


def memory_check(directory, facts):
    small, large = load_rss_kib(directory, "korv"), load_rss_kib(directory, "korv-full")
    if large is None:
        return []
    growth = (large - small) / small
    print("Peak RSS of korv2dunta: %d KiB at %d lines, %d KiB at %d lines (%+.1f%%)" % (
        small, facts["lines"], large, facts["lines_full"], growth * 100))
    return [("peak RSS same within 10%% at %d lines" % facts["lines_full"], "%+.1f%%" % (growth * 100),
             abs(growth) <= RSS_GROWTH_TARGET)]


def empty_input(directory):
    korv, nothing = load_run(directory, "korv-empty"), load_run(directory, "do-nothing")
    if korv is None or nothing is None:
        return []
    ratio = korv["median"] / nothing["median"]
    fastest_ratio = korv["min"] / nothing["min"]
    print("Empty input: korv2dunta %.3f ms, static do-nothing program %.3f ms: ratio %.2f (medians);"
          " fastest runs %.3f ms and %.3f ms: ratio %.2f" % (
              korv["median"] * 1e3, nothing["median"] * 1e3, ratio, korv["min"] * 1e3, nothing["min"] * 1e3,
              fastest_ratio))
    # Start-up takes a millisecond or two, so one scheduling delay moves a median; the fastest
    # of the runs is the least disturbed and decides.
    return [("empty-input run <= %.2fx do-nothing (fastest)" % EMPTY_RATIO_TARGET, "%.2f" % fastest_ratio,
             fastest_ratio <= EMPTY_RATIO_TARGET)]


def micro_table(directory):
    path = os.path.join(directory, "micro.json")
    if not os.path.exists(path):
        return []
    times = {}
    for entry in json.load(open(path))["benchmarks"]:
        # With repetitions, use the median aggregate; a single run has no aggregate.
        if entry.get("run_type") == "aggregate" and entry.get("aggregate_name") != "median":
            continue
        times[entry["run_name"]] = entry["cpu_time"]
    print("Micro-benchmarks (CPU ns per operation; ratio = baseline / ours):")
    print("  %-22s %10s %10s %8s" % ("operation", "ours", "baseline", "ratio"))
    checks = []
    for name in sorted(times):
        if name.endswith("_baseline"):
            continue
        baseline = times.get(name + "_baseline")
        if baseline is None:
            print("  %-22s %10.1f" % (name, times[name]))
            continue
        ratio = baseline / times[name]
        print("  %-22s %10.1f %10.1f %8.2f" % (name, times[name], baseline, ratio))
        if name in MICRO_TARGETS:
            checks.append(("%s >= %.0fx baseline" % (name, MICRO_RATIO_TARGET), "%.2f" % ratio,
                           ratio >= MICRO_RATIO_TARGET))
    return checks


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    directory = sys.argv[1]
    facts = load_facts(directory)
    load = facts.get("load_percent", 0) / 100.0
    if load > facts.get("cores", 1) / 2.0:
        print("Note: the load average was %.2f on %d cores when timing began; wall times and their"
              " ratio need a quiet machine, CPU times and the micro-benchmark ratios suffer less.\n" % (
                  load, facts.get("cores", 1)))
    checks = conversion_table(directory, facts)
    checks += cheap_writes(directory, facts)
    checks += instruction_count(facts)
    checks += memory_check(directory, facts)
    checks += empty_input(directory)
    checks += micro_table(directory)
    print("Targets:")
    for what, value, ok in checks:
        print("  %-42s %12s  %s" % (what, value, verdict(ok)))


if __name__ == "__main__":
    main()
