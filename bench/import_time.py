"""Whole-process wall time of importing the native module, next to the cost
of what it cannot do without (`import click, re`).

    python bench/import_time.py                    # this interpreter, 41 pairs
    python bench/import_time.py --python PATH --pairs 101

Each pair runs both commands in fresh interpreters, one right after the
other, in alternating order, so that a busy machine slows both alike; the
medians of the two series and their ratio are printed.  Nothing is cached
between runs but what the file system caches for every process.
"""

import argparse
import statistics
import subprocess
import sys
import time

MODULE = "import veltrocam.tilso.sdk.license_helper"
BASELINE = "import click, re"


def wall_time(python, statement):
    start = time.perf_counter()
    subprocess.run([python, "-c", statement], check=True)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", default=sys.executable, help="the interpreter to measure")
    parser.add_argument("--pairs", type=int, default=41, help="paired runs (default 41)")
    options = parser.parse_args()
    for statement in (MODULE, BASELINE):  # warm the file system cache
        wall_time(options.python, statement)
    module, baseline = [], []
    for i in range(options.pairs):
        order = [(MODULE, module), (BASELINE, baseline)]
        for statement, times in order if i % 2 == 0 else reversed(order):
            times.append(wall_time(options.python, statement))
    version = subprocess.run([options.python, "-c", "import platform; "
                              "print(platform.python_version())"],
                             check=True, capture_output=True, text=True).stdout.strip()
    m, b = statistics.median(module), statistics.median(baseline)
    print(f"Python {version}, {options.pairs} pairs, median whole-process wall time")
    print(f"  {MODULE:<42} {m * 1000:6.1f} ms")
    print(f"  {BASELINE:<42} {b * 1000:6.1f} ms")
    print(f"  ratio {m / b:.2f} (target <= 1.15)")


if __name__ == "__main__":
    main()
