"""Counts the files that one update_bash_file call writes.

    python bench/store_writes.py

update_bash_file writes every file through a temporary file that os.replace
moves over the target; wrapping os.replace counts the writes per target.
Each case runs in a temporary home folder with rc files (.profile, .bashrc,
.zshenv) of the given size: a first call (the rc files lack the marked
block), then a second call with another value (the block is there).
"""

import collections
import os
import sys

import _support
from _support import NAMES_1, NAMES_100
from veltrocam.tilso.sdk.script_update import update_bash_file


def count_writes(call):
    writes = collections.Counter()
    original = os.replace

    def replace(source, target, *args, **kwargs):
        writes[os.path.basename(target)] += 1
        return original(source, target, *args, **kwargs)

    os.replace = replace
    try:
        call()
    finally:
        os.replace = original
    return writes


def main():
    print("| names | rc size | call | files written (times each) | most writes of one file |")
    print("| ---: | ---: | --- | --- | ---: |")
    worst = 0
    for names in (NAMES_1, NAMES_100):
        for size_label, size in (("10 KB", 10 * 1024), ("1 MB", 1024 * 1024)):
            with _support.temporary_home(size):
                for title, value in (("first (no block yet)", "one"),
                                     ("second (new value)", "two")):
                    writes = count_writes(lambda: update_bash_file(names, value))
                    most = max(writes.values(), default=0)
                    worst = max(worst, most)
                    listed = ", ".join("%s x%d" % item for item in sorted(writes.items()))
                    print("| %d | %s | %s | %s | %d |" % (len(names), size_label, title,
                                                          listed or "none", most))
    print()
    print("each file written at most %d time(s) per call" % worst)
    return 0


if __name__ == "__main__":
    sys.exit(main())
