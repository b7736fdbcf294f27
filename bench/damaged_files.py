"""How long the store takes to report a damaged value file, by size.

    python bench/damaged_files.py

Each value file (env.sh, env.fish, env.csh, env.xsh, env.elv and the
environment.d file) is
written damaged in a throw-away home folder: an ordinary entry, then one
value whose quote is never closed, in sizes from 100 bytes to 1 MB.  Then
store_status() and update_bash_file() run; each must fail with "cannot be
parsed" and leave every file as it was.  The table gives the best of five
runs of each call; time per byte that stays flat as the size grows means
time linear in the size.
"""

import os
import sys
import time

import _support
from veltrocam.tilso.sdk import script_update
from veltrocam.tilso.sdk.script_update import store_status, update_bash_file

SIZES = (100, 1000, 10_000, 100_000, 1_000_000)
# Per file: where it lives under the home folder, one whole entry, and how a
# damaged entry starts (its value's quote is never closed).
FILES = {
    "env.sh": (".config/veltrocam/env.sh", b"export A='x'\\''y'\n", b"export B='"),
    "env.fish": (".config/veltrocam/env.fish", b"set -gx A 'x\\'y'\n", b"set -gx B '"),
    "env.csh": (".config/veltrocam/env.csh", b"setenv A 'x\\!y'\n", b"setenv B '"),
    "env.xsh": (".config/veltrocam/env.xsh", b"$A = 'x\\x27y'\n", b"$B = '"),
    "env.elv": (".config/veltrocam/env.elv", b"set E:A = 'x''y'\n", b"set E:B = '"),
    "environment.d": (".config/environment.d/60-veltrocam.conf", b'A="x$$y"\n', b'B="'),
}
# What the damaged value repeats: text with the file's own escapes in it, as
# a value edited by hand would have.
FILLING = {"env.sh": b"a'\\''", "env.fish": b"a\\'", "env.csh": b"a\\!", "env.xsh": b"a\\x27",
           "env.elv": b"a''", "environment.d": b"a$$"}


def damaged(name, size):
    """About `size` bytes: a whole entry, then one that never ends."""
    _, entry, start = FILES[name]
    head = (script_update._target.WHOLE_FILE_HEADER if name == "environment.d" else b"") + entry
    filling = FILLING[name] * size
    return (head + start + filling)[:size]


def snapshot(home):
    found = {}
    for folder, _, files in os.walk(home):
        for file in files:
            path = os.path.join(folder, file)
            with open(path, "rb") as data:
                found[path] = data.read()
    return found


def best_time(call):
    best = None
    for _ in range(5):
        start = time.perf_counter()
        try:
            call()
        except ValueError as error:
            assert "cannot be parsed" in str(error), error
        else:
            raise AssertionError("a damaged file was accepted")
        elapsed = time.perf_counter() - start
        best = elapsed if best is None else min(best, elapsed)
    return best


def main():
    print("| file | size (bytes) | store_status (ms) | update_bash_file (ms) | ns per byte |")
    print("| --- | ---: | ---: | ---: | ---: |")
    for name, (path, _, _) in FILES.items():
        for size in SIZES:
            with _support.temporary_home(100) as home:
                os.environ["SHELL"] = "/bin/tcsh"
                target = os.path.join(home, path)
                os.makedirs(os.path.dirname(target), mode=0o700, exist_ok=True)
                with open(target, "wb") as file:
                    file.write(damaged(name, size))
                before = snapshot(home)
                status = best_time(store_status)
                update = best_time(lambda: update_bash_file(["C"], "1"))
                after = snapshot(home)
                assert {k: v for k, v in after.items() if not k.endswith(".lock")} == before
                print("| %s | %d | %.3f | %.3f | %.1f |" % (
                    name, size, status * 1e3, update * 1e3, update * 1e9 / size))
    return 0


if __name__ == "__main__":
    sys.exit(main())
