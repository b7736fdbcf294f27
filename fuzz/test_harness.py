"""The harness itself: it must see each kind of difference it claims to,
and see none between the Python source and a copy of it.  Run by
``bash .ci/fuzz`` before fuzzing (``python -m pytest -q fuzz/test_harness.py``).
"""

import os
import random
import re
import subprocess
import sys
import textwrap

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
import seeds  # noqa: E402

S = ("str", 0, "none")
V = ("value", 0, "none")


@pytest.fixture
def copy_side():
    """A second copy of the Python source, as the side "copy"."""
    module = harness._load_equivalent()
    sys.modules.pop(module.__name__, None)
    harness.align(module)
    harness.SIDES["copy"] = module
    yield module
    del harness.SIDES["copy"]


def differs(program, side="copy"):
    left, right = harness.run(program, side), harness.run(program, "equivalent")
    if left != right:
        print(harness.format_finding(program, harness.first_difference(left, right)))
    return left != right


@pytest.mark.parametrize("name", sorted(seeds.SEEDS))
def test_seed_bytes_give_the_program_back(name):
    program = seeds.SEEDS[name]
    assert harness.build(harness.encode_program(program)) == program


def test_a_copy_of_the_source_shows_no_difference(copy_side):
    rng = random.Random(1)
    for _ in range(60):
        data = bytes(rng.randrange(256) for _ in range(rng.randrange(4, 100)))
        program = harness.build(data)
        assert not differs(program), harness.format_program(program)


def _late_echo(module):
    # Formats the notice before reading click.echo.
    def get_license_info(license_name="VELTROCAM_LICENSE"):
        license = module.os.environ.get(license_name)
        if license:
            colon = license.find(":")
            if colon == -1:
                text = module._NOTICE_MALFORMED.format(license_name=license_name)
                module.click.echo(text)
                return None, None
            return license[:colon], license[license.find(":") + 1:]
        module.click.echo("当前环境未配置用户名和密码")
        return None, None
    return get_license_info


def _keeps_os(module):
    # Holds on to the os it saw first, like a cache that keeps its object.
    kept = []
    original = module.get_license_info

    def get_license_info(license_name="VELTROCAM_LICENSE"):
        kept.append(vars(module).get("os"))
        return original(license_name)
    return get_license_info


def _wrong_message(module):
    original = module.get_license_info

    def get_license_info(license_name="VELTROCAM_LICENSE"):
        if not isinstance(license_name, str):
            raise TypeError("wrong message")
        return original(license_name)
    return get_license_info


def _direct(module):
    # Reads the mapping directly, as a shortcut that skips Mapping.get would.
    def get_license_info(license_name="VELTROCAM_LICENSE"):
        license = module.os.environ._data.get(license_name.encode("utf-8", "surrogateescape"))
        if license:
            license = license.decode("utf-8", "surrogateescape")
            colon = license.find(":")
            return license[:colon], license[colon + 1:]
        module.click.echo("当前环境未配置用户名和密码")
        return None, None
    return get_license_info


@pytest.mark.parametrize("fault, program", [
    (_late_echo, [("env_set", S, ("value", 2, "none")),
                  ("global", "click", "logging", "none"),
                  ("get", "(license_name=n)", ("sub", 0, "none"))]),
    (_keeps_os, [("global", "os", "namespace", "none"), ("get", "()", S),
                 ("global", "os", "restore", "none")]),
    (_wrong_message, [("get", "(n)", ("int", 1, "none"))]),
    (_direct, [("env_set", S, V), ("tracer", "settrace", "none"), ("get", "()", S)]),
    (_direct, [("env_set", S, V), ("recursion", 3, "()", S)]),
    (_direct, [("env_set", S, V), ("codec", "decodevalue", "upper", "none"), ("get", "()", S)]),
], ids=["order", "lifetime", "message", "tracer", "recursion", "codec"])
def test_a_planted_difference_is_found(copy_side, fault, program):
    copy_side.get_license_info = fault(copy_side)
    assert differs(program)
    smaller = harness.minimize(program, lambda p: differs(p))
    assert len(smaller) <= len(program) and differs(smaller)


