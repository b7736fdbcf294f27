"""Wall-clock timings with pyperf: the native module next to its pure-Python
equivalent (bench/equivalent.py), and update_bash_file on its own.

    python bench/timing.py -o bench/results/timing.json            # everything
    python bench/timing.py --group calls -o calls.json             # the two functions only
    python bench/timing.py --group store --fast -o store.json      # update_bash_file only
    python bench/report.py bench/results/timing.json               # medians as a table

Every worker process imports both implementations and runs each pair under
the same conditions: the same environment, the same null console (sys.stdout
on os.devnull, where click.echo writes) and, for set_to_environ, the same
recording stand-in for update_bash_file.  update_bash_file runs in a
temporary home folder; the environment is given back afterwards.
"""

import os
import sys
import time

import pyperf

import _support
from _support import (IMPLEMENTATIONS, LICENSE_VALUE, LICENSE_VARIABLE, NAMES_1, NAMES_100,
                      SET_VALUE)

RC_SIZES = {"10KB": 10 * 1024, "100KB": 100 * 1024, "1MB": 1024 * 1024}

# --- get_license_info and set_to_environ ------------------------------------


def time_get_set(function):
    def run(loops):
        with _support.environ_saved([LICENSE_VARIABLE]):
            os.environ[LICENSE_VARIABLE] = LICENSE_VALUE
            f = function
            start = time.perf_counter()
            for _ in range(loops):
                f()
            return time.perf_counter() - start
    return run


def time_get_keyword(function):
    def run(loops):
        with _support.environ_saved([LICENSE_VARIABLE]):
            os.environ[LICENSE_VARIABLE] = LICENSE_VALUE
            f = function
            start = time.perf_counter()
            for _ in range(loops):
                f(license_name="VELTROCAM_LICENSE")
            return time.perf_counter() - start
    return run


def time_get_unset(function):
    def run(loops):
        with _support.environ_saved([LICENSE_VARIABLE]), _support.null_console():
            os.environ.pop(LICENSE_VARIABLE, None)
            f = function
            start = time.perf_counter()
            for _ in range(loops):
                f()
            return time.perf_counter() - start
    return run


def time_binding_error(function):
    def run(loops):
        f = function
        try:  # the failure at this line has happened before the timed ones
            f(1, 2)
        except TypeError:
            pass
        start = time.perf_counter()
        for _ in range(loops):
            try:
                f(1, 2)
            except TypeError:
                pass
        return time.perf_counter() - start
    return run


def time_set_to_environ(module, names):
    def run(loops):
        argument = names[0] if len(names) == 1 else names
        with _support.environ_saved(names), _support.null_console(), \
                _support.recording_store(*IMPLEMENTATIONS.values()):
            f = module.set_to_environ
            start = time.perf_counter()
            for _ in range(loops):
                f(argument, SET_VALUE)
            return time.perf_counter() - start
    return run


CALL_CASES = [
    ("get_license_info() set", lambda m: time_get_set(m.get_license_info)),
    ("get_license_info(license_name=) set", lambda m: time_get_keyword(m.get_license_info)),
    ("get_license_info() unset", lambda m: time_get_unset(m.get_license_info)),
    ("get_license_info(1, 2) TypeError", lambda m: time_binding_error(m.get_license_info)),
    ("set_to_environ 1 name", lambda m: time_set_to_environ(m, NAMES_1)),
    ("set_to_environ 100 names", lambda m: time_set_to_environ(m, NAMES_100)),
]

# --- update_bash_file ------------------------------------------------------


def time_store(names, rc_size, block_present):
    """update_bash_file(names, <a new value>) in a temporary home.

    With block_present the rc files already hold the marked block, so each
    call rewrites env.sh and only reads the rc files; without it each call
    finds rc files without the block (restored outside the timed part) and
    rewrites env.sh and every rc file.
    """
    from veltrocam.tilso.sdk.script_update import update_bash_file

    def run(loops):
        with _support.temporary_home(rc_size) as home:
            update_bash_file(names, "warm-up")
            elapsed = 0.0
            for i in range(loops):
                if not block_present:
                    _support.reset_rc_files(home, rc_size)
                value = "value-%d" % i
                start = time.perf_counter()
                update_bash_file(names, value)
                elapsed += time.perf_counter() - start
            return elapsed
    return run


def main():
    runner = pyperf.Runner(add_cmdline_args=lambda cmd, args: cmd.extend(["--group", args.group]))
    runner.argparser.add_argument("--group", choices=("all", "calls", "store"), default="all")
    runner.metadata["license_helper_commit"] = _support.git_commit()
    args = runner.parse_args()

    if args.group in ("all", "calls"):
        for title, make in CALL_CASES:
            for label, module in IMPLEMENTATIONS.items():
                runner.bench_time_func("%s [%s]" % (title, label), make(module))

    if args.group in ("all", "store"):
        for block_present in (True, False):
            state = "block present" if block_present else "block absent"
            for names in (NAMES_1, NAMES_100):
                for size_label, size in RC_SIZES.items():
                    title = "update_bash_file %d name%s, rc %s, %s" % (
                        len(names), "" if len(names) == 1 else "s", size_label, state)
                    runner.bench_time_func(title, time_store(names, size, block_present))


if __name__ == "__main__":
    sys.exit(main())
