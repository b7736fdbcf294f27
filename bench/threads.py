"""Thread scaling on a free-threaded CPython: get_license_info() called from
one thread, then from two at once, for the native module and for its
pure-Python equivalent (bench/equivalent.py) in the same process.

    PYTHON_GIL=0 python3.13t bench/threads.py      # 7 runs of 1,000,000 calls per thread
    python bench/threads.py --runs 11 --calls 2000000
    python bench/threads.py > bench/results/threads-3.13.15t.txt

Each thread makes a fixed number of calls with the credentials set (the
path that prints nothing); the wall time runs from the moment all threads
are released together until the last one has finished.  Throughput is all
calls over that time, the median of the runs for each implementation and
thread count (the runs take turns, so a busy moment of the machine falls on
all of them alike); the scaling factor is the median throughput of two
threads over that of one.  With the GIL on, two threads cannot run Python
code at once and the figure would say nothing: the script refuses such an
interpreter.  A machine with fewer than two free cores gives no scaling
either; the number of cores is printed with the figures, and so is the CPU
time each call took in its thread (time.thread_time), which other programs'
load changes less: two threads that slow each other down (shared reference
counts, locks, cache lines written by both) take more of it per call.
"""

import argparse
import hashlib
import os
import statistics
import sys
import sysconfig
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CALLS_PER_ITERATION = 10
THREAD_COUNTS = (1, 2)


def make_loop():
    """loop(n, f): n iterations of CALLS_PER_ITERATION calls f() written out,
    so the loop's own cost is spread thin; gives the last result."""
    body = "\n".join("        result = f()" for _ in range(CALLS_PER_ITERATION))
    source = "def loop(n, f):\n    result = None\n    for _ in range(n):\n%s\n    return result\n" % body
    scope = {}
    exec(compile(source, "<loop>", "exec"), scope)
    return scope["loop"]


BASELINE = "os.getpid (C function)"


def throughput(function, threads, iterations, expected):
    """(calls per second, CPU seconds per call) of `threads` threads, each
    making iterations * CALLS_PER_ITERATION calls of function()."""
    loop = make_loop()
    barrier = threading.Barrier(threads + 1)
    results = [None] * threads
    cpu = [0.0] * threads

    def worker(index):
        barrier.wait()
        begin = time.thread_time()
        results[index] = loop(iterations, function)
        cpu[index] = time.thread_time() - begin

    workers = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    for thread in workers:
        thread.start()
    barrier.wait()
    start = time.perf_counter()
    for thread in workers:
        thread.join()
    elapsed = time.perf_counter() - start
    if results != [expected] * threads:
        raise SystemExit("%r gave %r, not %r" % (function, results, expected))
    calls = threads * iterations * CALLS_PER_ITERATION
    return calls / elapsed, sum(cpu) / calls


def refuse_gil():
    """Exit with a message unless the GIL is off (after the extension has loaded)."""
    if sys._is_gil_enabled():
        raise SystemExit("threads.py: the GIL is on (loading the extension turns it on while the "
                         "module does not declare itself safe without it; PYTHON_GIL=0 keeps it "
                         "off): the figures would be those of one thread at a time")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=7, help="runs per figure (default: 7)")
    parser.add_argument("--calls", type=int, default=1_000_000,
                        help="calls per thread in each run (default: 1,000,000)")
    args = parser.parse_args()
    iterations = max(1, args.calls // CALLS_PER_ITERATION)
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        raise SystemExit("threads.py: %s is not a free-threaded build: with the GIL two threads "
                         "never run Python code at once (run it with python3.13t or newer)"
                         % sys.executable)

    sys.path.insert(0, HERE)
    import _support  # loads the extension, which may turn the GIL on

    refuse_gil()
    extension = os.path.realpath(_support.native.__file__)
    with open(extension, "rb") as file:
        digest = hashlib.sha256(file.read()).hexdigest()[:12]
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    user, _, password = _support.LICENSE_VALUE.partition(":")
    expected = (user, password)

    # A C function of the interpreter's in the same loop, beside the two: how
    # far two threads scale on this machine when nothing is shared.
    calls = {label: (module.get_license_info, expected)
             for label, module in _support.IMPLEMENTATIONS.items()}
    calls[BASELINE] = (os.getpid, os.getpid())
    load_before = os.getloadavg()[0]
    figures = {(label, n): [] for label in calls for n in THREAD_COUNTS}
    cpu = {key: [] for key in figures}
    with _support.environ_saved([_support.LICENSE_VARIABLE]):
        os.environ[_support.LICENSE_VARIABLE] = _support.LICENSE_VALUE
        for function, result in calls.values():  # warm-up: caches, allocator, threads
            for n in THREAD_COUNTS:
                throughput(function, n, max(1, iterations // 20), result)
        for _ in range(args.runs):
            for label, (function, result) in calls.items():
                for n in THREAD_COUNTS:
                    rate, cost = throughput(function, n, iterations, result)
                    figures[label, n].append(rate)
                    cpu[label, n].append(cost)

    version = sys.version.split()[0] + "t"
    print("commit %s, Python %s (%s, free-threaded, GIL off), %d cores; get_license_info() "
          "with credentials set, %d calls per thread, median of %d runs"
          % (_support.git_commit(), version, sys.executable, cores,
             iterations * CALLS_PER_ITERATION, args.runs))
    print("extension: %s (sha256 %s...)" % (extension, digest))
    print("load average (1 minute) before and after: %.2f, %.2f (with more than %d, other "
          "work had part of the cores: the scaling is then no measure of the threads)"
          % (load_before, os.getloadavg()[0], max(1, cores - 1)))
    print()
    print("| implementation | 1 thread: calls/s | 2 threads: calls/s | scaling (2 threads / 1) "
          "| runs, 1 thread: min–max | runs, 2 threads: min–max "
          "| CPU ns per call, 1 thread | CPU ns per call, 2 threads |")
    print("| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    scaling = {}
    for label in calls:
        one, two = figures[label, 1], figures[label, 2]
        scaling[label] = statistics.median(two) / statistics.median(one)
        print("| %s | %.0f | %.0f | %.2fx | %.0f–%.0f | %.0f–%.0f | %.0f | %.0f |"
              % (label, statistics.median(one), statistics.median(two), scaling[label],
                 min(one), max(one), min(two), max(two),
                 statistics.median(cpu[label, 1]) * 1e9, statistics.median(cpu[label, 2]) * 1e9))
    print()
    module, equivalent = scaling["module"], scaling["equivalent"]
    print("targets (Python %s):" % version)
    print("  module: 2 threads give %.2fx the calls/s of 1 (target >= 1.6x on an idle machine; "
          "the equivalent gives %.2fx and %s %.2fx in the same run): %s"
          % (module, equivalent, BASELINE, scaling[BASELINE], "met" if module >= 1.6 else "MISSED"))


if __name__ == "__main__":
    main()