def _world():
    """What a program may change outside its side's globals, as compared
    values (identities where identity is what matters)."""
    import collections.abc

    environ = os.environ
    return {
        "environ": id(environ), "class": type(environ), "instance dict": id(environ.__dict__),
        "instance keys": sorted(map(repr, environ.__dict__)),
        "data": id(environ._data), "data items": sorted(map(repr, environ._data.items())),
        "codecs": [id(getattr(environ, n)) for n in harness.CODECS],
        "classes": [sorted(map(repr, cls.__dict__.items())) for cls in harness.CLASSES.values()],
        "codes": [(id(f.__code__), f.__defaults__, f.__closure__ and f.__closure__[0].cell_contents)
                  for f in harness.CODE_FUNCTIONS.values()],
        "os keys": sorted(map(repr, vars(os))), "popen": id(os.popen),
        "module globals": [(k, id(v)) for k, v in sorted(
            (k, v) for k, v in vars(harness.native).items() if isinstance(k, str))],
        # The globals' tables, which decide how often a colliding key is
        # met: the same names, in the same order, on every side.
        "tables": [(list(map(repr, vars(m))), sys.getsizeof(vars(m)))
                   for m in (harness.native, harness.equivalent, os)],
        "non-str keys": [k for m in (harness.native, harness.equivalent, os)
                         for k in vars(m) if not isinstance(k, str)],
        "tracers": (sys.gettrace(), sys.getprofile()), "limit": sys.getrecursionlimit(),
        "monitoring": sys.monitoring.get_tool(4) if hasattr(sys, "monitoring") else None,
        "stdout": id(sys.stdout), "unraisablehook": sys.unraisablehook,
    }


@pytest.mark.parametrize("name", sorted(seeds.SEEDS))
def test_a_run_puts_the_world_back(name):
    harness.run([], "module")  # the first run freezes the collector's generations
    before = _world()
    for side in ("module", "equivalent"):
        harness.run(seeds.SEEDS[name], side)
        after = _world()
        assert after == before, [key for key in before if before[key] != after[key]]


def test_every_side_starts_from_the_same_table():
    tables = _world()["tables"]
    assert tables[0] == tables[1]


# Keys colliding with a global: the programs the fuzzer found when the
# sides' globals had different tables, where a key sat twice on the way to
# the name on one side only, for some hash seeds.
@pytest.mark.parametrize("name", ["collide-twice-on-the-way", "collide-after-del-os",
                                  "collide-no-call"])
def test_colliding_keys_meet_either_side_alike_whatever_the_hash_seed(name):
    import subprocess

    path = os.path.join(harness.HERE, "corpus", name)
    for seed in (48, *range(12)):
        done = subprocess.run([sys.executable, os.path.join(harness.HERE, "replay.py"), path],
                              env={**os.environ, "PYTHONHASHSEED": str(seed)},
                              capture_output=True, text=True)
        assert done.returncode == 0, (seed, done.stdout, done.stderr)


def test_a_crash_prints_the_python_stack_and_keeps_the_input(tmp_path):
    """A crash inside the interpreter names the Python functions running,
    and libFuzzer still writes the input that crashed."""
    pytest.importorskip("atheris")
    code = textwrap.dedent(f"""
        import ctypes, sys
        sys.argv = ["fuzz_target", "-runs=20", "-artifact_prefix={tmp_path}/"]
        sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
        import fuzz_target
        def crash_in_build(data):
            ctypes.string_at(0)
        fuzz_target.harness.build = crash_in_build
        fuzz_target.main()
    """)
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                           timeout=600, env={**os.environ, "PYTHONFAULTHANDLER": ""})
    assert child.returncode != 0
    assert "Fatal Python error: Segmentation fault" in child.stderr
    assert re.search(r"in crash_in_build\n.*in test_one_input\n", child.stderr), child.stderr
    assert list(tmp_path.glob("crash-*")), child.stderr
