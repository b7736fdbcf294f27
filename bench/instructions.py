"""Instruction counts with valgrind's callgrind: the native module next to its
pure-Python equivalent (bench/equivalent.py).

    python bench/instructions.py                    # this interpreter (about a minute)
    python bench/instructions.py --python PYTHON \
        > bench/results/instructions-3.13.0.txt     # another one, e.g. a venv's bin/python
    python bench/instructions.py --keep DIR         # also keeps callgrind's files in DIR
    python bench/instructions.py --no-watchers \
        > bench/results/instructions-3.12.1-no-watchers.txt  # every dict watcher taken first
    python bench/instructions.py --python .venv-ft/bin/python \
        > bench/results/instructions-3.13.15t.txt   # a free-threaded build: "t" after the version

The interpreter measured (--python, this one by default) must have the
package installed; the one running this script need not.  The child running
under callgrind reports its own version, the extension it loaded and the
code objects of its failures; the figures are for that interpreter alone.
Results are kept one file per version: bench/results/instructions-VERSION.txt.

On a free-threaded build the figures are those of a run with the GIL off:
a run in which loading the extension turned the GIL on (as it does for a
module that does not declare itself free-threading safe, unless PYTHON_GIL=0
is set) is refused.  Its target for get_license_info() is 2x fewer
instructions than the equivalent instead of 3x.

One run of the interpreter under callgrind does every case.  Before each
timed stretch the child calls os.getppid(), and callgrind is started with
--dump-before=getppid, so each stretch lands in a profile part of its own.
Each case runs N loop iterations, then 2N; the difference of the two parts,
divided by the calls it holds, cancels everything but the calls (start-up,
warm-up, the marker itself).  Each iteration makes CALLS_PER_ITERATION calls,
written out one after the other, so the loop's own cost is spread thin.

"Total" is every instruction per call, wherever it ran (interpreter, libc,
the extension).  "Own" counts only the instructions executed inside the
extension's shared object: the self cost of the functions in its `ob=`
section of callgrind's output.
"""

import argparse
import contextlib
import glob
import hashlib
import json
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ITERATIONS = 200
CALLS_PER_ITERATION = 10
MARKER = "getppid"

