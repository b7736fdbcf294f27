"""Prints the medians of pyperf result files as a Markdown table.

    python bench/report.py bench/results/timing.json [more.json ...]

Benchmarks named "<case> [module]" and "<case> [equivalent]" share a row,
with the equivalent's median divided by the module's (above 1: the module is
faster).  Other benchmarks get a row of their own.
"""

import sys

import pyperf


def format_seconds(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return "%.3g %s" % (seconds / scale, unit)
    return "%.3g ns" % (seconds / 1e-9)


def main(paths):
    rows = {}
    order = []
    for path in paths:
        suite = pyperf.BenchmarkSuite.load(path)
        for bench in suite.get_benchmarks():
            name = bench.get_name()
            case, label = name, None
            if name.endswith("]") and " [" in name:
                case, label = name[:-1].rsplit(" [", 1)
            if case not in rows:
                rows[case] = {}
                order.append(case)
            rows[case][label] = (bench.median(), bench.stdev() if bench.get_nvalue() > 1 else 0.0)

    print("| case | module (median) | pure-Python equivalent (median) | equivalent / module |")
    print("| --- | ---: | ---: | ---: |")
    for case in order:
        found = rows[case]
        if None in found:
            median, _ = found[None]
            print("| %s | %s | — | — |" % (case, format_seconds(median)))
            continue
        module = found.get("module")
        equivalent = found.get("equivalent")
        ratio = "%.2f" % (equivalent[0] / module[0]) if module and equivalent else "—"
        print("| %s | %s | %s | %s |" % (
            case,
            format_seconds(module[0]) if module else "—",
            format_seconds(equivalent[0]) if equivalent else "—",
            ratio))


if __name__ == "__main__":
    main(sys.argv[1:] or ["bench/results/timing.json"])
