"""atheris entry point: libFuzzer's bytes become a program of the harness's
vocabulary, run against the module and its Python source.

    python fuzz/fuzz_target.py [libFuzzer options] CORPUS...

(``bash .ci/fuzz`` runs it against the instrumented build.)  A difference is
minimised and printed, and then raises, which libFuzzer reports as a crash
with the input saved; with FUZZ_COLLECT=FOLDER each distinct finding is
written there instead (its input, and its program and difference as text)
and the run goes on.

A crash inside the interpreter prints the Python stack of the crashing
thread first (``faulthandler``), then libFuzzer's report with the input.
"""

import faulthandler
import hashlib
import os
import re
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

# The module first, so that libFuzzer sees its coverage counters from the
# start; then the harness, instrumented, so that its Python branches guide
# the search as well.
import veltrocam.tilso.sdk.license_helper  # noqa: E402,F401

with atheris.instrument_imports(include=["harness"]):
    import harness  # noqa: E402

COLLECT = os.environ.get("FUZZ_COLLECT")
PER_CATEGORY = int(os.environ.get("FUZZ_PER_CATEGORY", "4"))
_seen = {}
_per_category = {}
_started = False


class Finding(Exception):
    """The module and its Python source behaved differently."""


def signature(program, found):
    """What tells one finding from another: its category, the kinds of its
    operations, and the first differing entries with tags taken out."""
    index, left, right = found
    entries = [log[index] if index < len(log) else "<end>" for log in (left, right)]
    text = re.sub(r"\b[a-z]+\d+[a-z]?\b", "T", " | ".join(entries))
    text = re.sub(r"'[^']*'", "'…'", text)
    kinds = sorted({op[0] for op in program})
    return f"{harness.category(found)}: {','.join(kinds)}: {text}"


def test_one_input(data):
    global _started
    if not _started:
        # Put in after libFuzzer's and the sanitizer's handlers of fatal
        # signals, which it then passes the signal on to.
        faulthandler.disable()
        faulthandler.enable()
        _started = True
    program = harness.build(data)
    found = harness.difference(program)
    if found is None:
        return
    # A difference must show again in the same process, and the Python
    # source must give itself the same log twice, to count.
    if harness.difference(program) is None:
        return
    if harness.run(program, "equivalent") != harness.run(program, "equivalent"):
        return
    if COLLECT and _per_category.get(harness.category(found), 0) >= PER_CATEGORY:
        return
    smaller = harness.minimize(program)
    found = harness.difference(smaller)
    if found is None:
        smaller, found = program, harness.difference(program) or found
    report = harness.format_finding(smaller, found)
    if COLLECT:
        key = signature(smaller, found)
        if key in _seen:
            return
        _seen[key] = True
        _per_category[harness.category(found)] = _per_category.get(harness.category(found), 0) + 1
        name = hashlib.sha1(key.encode()).hexdigest()[:12]
        os.makedirs(COLLECT, exist_ok=True)
        with open(os.path.join(COLLECT, f"{harness.category(found)}-{name}"), "wb") as file:
            file.write(harness.encode_program(smaller))
        with open(os.path.join(COLLECT, f"{harness.category(found)}-{name}.txt"), "w",
                  encoding="utf-8") as file:
            file.write(f"python {sys.version.split()[0]}; {key}\n\n{report}\n")
        print(f"\n== finding {name} ({harness.category(found)})\n{report}\n", flush=True)
        return
    print("\n== finding: the module and its Python source differ\n" + report, flush=True)
    raise Finding(harness.category(found))


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