# (key, title, statement run CALLS_PER_ITERATION times per iteration, setup,
#  iterations N)
CASES = [
    ("get_set", "get_license_info() with credentials set", "f()", "license", ITERATIONS),
    ("get_keyword", "get_license_info(license_name=...) with credentials set",
     "f(license_name='VELTROCAM_LICENSE')", "license", ITERATIONS),
    ("get_unset", "get_license_info() with nothing set (null console)", "f()", "unset",
     ITERATIONS),
    ("get_dict", "get_license_info(), os.environ replaced by a plain dict", "f()", "dict",
     ITERATIONS),
    ("get_subclass", "get_license_info(), os.environ an _Environ subclass with its own __getitem__", "f()", "subclass",
     ITERATIONS),
    ("get_wrapped", "get_license_info(), os.environ's decoder wrapped", "f()", "wrapped",
     ITERATIONS),
    ("binding_error", "get_license_info(1, 2): TypeError at a line that failed before",
     "try:\n    f(1, 2)\nexcept TypeError:\n    pass", "license", ITERATIONS),
    ("set_1", "set_to_environ, 1 name, recording store (null console)",
     "f('VELTROCAM_BENCH_0', 'bench-value')", "store", ITERATIONS // 4),
    ("set_100", "set_to_environ, 100 names, recording store (null console)",
     "f(names, 'bench-value')", "store", ITERATIONS // 20),
]

# --- the child: runs under callgrind ----------------------------------------


def make_loop(statement):
    body = "\n".join("        " + line
                     for _ in range(CALLS_PER_ITERATION) for line in statement.splitlines())
    source = "def loop(n, f, names):\n    for _ in range(n):\n%s\n" % body
    scope = {}
    exec(compile(source, "<loop>", "exec"), scope)
    return scope["loop"]


class _EnvironSubclass(type(os.environ)):
    def __getitem__(self, key):
        return super().__getitem__(key)


@contextlib.contextmanager
def environ_variant(setup):
    """os.environ as the case needs it: a plain dict, an instance of a
    subclass, or the real one with its decoder wrapped; as it was after."""
    real = os.environ
    if setup == "dict":
        os.environ = dict(real)
    elif setup == "subclass":
        os.environ = _EnvironSubclass(real._data, real.encodekey, real.decodekey,
                                      real.encodevalue, real.decodevalue)
    elif setup == "wrapped":
        decode = real.decodevalue
        real.decodevalue = lambda value: decode(value)
    try:
        yield
    finally:
        os.environ = real
        if setup == "wrapped":
            del real.decodevalue
            real.decodevalue = decode


def take_every_dict_watcher():
    """Takes every dict watcher the interpreter has free, as another
    extension may, before the module is imported (CPython 3.12 and later)."""
    import ctypes
    watch = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p,
                             ctypes.c_void_p)
    take_every_dict_watcher.callback = callback = watch(lambda *args: 0)
    add = ctypes.pythonapi.PyDict_AddWatcher
    add.argtypes = [watch]
    taken = 0
    while True:
        try:
            add(callback)
        except (RuntimeError, ValueError):
            return taken
        taken += 1


def child(info_path):
    if os.environ.get("VELTROCAM_BENCH_NO_WATCHERS") == "1":
        take_every_dict_watcher()
    sys.path.insert(0, HERE)
    import _support

    # Which build is measured: the file just loaded, named by its digest.  A
    # reinstall during the run (a new file under the same path) is caught below.
    extension = os.path.realpath(_support.native.__file__)
    loaded = os.stat(extension)
    with open(extension, "rb") as file:
        digest = hashlib.sha256(file.read()).hexdigest()[:12]

    # Read before anything else runs: a free-threaded build turns the GIL on
    # when it loads an extension that does not declare itself safe without it.
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()

    names = _support.NAMES_100
    marker = os.getppid
    with _support.environ_saved([_support.LICENSE_VARIABLE] + names), \
            _support.null_console(), \
            _support.recording_store(*_support.IMPLEMENTATIONS.values()):
        for key, _, statement, setup, iterations in CASES:
            loop = make_loop(statement)
            for label, module in _support.IMPLEMENTATIONS.items():
                function = module.set_to_environ if setup == "store" else module.get_license_info
                if setup == "unset":
                    os.environ.pop(_support.LICENSE_VARIABLE, None)
                else:
                    os.environ[_support.LICENSE_VARIABLE] = _support.LICENSE_VALUE
                with environ_variant(setup):
                    loop(5, function, names)  # warm-up: caches, first failure, allocator
                    marker()
                    loop(iterations, function, names)
                    marker()
                    loop(2 * iterations, function, names)
                    marker()
        # The floor both implementations share: os.environ.get on its own.
        os.environ[_support.LICENSE_VARIABLE] = _support.LICENSE_VALUE
        loop = make_loop("f('VELTROCAM_LICENSE')")
        loop(5, os.environ.get, names)
        marker()
        loop(ITERATIONS, os.environ.get, names)
        marker()
        loop(2 * ITERATIONS, os.environ.get, names)
        marker()

    # After the last marker: this lands in the exit part, which is not read.
    now = os.stat(extension)
    if (now.st_ino, now.st_mtime_ns) != (loaded.st_ino, loaded.st_mtime_ns):
        raise SystemExit("%s was replaced during the run; run again" % extension)
    info = {
        "version": sys.version.split()[0],
        "free_threaded": bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
        "gil": gil,
        "version_info": list(sys.version_info[:2]),
        "executable": sys.executable,
        "extension": extension,
        "sha256": digest,
        "labels": list(_support.IMPLEMENTATIONS),
        "code_objects": code_object_checks(),
    }
    with open(info_path, "w", encoding="utf-8") as file:
        json.dump(info, file)


# --- the parent: runs callgrind and reads its parts -------------------------

def read_part(path, extension_path):
    """(total, own): all instructions of a part, and the extension's self cost.

    A cost line belongs to the function of the last fn= line, which lies in
    the object of the last ob= line; the cost line right after a calls= line
    is the inclusive cost of that call and is not self cost.
    """
    total = own = 0
    current_object = function_object = None
    after_call = False
    with open(path, encoding="utf-8", errors="replace") as file:
        for line in file:
            head = line[:1]
            if head.isdigit() or head in "+-*":
                if after_call:
                    after_call = False
                elif function_object == extension_path:
                    fields = line.split()
                    if len(fields) >= 2:
                        own += int(fields[1])
            elif line.startswith("ob="):
                current_object = line[3:].strip()
            elif line.startswith("fn="):
                function_object = current_object
            elif line.startswith("calls="):
                after_call = True
            elif line.startswith("totals:") or line.startswith("summary:"):
                total = int(line.split()[1])
    return total, own


def run_callgrind(python, out_dir):
    """Callgrind's parts, in order, and what the child said about itself."""
    out = os.path.join(out_dir, "callgrind.out")
    info_path = os.path.join(out_dir, "child.json")
    command = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
               "--dump-before=" + MARKER, "--dump-instr=no", "--compress-strings=no",
               "--compress-pos=no",
               python, os.path.abspath(__file__), "--child", info_path]
    environment = dict(os.environ, PYTHONHASHSEED="0", PYTHONDONTWRITEBYTECODE="1")
    completed = subprocess.run(command, env=environment, capture_output=True, text=True)
    if completed.returncode != 0:
        sys.stderr.write(completed.stderr[-4000:])
        raise SystemExit("callgrind run failed")
    parts = sorted(glob.glob(out + ".*"), key=lambda p: int(p.rsplit(".", 1)[1]))
    with open(info_path, encoding="utf-8") as file:
        info = json.load(file)
    return parts, info


