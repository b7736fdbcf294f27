"""Runs inputs through the differential harness without a fuzzer.

    python fuzz/replay.py FILE_OR_FOLDER...   each input: print any difference
    python fuzz/replay.py --random N [SEED]   N random inputs

Exits 1 when any input gives a difference.
"""

import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402


def check(data, name):
    program = harness.build(data)
    found = harness.difference(program)
    if found is None:
        return False
    smaller = harness.minimize(program)
    found = harness.difference(smaller) or found
    print(f"== difference: {name} ({harness.category(found)})")
    print(harness.format_finding(smaller if harness.difference(smaller) else program, found))
    return True


def inputs(paths):
    for path in paths:
        if os.path.isdir(path):
            for name in sorted(os.listdir(path)):
                full = os.path.join(path, name)
                if os.path.isfile(full) and not name.endswith((".txt", ".md")):
                    yield full
        else:
            yield path


def main(argv):
    failed = 0
    if argv and argv[0] == "--random":
        count = int(argv[1])
        rng = random.Random(int(argv[2]) if len(argv) > 2 else 0)
        for n in range(count):
            data = bytes(rng.randrange(256) for _ in range(rng.randrange(4, 80)))
            failed += check(data, f"random input {n}: {data.hex()}")
    else:
        for path in inputs(argv):
            with open(path, "rb") as file:
                failed += check(file.read(), path)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