def code_object_checks():
    """Whether a failure repeated at one line reuses one code object.

    Looks at the traceback entry of the failing function itself; a binding
    error of a Python function has none (it fails before its frame exists).
    """
    sys.path.insert(0, HERE)
    import _support

    def own_entry(call, name):
        try:
            call()
        except TypeError as error:
            tb = error.__traceback__
            found = None
            while tb is not None:
                if tb.tb_frame.f_code.co_name.rpartition(".")[2] == name:
                    found = tb
                tb = tb.tb_next
            return found
        raise AssertionError("no TypeError")

    results = []
    for label, module in _support.IMPLEMENTATIONS.items():
        f = module.get_license_info
        g = module.set_to_environ
        for title, call, name in (
                ("get_license_info(1, 2): binding", lambda: f(1, 2), "get_license_info"),
                ("get_license_info(1): os.environ.get", lambda: f(1), "get_license_info"),
                ("set_to_environ(1): binding", lambda: g(1), "set_to_environ")):
            first = own_entry(call, name)
            second = own_entry(call, name)
            if first is None:
                results.append((label, title, "(no entry of its own)", "-"))
                continue
            code = first.tb_frame.f_code
            where = "%s line %d" % (code.co_name, first.tb_lineno)
            results.append((label, title, where, code is second.tb_frame.f_code))
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--child", metavar="INFO", help=argparse.SUPPRESS)
    parser.add_argument("--python", metavar="PATH", default=sys.executable,
                        help="the interpreter to measure; it must have the package installed "
                        "(default: this one)")
    parser.add_argument("--keep", metavar="DIR", help="keep callgrind's files in DIR")
    parser.add_argument("--no-watchers", action="store_true",
                        help="take every dict watcher before the module is imported, as another "
                        "extension may (3.12 and later): the module's caches then never hit")
    args = parser.parse_args()
    if args.no_watchers:
        os.environ["VELTROCAM_BENCH_NO_WATCHERS"] = "1"
    if args.child:
        child(args.child)
        return

    # Nothing here imports the extension: the interpreter running this part may
    # be another one, without the package.
    sys.path.insert(0, HERE)
    import _commit

    out_dir = args.keep or tempfile.mkdtemp(prefix="veltrocam-callgrind-")
    os.makedirs(out_dir, exist_ok=True)
    try:
        parts, info = run_callgrind(args.python, out_dir)
        if info["free_threaded"] and info["gil"]:
            raise SystemExit("the GIL was on after the extension loaded in this free-threaded "
                             "build: these would not be free-threaded figures (set PYTHON_GIL=0 "
                             "while the module does not declare itself safe without the GIL)")
        so_path = info["extension"]
        labels = info["labels"]
        # the first dump: start-up and the first warm-up; then per (case, implementation):
        # N iterations, 2N iterations, the next warm-up (ignored); the last part
        # is the exit.
        figures = {}
        index = 1
        for key, _, _, _, iterations in CASES:
            for label in labels:
                single = read_part(parts[index], so_path)
                double = read_part(parts[index + 1], so_path)
                calls = iterations * CALLS_PER_ITERATION
                figures[key, label] = ((double[0] - single[0]) / calls,
                                       (double[1] - single[1]) / calls)
                index += 3
        single = read_part(parts[index], so_path)
        double = read_part(parts[index + 1], so_path)
        floor = (double[0] - single[0]) / (ITERATIONS * CALLS_PER_ITERATION)
    finally:
        if not args.keep:
            shutil.rmtree(out_dir, ignore_errors=True)
    if figures["get_set", "module"][1] == 0:
        # ob= names the file as the kernel mapped it; a mismatch would read as zero cost
        raise SystemExit("no instructions of %s in callgrind's output" % so_path)

    version = info["version"] + ("t" if info["free_threaded"] else "")
    print("commit %s, Python %s (%s%s%s), valgrind callgrind; per call = (part of 2N iterations "
          "- part of N) / (N * %d calls)"
          % (_commit.git_commit(), version, info["executable"],
             ", free-threaded, GIL off" if info["free_threaded"] else "",
             ", every dict watcher taken before the import" if args.no_watchers else "",
             CALLS_PER_ITERATION))
    print("extension: %s (sha256 %s...)" % (so_path, info["sha256"]))
    print()
    print("| case | module: total / call | module: own (in the .so) / call "
          "| equivalent: total / call | equivalent / module |")
    print("| --- | ---: | ---: | ---: | ---: |")
    for key, title, _, _, _ in CASES:
        total, own = figures[key, "module"]
        other, _ = figures[key, "equivalent"]
        print("| %s | %.0f | %.0f | %.0f | %.2f |" % (title, total, own, other, other / total))

    print("| reference: os.environ.get('VELTROCAM_LICENSE') alone, from Python | — | — | %.0f | — |"
          % floor)

    print()
    get_total, get_own = figures["get_set", "module"]
    kw_total, kw_own = figures["get_keyword", "module"]
    err_total = figures["binding_error", "module"][0]
    err_other = figures["binding_error", "equivalent"][0]
    get_other = figures["get_set", "equivalent"][0]
    ratio = get_other / get_total
    ratio_target = 2 if info["free_threaded"] else 3
    print("targets (Python %s):" % version)
    print("  get_license_info() set: equivalent / module = %.2fx fewer instructions "
          "(target >= %dx): %s" % (ratio, ratio_target, "met" if ratio >= ratio_target else "MISSED"))
    print("    (the equivalent's os.environ.get alone costs %.0f: the module serves it "
          "without running that Python code)" % floor)
    print("  get_license_info() set: %.0f own instructions per call (target <= 400): %s"
          % (get_own, "met" if get_own <= 400 else "MISSED"))
    unset_total = figures["get_unset", "module"][0]
    unset_other = figures["get_unset", "equivalent"][0]
    print("  get_license_info() unset: module %.0f vs equivalent %.0f instructions per call"
          % (unset_total, unset_other))
    print("  keyword over positional: %+.0f own instructions per call (target <= 30): %s"
          % (kw_own - get_own, "met" if kw_own - get_own <= 30 else "MISSED"))
    print("    (total: %+.0f instructions per call)" % (kw_total - get_total))
    for key in ("get_dict", "get_subclass", "get_wrapped"):
        total, other = figures[key, "module"][0], figures[key, "equivalent"][0]
        print("  %s: module %.0f vs equivalent %.0f instructions per call "
              "(target: module <= equivalent): %s"
              % (key, total, other, "met" if total <= other else "MISSED"))
    print("  binding error: module %.0f vs equivalent %.0f instructions per call "
          "(target: module <= equivalent): %s"
          % (err_total, err_other, "met" if err_total <= err_other else "MISSED"))
    print()
    print("code objects of repeated failures (first and second failure at one line):")
    for label, title, where, same in info["code_objects"]:
        print("  %-10s %-36s %-60s same code object: %s" % (label, title, where, same))


if __name__ == "__main__":
    main()
